// Changes to the dynamic section of a copy: its own auditor, libraries put
// first among the needed ones, and a run path that no longer depends on
// where the copy lives.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace morphel {

// What the dynamic section of a file says about how it loads.
struct DynamicInfo {
    bool has_dynamic = false;
    bool is_main_program = false;  // ET_EXEC, or ET_DYN marked DF_1_PIE
    std::vector<std::string> needed;
    std::optional<std::string> auditor;   // DT_DEPAUDIT
    std::optional<std::string> run_path;  // DT_RUNPATH, else DT_RPATH
    bool run_path_is_rpath = false;
};

DynamicInfo read_dynamic_info(const std::string& path);

struct DynamicEdits {
    std::optional<std::string> auditor;     // loaded as DT_DEPAUDIT
    std::vector<std::string> prepended;     // first needed libraries, in this order
    std::optional<std::string> origin_dir;  // what $ORIGIN in the run path becomes
};

// `text` with every $ORIGIN and ${ORIGIN} replaced by `dir`.
std::string replace_origin(const std::string& text, const std::string& dir);

// Applies the edits to the file at `path`, a private copy of the input that
// `info` describes (the editor rewrites it in place). A file without a
// dynamic section is left alone.
// Returns whether the file changed.
bool apply_dynamic_edits(const std::string& path, const DynamicInfo& info,
                         const DynamicEdits& edits);

}  // namespace morphel
