// Settings read from the installation, home and current-directory
// configuration files.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

namespace ryn {

class ArgCache;
class ExecUtil;

// The command word that starts a configuration line.
enum class RcCommand : int { none = 0, set = 1, append = 2, remove = 3 };

class rcData {
public:
    static constexpr int k_nvars = 6;
    static constexpr const char* names[k_nvars] = {"IGNORABLE_LIBS",          "IGNORABLE_FUNCTIONS",
                                                   "IGNORABLE_FUNC_PREFIXES", "FILTERS",
                                                   "FULL_LIB_INSTR",          "WRITE_ONLY_LIBS"};

    rcData(bool memvex, const char* install_lib_dir, int verbosity, ExecUtil* util);

    bool set_rc(const char* path, bool verbose);
    // One logical line (continuations joined), or nothing at end of file;
    // adds the physical lines consumed to *lines.
    std::optional<std::string> read_line(FILE* file, int* lines);
    std::optional<std::string> optString(const char* prefix, const char* name, bool to_file);
    bool library_list(const char* name, ArgCache* list);
    void dump() const;

    RcCommand command = RcCommand::none;  // of the line last read
    bool memvex;
    bool any_file_read = false;
    ExecUtil* util;                                  // not owned
    std::optional<std::string> values[2 * k_nvars];  // front-end slots, then COMMON slots
};

}  // namespace ryn
