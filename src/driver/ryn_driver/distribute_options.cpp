// Set-up after the command line is parsed: the parsed settings become the
// target cache, the configuration settings, the targets, the output and
// report names and the tools' argument lists.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "driver/ryn_cache/last_component.h"
#include "driver/ryn_driver/option_errors.h"
#include "driver/ryn_util/kept_originals.h"
#include "driver/ryn_util/unique_fd.h"
#include "driver/ryn_util/usable_path.h"
#include "i18n/driver_texts.h"
#include "ryn/rc_data.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/target.h"

Target* RynDriver::add_library_target(const char* path, bool restore_first, bool replaceable) {
    ryn::require_usable_target(*util, path);
    if (!util->is_shared_object(path, true)) {
        util->fatal(0, driver_text(DriverText::NOT_A_SHARED_OBJECT), path);
    }
    return cache->add_target(path, nullptr,
                             {.skip_instr_check = r_option,
                              .restore_first = restore_first,
                              .replaceable = replaceable});
}

void RynDriver::distribute_options() {
    if (!r_option) {
        r_option = !instrument_mode && !collect_mode && !memvex_front_end;
    }
    if (verbose) {
        util->report_error(MSG_INFO, 0, "%s", ver_string ? ver_string : "");
    }
    if (!target_path) {
        usage_exit(1);
    }
    const char* target = target_path->c_str();
    const char* lock_dir = cache_dir ? cache_dir->c_str() : nullptr;
    if (access(target, R_OK) != 0) {
        util->fatal(0, get_msg(RYN_E_FILE_NOT_FOUND), target);
    }
    ryn::require_usable_target(*util, target);
    if (check_file_spec) {
        ryn::require_usable_check_file(*util, check_file_spec->c_str());
    }

    if (check_mode) {
        util->check_target(target, {.lock_dir = lock_dir,
                                    .level = 2,
                                    .write_check = replace_in_place,
                                    .require_annotations = !lite_mode});
        exit(0);
    }

    set_locations();

    // Lite mode must be settled before the cache (which follows dependencies
    // or not) and the main target (which requires annotations or not) exist.
    if (memvex_front_end && !lite_mode &&
        !util->check_target(target, {.lock_dir = lock_dir,
                                     .skip_instr_check = true,
                                     .severity = MSG_INFO,
                                     .require_annotations = false})) {
        util->report_error(MSG_WARNING, 0,
                           get_msg(data_race_mode ? RYN_W_NO_ANNOTATIONS_VEK_MODE
                                                  : RYN_W_NO_ANNOTATIONS_LITE_MODE),
                           target);
        lite_mode = true;
    }
    if (lite_mode) {
        follow_dependencies = false;
    }

    if (z_count == 2) {
        z_count = 0;
    } else if (z_count > 2) {
        --z_count;
    }

    cache = std::make_unique<RynCache>(lock_dir, memvex_front_end,
                                       memvex_front_end ? "memvex" : "count",
                                       follow_dependencies && !optimize_mode, util.get(), this);

    if (read_rc_files) {
        const int verbosity = (verbose ? 1 : 0) + (very_verbose ? 1 : 0);
        rc = std::make_unique<rcData>(memvex_front_end,
                                      install_lib_dir ? install_lib_dir->c_str() : nullptr,
                                      verbosity, util.get());
        if (use_rc_library_lists) {
            rc->library_list("IGNORABLE_LIBS", &cache->ignorable_libs);
            rc->library_list("WRITE_ONLY_LIBS", &cache->write_only_libs);
        }
    }
    cache->ignorable_libs.add_argslist(&excluded_libraries);

    // Only a run that uses an instrumented program in place puts the
    // original back first.
    const bool restore_main = replace_in_place && !instrument_mode && !collect_mode;
    // A driver killed while the output file stood replaced left its
    // original beside it.
    if (output_file) {
        ryn::recover_left_replacement(*util, output_file->c_str());
    }
    bool uses_cxx_runtime = false;
    main_target = cache->add_target(target, &uses_cxx_runtime,
                                    {.is_main = true,
                                     .skip_instr_check = r_option,
                                     .restore_first = restore_main,
                                     .replaceable = replace_in_place,
                                     .require_annotations = !lite_mode});
    if (memvex_front_end) {
        if (uses_cxx_runtime) {
            main_uses_cxx_runtime = true;
        }
    } else {
        main_target->instr_options = check_file_spec;
        check_file_spec.reset();
    }

    if (lav_version == 0) {
        lav_version = probe_lav_version();
    }
    lav_above_3 = lav_version >= 4;

    for (const char* lib : library_list) {
        add_library_target(lib, follow_dependencies ? false : restore_main,
                           follow_dependencies ? false : replace_in_place);
    }

    // Libraries that an earlier run of the instrumented program logged.
    instrument_logfile(main_target);
    if (liblog_path && (analyze_mode || coverage_mode) && !collect_mode) {
        if (remove_instrumented) {
            util->temp_files.add_arg(*liblog_path);
        }
        ArgCache logged;
        util->read_instr_log(liblog_path->c_str(), &logged);
        for (const char* lib : logged) {
            add_library_target(lib, false, false);
        }
    }

    const bool names_output_elsewhere =
        !collect_mode &&
        (!(memvex_front_end || instrument_mode) || tell_mode || output_file.has_value());
    if (names_output_elsewhere) {
        if (optimize_mode && !optimize_output) {
            optimize_output = replace_in_place ? *target_path
                                               : "./" + ryn::last_component(*target_path) + ".opt";
        }
    } else if (!memvex_front_end && !replace_in_place) {
        output_file = *target_path + ".instr";
    } else {
        // The program is instrumented in place, so it must be writable.
        output_file = *target_path;
        if (!ryn::UniqueFd(open(target, O_WRONLY)).valid()) {
            util->fatal(0, get_msg(RYN_NO_WRITE), target);
        }
    }

    if (memvex_front_end) {
        if (!text_report && !html_report && !analyzer_dir && output_file) {
            html_report = ryn::last_component(*output_file) + ".html";
        }
        if (text_report && html_report && *text_report == *html_report) {
            util->fatal(0, "%s", driver_text(DriverText::SAME_REPORT_FILES));
        }
    }

    if (restore_main) {
        replace_in_place = false;
    }

    if (collect_mode) {
        collect_run_args.add_arg(output_file.value_or(""));
        collect_run_args.add_argslist(&target_args);
    }

    if (coverage_mode) {
        use_args.add_arg("-bcc");
        analyze_mode = true;
        analysis_type_given = true;
        if (!analytics_file_given) {
            for (const char* arg : {"-er:ninstrcover", "-er:function", "-er:executed",
                                    "-er:blockcover%", "-er:instrcover%"}) {
                er_args.add_arg(arg);
            }
            experiment_mode = true;
        }
    }

    if (experiment_mode) {
        set_er_ryn_program(nullptr);
        if (er_ryn_status >= 2) {
            // A tool from another install tree must be told where our engine is.
            if (!morphel_dir_given && er_ryn_elsewhere) {
                er_ryn_args.add_arg(bounded_option("-Yo,", exec_dir.value_or("").c_str()));
            }
        } else {
            util->report_error(MSG_INFO, 0, "%s", get_msg(RYN_W_NO_ER_RYN));
            experiment_mode = false;
        }
    }

    if (optimize_mode && !collect_mode && !instrument_enabled) {
        util->report_error(MSG_INFO, 0, "%s", get_msg(OPTIMIZE_NO_INSTRDATA));
    }
}
