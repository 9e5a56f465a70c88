// Where instrumentation data of each target lives, how its consumers are told,
// and the removal of stale data before fresh data is recorded.
#include "ryn/ryn_driver.h"

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
#include "ryn/exec_util.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/target.h"

using ryn::last_component;

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

std::string RynDriver::instrdata_dirname(Target* t) const {
    return instrdata_base + last_component(t->name) + instrdata_suffix;
}

const char* RynDriver::instrument_logfile(Target* t) {
    if (!liblog_path && !memvex_front_end && follow_dependencies && !t->is_shared_lib &&
        instrument_enabled) {
        liblog_path = t->original_name + ".liblog";
    }
    return liblog_path ? liblog_path->c_str() : nullptr;
}

bool RynDriver::check_instrdata(const char* path) const {
    struct stat st {};
    if (!path || stat(path, &st) != 0) {
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        // A data file of its own stands for an executable's data only.
        return target_is_shared == TargetKind::executable;
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

std::string RynDriver::construct_path_option(const char* prefix, const char* dir,
                                             const char* name) {
    std::string text = std::string(prefix) + dir;
    if (dir[0] != '\0' && dir[strlen(dir) - 1] != '/') {
        text += '/';
    }
    return text + name;
}

std::string RynDriver::auditlibpath() const {
    return construct_path_option("", audit_lib_dir ? audit_lib_dir->c_str() : "", "ryndl.so");
}

void RynDriver::unlink_instrdata(const char* path) {
    if (!path) {
        return;
    }
    struct stat st {};
    if (stat(path, &st) != 0) {
        if (errno == ENOENT || errno == 0) {
            return;
        }
        util->fatal(errno, get_msg(RYN_E_RM_INSTRDATA), path);
    }
    if (!S_ISDIR(st.st_mode)) {
        if (!dry_run && unlink(path) != 0) {
            util->fatal(errno, get_msg(RYN_E_RM_INSTRDATA), path);
        }
        if (verbose) {
            util->report_error(MSG_INFO, 0, get_msg(RYN_V_RM_INSTRDATA), path);
        }
        return;
    }

    ArgCache stale;
    {
        const Dir dir(opendir(path));
        if (!dir) {
            util->fatal(errno, get_msg(RYN_E_RM_INSTRDATA), path);
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
            util->fatal(errno, get_msg(RYN_E_RM_INSTRDATA), path);
        }
    }
    // The directory itself and everything else in it stay.
    for (const char* entry : stale) {
        if (!dry_run && unlink(entry) != 0) {
            util->fatal(errno, get_msg(RYN_E_RM_INSTRDATA), entry);
        }
        if (verbose) {
            util->report_error(MSG_INFO, 0, get_msg(RYN_V_RM_INSTRDATA), entry);
        }
    }
}

void RynDriver::add_checkfile_arg(ArgCache* list, Target* t) {
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
        exit(1);
    }
    list->add_arg(option);
}

std::string RynDriver::use_option(Target* t) const {
    std::string text = use_option_prefix;
    const std::string data_dir = instrdata_dirname(t);
    if (env_instrdata_dir) {
        ryn::append_bounded(text, *env_instrdata_dir);
        ryn::append_bounded(text, last_component(data_dir));
    } else {
        ryn::append_bounded(text, data_dir);
    }
    if (target_is_shared == TargetKind::executable) {
        ryn::append_bounded(text, "/");
        ryn::append_bounded(text,
                            u_argument ? *u_argument : last_component(main_target->cached_name));
        ryn::append_bounded(text, k_data_suffix);
    }
    return text;
}
