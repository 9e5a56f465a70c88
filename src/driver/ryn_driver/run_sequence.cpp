// The driver object's life: set-up of the parts and the utility object,
// the run in its fixed order, and the clean-up at the end.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/ryn_driver/phases.h"
#include "driver/ryn_util/bounded_text.h"
#include "driver/ryn_util/kept_originals.h"
#include "i18n/driver_texts.h"
#include "ryn/rc_data.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"

namespace ryn {

RunState::RunState() = default;
RunState::~RunState() = default;

RynDriver::RynDriver(const char* front_end_name, int argc, char** argv, int lav_version) {
    state_.lav_version = lav_version;
    prepare(front_end_name);
    run(argc, argv);
}

RynDriver::RynDriver(const char* front_end_name, int lav_version, PrepareOnly) {
    state_.lav_version = lav_version;
    prepare(front_end_name);
}

RynDriver::~RynDriver() {
    if (util_ && !options_.very_verbose) {
        util_->cleanup();
    }
    // The run succeeded: what it replaced stays replaced.
    ryn::drop_all_kept();
    restore_output(state_);
    state_.cache.reset();
    util_.reset();
    state_.rc.reset();
}

void RynDriver::prepare(const char* front_end_name) {
    util_ = std::make_unique<RynExecUtil>(front_end_name, this);
    // A caller that already knows the audit library's version runs the
    // driver inside its own process and keeps its own signal dispositions.
    if (state_.lav_version == 0) {
        util_->setup_handler();
    }

    if (front_end_name && strcmp(front_end_name, "memvex") == 0) {
        options_.front_end = FrontEnd::memvex;
        options_.follow_dependencies = true;
        ver_string = memvex_ver_string;
    } else {
        options_.skip_bad_libraries = true;
        ver_string = ryn_ver_string;
    }

    tool_args_.use_args.add_arg("-ryn");
    tool_args_.optimize_args.add_arg("-ryn");

    // An empty value names no directory and is taken as unset.
    if (const char* dir = getenv("QVEN_RYN_INSTRDATA_DIR"); dir && *dir) {
        std::string value(dir, strnlen(dir, ryn::k_text_max));
        if (!value.ends_with('/')) {
            value += '/';
        }
        options_.env_instrdata_dir = std::move(value);
    }
}

void RynDriver::run(int argc, char** argv) {
    ExecUtil& util = *util_;
    const bool version_from_caller = state_.lav_version != 0;
    if (!version_from_caller && !set_exec_names(argv, options_, locations_, util)) {
        util.fatal(0, "%s", get_msg(RYN_NO_EXEC_DIR));
    }

    if (options_.memvex_front_end()) {
        process_memvex_options(argc, argv, options_, tool_args_, locations_, util);
    } else {
        process_options(argc, argv, options_, tool_args_, locations_, util);
    }
    settle_options(options_, tool_args_);
    // From here on the options are read, never changed.
    const RynOptions& opts = options_;
    // Located only now, so that "-t" makes argv[0] the executable.
    if (version_from_caller && !set_exec_names(argv, opts, locations_, util)) {
        util.fatal(0, "%s", get_msg(RYN_NO_EXEC_DIR));
    }

    util.dry_run = opts.dry_run;
    util.verbose = opts.verbose;
    util.very_verbose = opts.very_verbose;
    util.remove_instrumented = opts.remove_instrumented;

    if (opts.redirect_file) {
        redirect_output(opts, state_, util);
    }
    distribute_options(opts, tool_args_, locations_, state_, util);
    if (!target_check_pass(opts, state_, util)) {
        return;
    }

    if (opts.analyze_mode && !experiment_runs(opts, locations_) && !opts.analysis_type_given) {
        if (opts.verbose) {
            util.report_error(MSG_INFO, 0, "%s", driver_text(DriverText::NO_ANALYSIS_OPTIONS));
        }
    } else {
        run_phases();
    }

    const Target* main_target = state_.main_target;
    if (opts.tell_mode && main_target && runtime_output && outbufsiz > 0) {
        snprintf(runtime_output, static_cast<std::size_t>(outbufsiz), "%s\n",
                 main_target->cached_name.c_str());
    }
}

void RynDriver::run_phases() {
    const RynOptions& opts = options_;
    const ToolArgs& tools = tool_args_;
    const InstallLocations& loc = locations_;
    ExecUtil& util = *util_;
    if (opts.memvex_front_end() ||
        (opts.instrument_enabled && (opts.collect_mode || opts.instrument_mode))) {
        run_instrument_command(opts, tools, loc, state_, util);
    }
    if (opts.instrument_enabled && opts.collect_mode) {
        run_collect_program(tools, state_, util);
    }
    add_runtime_libraries(opts, state_, util);
    // Reports named with -o, and coverage's analytics file, are written
    // afresh by the final phase; a stale one must not survive a failing phase.
    for (const char* file : opts.output_files) {
        unlink(file);
    }
    if (opts.coverage_mode && opts.analytics_file) {
        unlink(opts.analytics_file->c_str());
    }
    if (experiment_runs(opts, loc)) {
        run_experiment_command(opts, tools, loc, state_, util);
    } else if (opts.analyze_mode) {
        run_use_command(&tools.use_args, opts, loc, state_, util);
    } else if (opts.optimize_mode) {
        run_optimize_loop(opts, tools, loc, state_, util);
    }
}

}  // namespace ryn
