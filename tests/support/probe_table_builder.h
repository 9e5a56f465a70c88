// A small stand-in for the engine in runtime tests: copies an ELF file and
// appends a probe table (one probe at the entry of each function of the
// symbol table) as a loaded read-only segment, the way instrumented copies
// carry it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ryn_test {

struct BuiltProbe {
    uint64_t addr;
    std::string function;
};

// Writes the copy of `input` to `output` (mode 0755) with `settings` as the
// table's settings text; `digest` overrides the MD5 of the input when not
// empty. Returns the probes in table order; fails the test on a bad input.
std::vector<BuiltProbe> add_probe_table(const std::string& input, const std::string& output,
                                        const std::string& settings,
                                        const std::string& digest = "");

}  // namespace ryn_test
