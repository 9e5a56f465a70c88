// Optimize mode: a clean copy of the input, and beside it the order of its
// functions, hottest first, for linking it again.
#pragma once

#include <ostream>
#include <string>

#include "engine_request.h"

namespace morphel {

// Where one target's results go. The driver passes the same output for
// every target of a run, so a library goes beside it under its own name.
struct OptimizedPaths {
    std::string copy;
    std::string section_order;  // for a section ordering file (gold)
    std::string symbol_order;   // for a symbol ordering file (lld)
};

OptimizedPaths optimized_paths(const std::string& input, const std::string& output,
                               bool is_main_program);

// Writes the copy and, when the data at the use location counted any
// execution, the two order files; says on `out` what it wrote.
void write_optimized_copy(const EngineRequest& request, std::ostream& out);

}  // namespace morphel
