// Set-up after the command line is parsed and settled: the options become
// the target cache, the configuration settings, the targets and the tools'
// argument lists.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "driver/ryn_cache/last_component.h"
#include "driver/ryn_driver/option_errors.h"
#include "driver/ryn_driver/phases.h"
#include "driver/ryn_util/kept_originals.h"
#include "driver/ryn_util/run_ending.h"
#include "driver/ryn_util/unique_fd.h"
#include "driver/ryn_util/usable_path.h"
#include "i18n/driver_texts.h"
#include "ryn/exec_util.h"
#include "ryn/rc_data.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/target.h"

namespace ryn {

namespace {

// What the cache and its targets read of the run.
CachePolicy cache_policy(const RynOptions& opts, const InstallLocations& loc) {
    CachePolicy policy;
    policy.memvex = opts.memvex_front_end();
    policy.replace_in_place = opts.replace_in_place;
    policy.very_verbose = opts.very_verbose;
    policy.audit_lib_path = auditlibpath(loc);
    policy.tell_mode = opts.tell_mode;
    policy.no_main_full_instr = opts.memvex.no_main_full_instr;
    policy.check_all_libraries = opts.memvex.check_all_libraries;
    policy.check_file_spec = opts.check_file_spec;
    policy.memvex_check_list.assign(opts.memvex.memvex_check_list.begin(),
                                    opts.memvex.memvex_check_list.end());
    return policy;
}

}  // namespace

Target* add_library_target(const char* path, bool restore_first, bool replaceable,
                           const RynOptions& opts, RunState& state, ExecUtil& util) {
    ryn::require_usable_target(util, path);
    if (!util.is_shared_object(path, true)) {
        util.fatal(0, driver_text(DriverText::NOT_A_SHARED_OBJECT), path);
    }
    return state.cache->add_target(path, nullptr,
                                   {.skip_instr_check = opts.r_option,
                                    .restore_first = restore_first,
                                    .replaceable = replaceable});
}

void distribute_options(const RynOptions& opts, ToolArgs& tools, InstallLocations& loc,
                        RunState& state, ExecUtil& util) {
    if (opts.verbose) {
        util.report_error(MSG_INFO, 0, "%s", ver_string ? ver_string : "");
    }
    if (!opts.target_path) {
        usage_exit(loc, 1);
    }
    const char* target = opts.target_path->c_str();
    const char* lock_dir = opts.cache_dir ? opts.cache_dir->c_str() : nullptr;
    if (access(target, R_OK) != 0) {
        util.fatal(0, get_msg(RYN_E_FILE_NOT_FOUND), target);
    }
    ryn::require_usable_target(util, target);
    if (opts.check_file_spec) {
        ryn::require_usable_check_file(util, opts.check_file_spec->c_str());
    }

    if (opts.check_mode) {
        util.check_target(target, {.lock_dir = lock_dir,
                                   .level = 2,
                                   .write_check = opts.replace_in_place,
                                   .require_annotations = !opts.memvex.lite_mode});
        ryn::end_run(0);
    }

    set_locations(opts, loc, util);

    // Lite mode must be settled before the cache (which follows dependencies
    // or not) and the main target (which requires annotations or not) exist.
    state.lite_mode = opts.memvex.lite_mode;
    if (opts.memvex_front_end() && !state.lite_mode &&
        !util.check_target(target, {.lock_dir = lock_dir,
                                    .skip_instr_check = true,
                                    .severity = MSG_INFO,
                                    .require_annotations = false})) {
        util.report_error(MSG_WARNING, 0,
                          get_msg(opts.memvex.data_race_mode ? RYN_W_NO_ANNOTATIONS_VEK_MODE
                                                             : RYN_W_NO_ANNOTATIONS_LITE_MODE),
                          target);
        state.lite_mode = true;
    }
    const bool follow = following_dependencies(opts, state);

    state.cache = std::make_unique<RynCache>(
        lock_dir, opts.memvex_front_end(), opts.memvex_front_end() ? "memvex" : "count",
        follow && !opts.optimize_mode, &util, cache_policy(opts, loc));

    if (opts.read_rc_files) {
        const int verbosity = (opts.verbose ? 1 : 0) + (opts.very_verbose ? 1 : 0);
        state.rc = std::make_unique<rcData>(
            opts.memvex_front_end(), loc.install_lib_dir ? loc.install_lib_dir->c_str() : nullptr,
            verbosity, &util);
        if (opts.use_rc_library_lists) {
            state.rc->library_list("IGNORABLE_LIBS", &state.cache->ignorable_libs);
            state.rc->library_list("WRITE_ONLY_LIBS", &state.cache->write_only_libs);
        }
    }
    state.cache->ignorable_libs.add_argslist(&opts.excluded_libraries);

    // Only a run that uses an instrumented program in place puts the
    // original back first.
    const bool restore_main = opts.replace_in_place && !opts.instrument_mode && !opts.collect_mode;
    // A driver killed while the output file stood replaced left its
    // original beside it.
    if (opts.output_file_given) {
        ryn::recover_left_replacement(util, opts.output_file->c_str());
    }
    bool uses_cxx_runtime = false;
    state.main_target = state.cache->add_target(target, &uses_cxx_runtime,
                                                {.is_main = true,
                                                 .skip_instr_check = opts.r_option,
                                                 .restore_first = restore_main,
                                                 .replaceable = opts.replace_in_place,
                                                 .require_annotations = !state.lite_mode});
    if (opts.memvex_front_end()) {
        if (uses_cxx_runtime) {
            state.main_uses_cxx_runtime = true;
        }
    } else {
        state.main_target->instr_options = opts.check_file_spec;
    }

    if (state.lav_version == 0) {
        state.lav_version = probe_lav_version(opts, loc, state, util);
    }
    state.lav_above_3 = state.lav_version >= 4;

    for (const char* lib : opts.library_list) {
        add_library_target(lib, follow ? false : restore_main,
                           follow ? false : opts.replace_in_place, opts, state, util);
    }

    // Libraries that an earlier run of the instrumented program logged.
    instrument_logfile(opts, state, state.main_target);
    if (state.liblog_path && (opts.analyze_mode || opts.coverage_mode) && !opts.collect_mode) {
        if (opts.remove_instrumented) {
            util.temp_files.add_arg(*state.liblog_path);
        }
        ArgCache logged;
        util.read_instr_log(state.liblog_path->c_str(), &logged);
        for (const char* lib : logged) {
            add_library_target(lib, false, false, opts, state, util);
        }
    }

    // The program is instrumented in place, so it must be writable.
    if (output_replaces_target(opts) && !ryn::UniqueFd(open(target, O_WRONLY)).valid()) {
        util.fatal(0, get_msg(RYN_NO_WRITE), target);
    }

    if (opts.memvex_front_end()) {
        if (opts.memvex.text_report && opts.memvex.html_report &&
            *opts.memvex.text_report == *opts.memvex.html_report) {
            util.fatal(0, "%s", driver_text(DriverText::SAME_REPORT_FILES));
        }
    }

    // From here on the program stands restored and is not to be replaced.
    if (restore_main) {
        state.cache->policy.replace_in_place = false;
    }

    if (opts.collect_mode) {
        tools.collect_run_args.add_arg(opts.output_file.value_or(""));
        tools.collect_run_args.add_argslist(&opts.target_args);
    }

    if (opts.experiment_mode) {
        set_er_ryn_program(nullptr, loc);
        if (loc.er_ryn_status >= 2) {
            // A tool from another install tree must be told where our engine is.
            if (!loc.morphel_dir_given && loc.er_ryn_elsewhere) {
                tools.er_ryn_args.add_arg(
                    bounded_option("-Yo,", loc.exec_dir.value_or("").c_str()));
            }
        } else {
            util.report_error(MSG_INFO, 0, "%s", get_msg(RYN_W_NO_ER_RYN));
        }
    }

    if (opts.optimize_mode && !opts.collect_mode && !opts.instrument_enabled) {
        util.report_error(MSG_INFO, 0, "%s", get_msg(OPTIMIZE_NO_INSTRDATA));
    }
}

}  // namespace ryn
