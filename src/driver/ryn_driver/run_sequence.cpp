// The driver object's life: set-up of the fields and the utility object,
// the run in its fixed order, and the clean-up at the end.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/ryn_util/bounded_text.h"
#include "driver/ryn_util/kept_originals.h"
#include "i18n/driver_texts.h"
#include "ryn/rc_data.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"

RynDriver::RynDriver(const char* front_end_name, int argc, char** argv, int lav_version)
    : lav_version(lav_version) {
    prepare(front_end_name);
    run(argc, argv);
}

RynDriver::RynDriver(const char* front_end_name, int lav_version, PrepareOnly)
    : lav_version(lav_version) {
    prepare(front_end_name);
}

RynDriver::~RynDriver() {
    if (util && !very_verbose) {
        util->cleanup();
    }
    // The run succeeded: what it replaced stays replaced.
    ryn::drop_all_kept();
    restore_output();
    cache.reset();
    util.reset();
    rc.reset();
}

void RynDriver::prepare(const char* front_end_name) {
    util = std::make_unique<RynExecUtil>(front_end_name, this);
    // A caller that already knows the audit library's version runs the
    // driver inside its own process and keeps its own signal dispositions.
    if (lav_version == 0) {
        util->setup_handler();
    }

    if (front_end_name && strcmp(front_end_name, "memvex") == 0) {
        memvex_front_end = true;
        follow_dependencies = true;
        plain_front_end = false;
        ver_string = memvex_ver_string;
    } else {
        skip_bad_libraries = true;
        ver_string = ryn_ver_string;
    }

    use_args.add_arg("-ryn");
    optimize_args.add_arg("-ryn");

    // An empty value names no directory and is taken as unset.
    if (const char* dir = getenv("QVEN_RYN_INSTRDATA_DIR"); dir && *dir) {
        std::string value(dir, strnlen(dir, ryn::k_text_max));
        if (!value.ends_with('/')) {
            value += '/';
        }
        env_instrdata_dir = std::move(value);
    }
}

void RynDriver::run(int argc, char** argv) {
    const bool version_from_caller = lav_version != 0;
    if (!version_from_caller && !set_exec_names(argv)) {
        util->fatal(0, "%s", get_msg(RYN_NO_EXEC_DIR));
    }

    if (memvex_front_end) {
        process_memvex_options(argc, argv);
    } else {
        process_options(argc, argv);
    }
    if (zentor_front_end) {
        plain_front_end = false;
    }
    // Located only now, so that "-t" makes argv[0] the executable.
    if (version_from_caller && !set_exec_names(argv)) {
        util->fatal(0, "%s", get_msg(RYN_NO_EXEC_DIR));
    }

    util->dry_run = dry_run;
    util->verbose = verbose;
    util->very_verbose = very_verbose;
    util->remove_instrumented = remove_instrumented;

    if (redirect_file) {
        redirect_output();
    }
    distribute_options();
    if (!target_check_pass()) {
        return;
    }

    if (analyze_mode && !experiment_mode && !analysis_type_given) {
        if (verbose) {
            util->report_error(MSG_INFO, 0, "%s", driver_text(DriverText::NO_ANALYSIS_OPTIONS));
        }
    } else {
        if (memvex_front_end || (instrument_enabled && (collect_mode || instrument_mode))) {
            run_instrument_command();
        }
        if (instrument_enabled && collect_mode) {
            run_collect_program();
        }
        add_runtime_libraries();
        // Reports named with -o are written afresh by the final phase; a stale
        // one must not survive a failing phase.
        for (const char* file : output_files) {
            unlink(file);
        }
        if (experiment_mode) {
            run_experiment_command();
        } else if (analyze_mode) {
            run_use_command(&use_args);
        } else if (optimize_mode) {
            run_optimize_loop();
        }
    }

    if (tell_mode && main_target && runtime_output && outbufsiz > 0) {
        snprintf(runtime_output, static_cast<std::size_t>(outbufsiz), "%s\n",
                 main_target->cached_name.c_str());
    }
}
