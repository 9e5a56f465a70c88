// Where instrumentation data of each target lives, how its consumers are told,
// and the removal of stale data before fresh data is recorded.
#include "driver/ryn_driver/phases.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "driver/ryn_cache/last_component.h"
#include "driver/ryn_util/bounded_text.h"
#include "driver/ryn_util/run_ending.h"
#include "ryn/exec_util.h"
#include "ryn/target.h"

namespace ryn {

namespace {

constexpr const char k_data_suffix[] = ".instrdata";
constexpr size_t k_data_suffix_len = sizeof(k_data_suffix) - 1;

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

// Names of at least ten characters ending in ".instrdata", so that the bare
// name ".instrdata" counts too.
bool is_data_entry(const char* entry) {
    const size_t length = strlen(entry);
    return length >= k_data_suffix_len &&
           strcmp(entry + length - k_data_suffix_len, k_data_suffix) == 0;
}

}  // namespace

std::string instrdata_dirname(const RynOptions& opts, const Target* t) {
    return opts.instrdata_base + last_component(t->name) + opts.instrdata_suffix;
}

const char* instrument_logfile(const RynOptions& opts, RunState& state, const Target* t) {
    if (!state.liblog_path && !opts.memvex_front_end() && opts.follow_dependencies &&
        !t->is_shared_lib && opts.instrument_enabled) {
        state.liblog_path = t->original_name + ".liblog";
    }
    return state.liblog_path ? state.liblog_path->c_str() : nullptr;
}

bool check_instrdata(const RynOptions& opts, const char* path) {
    struct stat st {};
    if (!path || stat(path, &st) != 0) {
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        // A data file of its own stands for an executable's data only.
        return opts.target_is_shared == TargetKind::executable;
    }
    const Dir dir(opendir(path));
    if (!dir) {
        return false;
    }
    bool found = false;
    while (const dirent* entry = readdir(dir.get())) {
        found = found || is_data_entry(entry->d_name);
    }
    return found;
}

std::string construct_path_option(const char* prefix, const char* dir, const char* name) {
    std::string text = std::string(prefix) + dir;
    if (dir[0] != '\0' && dir[strlen(dir) - 1] != '/') {
        text += '/';
    }
    return text + name;
}

std::string auditlibpath(const InstallLocations& loc) {
    return construct_path_option("", loc.audit_lib_dir ? loc.audit_lib_dir->c_str() : "",
                                 "ryndl.so");
}

void unlink_instrdata(const RynOptions& opts, ExecUtil& util, const char* path) {
    if (!path) {
        return;
    }
    struct stat st {};
    if (stat(path, &st) != 0) {
        if (errno == ENOENT || errno == 0) {
            return;
        }
        util.fatal(errno, get_msg(RYN_E_RM_INSTRDATA), path);
    }
    if (!S_ISDIR(st.st_mode)) {
        if (!opts.dry_run && unlink(path) != 0) {
            util.fatal(errno, get_msg(RYN_E_RM_INSTRDATA), path);
        }
        if (opts.verbose) {
            util.report_error(MSG_INFO, 0, get_msg(RYN_V_RM_INSTRDATA), path);
        }
        return;
    }

    ArgCache stale;
    {
        const Dir dir(opendir(path));
        if (!dir) {
            util.fatal(errno, get_msg(RYN_E_RM_INSTRDATA), path);
        }
        errno = 0;
        while (const dirent* entry = readdir(dir.get())) {
            if (is_data_entry(entry->d_name)) {
                std::string entry_path = std::string(path) + "/" + entry->d_name;
                entry_path.resize(std::min(entry_path.size(), ryn::k_text_max));
                stale.add_arg(entry_path);
            }
            errno = 0;
        }
        if (errno != 0) {
            util.fatal(errno, get_msg(RYN_E_RM_INSTRDATA), path);
        }
    }
    // The directory itself and everything else in it stay.
    for (const char* entry : stale) {
        if (!opts.dry_run && unlink(entry) != 0) {
            util.fatal(errno, get_msg(RYN_E_RM_INSTRDATA), entry);
        }
        if (opts.verbose) {
            util.report_error(MSG_INFO, 0, get_msg(RYN_V_RM_INSTRDATA), entry);
        }
    }
}

void add_checkfile_arg(ArgCache* list, const Target* t) {
    if (!t->instr_options) {
        return;
    }
    std::string option;
    try {
        option = "-checkfile=" + *t->instr_options;
    } catch (const std::bad_alloc&) {
        // Printed directly: reporting, restoring and cleaning up would all
        // need memory that is not there.
        fputs(get_msg(RYN_RAN_OUT_OF_MEMORY), stderr);
        fputs("\n", stderr);
        ryn::abandon_run(1);
    }
    list->add_arg(option);
}

std::string use_option(const RynOptions& opts, const RunState& state, const Target* t) {
    std::string text = use_option_prefix;
    const std::string data_dir = instrdata_dirname(opts, t);
    if (opts.env_instrdata_dir) {
        ryn::append_bounded(text, *opts.env_instrdata_dir);
        ryn::append_bounded(text, last_component(data_dir));
    } else {
        ryn::append_bounded(text, data_dir);
    }
    if (opts.target_is_shared == TargetKind::executable) {
        ryn::append_bounded(text, "/");
        ryn::append_bounded(text, opts.u_argument ? *opts.u_argument
                                                  : last_component(state.main_target->cached_name));
        ryn::append_bounded(text, k_data_suffix);
    }
    return text;
}

}  // namespace ryn
