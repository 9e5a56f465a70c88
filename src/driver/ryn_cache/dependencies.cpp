// The shared libraries a program loads, found by running it under our audit
// library in its listing mode, added to the cache as targets of their own.
#include "i18n/driver_texts.h"
#include "ryn/target.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "driver/ryn_cache/last_component.h"
#include "driver/ryn_util/command_output.h"
#include "ryn/arg_cache.h"
#include "ryn/exec_util.h"
#include "ryn/ryn_cache.h"

namespace ryn {

namespace {

constexpr size_t k_line_size = 1024;

// How deep the listing recursion is; shown in the verbose trace only.
int dependency_level = 0;

struct LevelGuard {
    LevelGuard() { ++dependency_level; }
    ~LevelGuard() { --dependency_level; }
    LevelGuard(const LevelGuard&) = delete;
    LevelGuard& operator=(const LevelGuard&) = delete;
};

// An entry starting with "/" names a directory or file prefix; any other
// entry a basename prefix, so that an unversioned name also drops the
// versioned files.
bool is_ignorable(const ArgCache& ignorable_libs, const std::string& path) {
    const std::string base_name = ryn::last_component(path);
    for (const char* entry : ignorable_libs) {
        const std::string& subject = entry[0] == '/' ? path : base_name;
        if (subject.compare(0, strlen(entry), entry) == 0) {
            return true;
        }
    }
    return false;
}

std::string current_directory(ExecUtil* util) {
    char buffer[k_line_size];
    if (!getcwd(buffer, sizeof buffer)) {
        util->fatal(errno, "%s", driver_text(DriverText::NO_WORKING_DIR));
    }
    return buffer;
}

}  // namespace

void Target::compute_dependencies(RynCache* cache, bool* uses_cxx_runtime, bool skip_instr_check) {
    const LevelGuard level;
    if (is_shared_lib) {
        return;
    }
    const std::string command =
        "QVEN_RYN_AUDIT_PRINT_DEPS=yes LD_CONFGEN=yes LD_LOADAVAIL=yes "
        "LD_AUDIT=" +
        shell_quote(cache->policy.audit_lib_path) + " " + shell_quote(name);
    ryn::ProbeCommand probe;
    probe.set_env = {"QVEN_RYN_AUDIT_PRINT_DEPS=yes", "LD_CONFGEN=yes", "LD_LOADAVAIL=yes",
                     "LD_AUDIT=" + cache->policy.audit_lib_path};
    probe.shell_text = command.substr(0, k_line_size - 1);
    // A command cut short is run by the shell exactly as it reads.
    probe.args = {command.size() < k_line_size - 1 ? name : "/"};
    ryn::CommandOutput listing(probe);
    if (!listing) {
        util->fatal(errno, get_msg(RYN_E_LDD_ERROR), name.c_str());
    }

    ArgCache found;
    char line[k_line_size];
    bool line_start = true;
    while (fgets(line, sizeof line, listing.get())) {
        // The listing writes an empty line for an object whose path holds a
        // newline: such a path cannot be passed on, one a line.
        const bool whole_line_empty = line_start && line[0] == '\n';
        line_start = strchr(line, '\n') != nullptr;
        if (whole_line_empty) {
            listing.close();
            util->fatal(0, driver_text(DriverText::DEPENDENCY_HAS_NEWLINE), name.c_str());
        }
        // Before any filtering: a runtime library counts even when it is
        // never instrumented itself.
        if (uses_cxx_runtime && (strstr(line, "libgcc_s.so") || strstr(line, "libstdc++.so"))) {
            *uses_cxx_runtime = true;
        }
        line[strcspn(line, "\n")] = '\0';
        std::string path = line;
        if (line[0] != '/') {
            path = (current_directory(util) + "/" + line).substr(0, k_line_size - 1);
        }
        if (cache->policy.very_verbose) {
            util->report_error(MSG_INFO, 0, driver_text(DriverText::DEPENDENCY_TRACE),
                               dependency_level, line);
        }
        if (!is_ignorable(cache->ignorable_libs, path)) {
            found.add_arg(path);
        }
    }
    listing.close();

    // Dependencies must carry annotations: a library without them becomes an
    // invalid target and is not instrumented.
    for (const char* path : found) {
        cache->add_target(path, uses_cxx_runtime, {.skip_instr_check = skip_instr_check});
    }
}

}  // namespace ryn
