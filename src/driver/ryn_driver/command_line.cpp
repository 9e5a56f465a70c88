// The general front end's command line: mode word, help and version words,
// the options common to every mode, and the target with its arguments.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include "driver/ryn_driver/option_errors.h"
#include "driver/ryn_util/kept_originals.h"
#include "i18n/driver_texts.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"

namespace {

constexpr const char* k_indent = "     ";

}  // namespace

void RynDriver::process_options(int, char** argv) {
    // argc is not consulted: the walk ends at argv's null entry.
    if (argv == nullptr || argv[0] == nullptr || argv[1] == nullptr) {
        usage_exit(1);
    }
    const std::string_view mode = argv[1];
    if (mode == "collect") {
        collect_mode = true;
        instrument_record.add_arg("instrument");
    } else if (mode == "instrument") {
        instrument_mode = true;
        instrument_record.add_arg("instrument");
    } else if (mode == "analyze") {
        analyze_mode = true;
    } else if (mode == "coverage") {
        coverage_mode = true;
    } else if (mode == "optimize") {
        optimize_mode = true;
    } else if (mode == "check") {
        check_mode = true;
    } else if (mode == "-V") {
        printf("%s\n", ver_string);
        fflush(stdout);
        exit(0);
    } else if (mode == "-?" || mode == "-h") {
        usage_exit(0);
    } else if (mode == "--help") {
        usage();
        std::string list;
        for (const char* row : ryn_help_text) {
            list += k_indent;
            list += "-a ";
            list += row;
        }
        fprintf(stderr, long_usage, k_indent, list.c_str());
        exit(0);
    } else {
        usage_exit(1);
    }

    char** cursor = argv + 2;
    while (*cursor != nullptr) {
        if (target_path) {
            // Everything after the target belongs to it, options included.
            process_target_arg(cursor);
            continue;
        }
        char* const arg = *cursor;
        if (arg[0] != '-') {
            std::string name = arg;
            const std::size_t colon = name.find(':');
            if (colon != std::string::npos) {
                check_file_spec = name.substr(colon + 1);
                name.resize(colon);
            }
            target_path = std::move(name);
            // A run killed while it had this program replaced in place left
            // its original beside it; put it back before anything reads it.
            ryn::recover_left_replacement(*util, target_path->c_str());
            if (colon != std::string::npos) {
                // From here on argv names the target without its check-file
                // part; the text lives as long as the driver.
                *cursor = target_path->data();
            }
            if (target_is_shared == TargetKind::unknown) {
                target_is_shared = util->is_shared_object(target_path->c_str(), true)
                                       ? TargetKind::shared_object
                                       : TargetKind::executable;
            }
            ++cursor;
            continue;
        }
        if (process_ryn_driver_arg(cursor)) {
            continue;
        }
        // A declined "-i" leaves the cursor on its value, which the mode
        // handlers then examine; a refusal still names the option itself.
        const bool handled = process_simapp_arg(cursor) || process_er_ryn_dbg_arg(cursor) ||
                             process_optimize_input_arg(cursor) ||
                             process_bat_input_arg(cursor) ||
                             process_instrument_input_arg(cursor) ||
                             process_coverage_input_arg(cursor);
        if (!handled) {
            invalid_option(*util, arg);
        }
    }
}

bool RynDriver::process_target_arg(char**& cursor) {
    target_args.add_arg(*cursor);
    ++cursor;
    return true;
}

bool RynDriver::process_ryn_driver_arg(char**& cursor) {
    const char* const arg = *cursor;
    const std::string_view option = arg;
    const auto refuse_if = [&](bool invalid) {
        if (invalid) {
            invalid_option(*util, arg);
        }
    };
    const auto value = [&] { return option_value(*util, cursor); };
    // A taken option steps the cursor over its own words.
    const auto take = [&](int words) {
        cursor += words;
        return true;
    };

    if (option == "-i") {
        refuse_if(instrument_mode || check_mode);
        const std::string_view how = value();
        if (how == "static") {
            static_instrument = true;
            instrument_enabled = false;
            use_args.add_arg("-static");
        } else if (how == "on") {
            static_instrument = false;
            instrument_enabled = true;
        } else if (how == "off") {
            static_instrument = false;
            instrument_enabled = false;
        } else {
            ++cursor;
            return false;
        }
        return take(2);
    }
    if (option == "-D") {
        refuse_if(check_mode || optimize_mode);
        cache_dir = value();
        return take(2);
    }
    if (option == "-n") {
        dry_run = true;
        return take(1);
    }
    if (option == "-S") {
        refuse_if(check_mode || optimize_mode);
        target_is_shared = TargetKind::shared_object;
        return take(1);
    }
    if (option == "-U") {
        refuse_if(check_mode || optimize_mode);
        u_argument = value();
        target_is_shared = TargetKind::executable;
        return take(2);
    }
    if (option == "-M") {
        refuse_if(check_mode || optimize_mode);
        follow_dependencies = true;
        return take(1);
    }
    if (option == "-c") {
        refuse_if(!collect_mode);
        coverage_mode = true;
        return take(1);
    }
    if (option == "-v") {
        if (!verbose) {
            verbose = true;
            collect_args.add_arg("-v");
        } else {
            very_verbose = true;
            er_ryn_args.add_arg("-vv");
            use_args.add_arg("-v");
            optimize_args.add_arg("-v");
        }
        return take(1);
    }
    if (option == "-z") {
        if (++z_count >= 2) {
            instrument_record.add_arg("-v");
        }
        return take(1);
    }
    if (has_prefix(arg, "-Yo,")) {
        morphel_dir = arg + 4;
        instrument_record.add_arg(arg);
        er_ryn_args.add_arg(arg);
        morphel_dir_given = true;
        return take(1);
    }
    if (has_prefix(arg, "-Ye,")) {
        const char* dir = arg + 4;
        if (!set_er_ryn_program(dir)) {
            util->report_error(MSG_WARNING, 0, get_msg(RYN_E_BAD_YE), dir);
        }
        er_ryn_elsewhere = true;
        return take(1);
    }
    if (option == "-s") {
        refuse_if(check_mode);
        const char* suffix = value();
        instrument_record.add_arg("-s");
        instrument_record.add_arg(suffix);
        instrdata_suffix = suffix;
        return take(2);
    }
    if (has_prefix(arg, "-Wo,")) {
        const char* payload = arg + 4;
        instrument_record.add_arg(arg);
        engine_passthrough_args.add_arg(payload);
        optimize_args.add_arg(payload);
        use_args.add_arg(payload);
        if (has_prefix(arg, "-Wo,-zentor_analytics_file=")) {
            analytics_file_given = true;
        }
        return take(1);
    }
    if (option == "-R") {
        refuse_if(check_mode);
        replace_in_place = true;
        return take(1);
    }
    if (option == "-r") {
        refuse_if(check_mode || optimize_mode);
        instrument_record.add_arg("-r");
        r_option = true;
        return take(1);
    }
    if (option == "-o") {
        refuse_if(check_mode);
        const char* file = value();
        if (instrument_mode) {
            output_file = file;
        } else if (optimize_mode) {
            optimize_output = file;
        } else if (std::string_view(file).ends_with(".er")) {
            // An experiment name goes to the collector.
            collect_args.add_arg("-o");
            collect_args.add_arg(file);
        } else {
            refuse_if(!(analyze_mode || collect_mode || coverage_mode));
            output_files.add_arg(file);
            use_args.add_arg(std::string("-out=") + file);
        }
        return take(2);
    }
    if (option == "-I") {
        refuse_if(check_mode);
        const char* dir = value();
        instrument_record.add_arg("-I");
        instrument_record.add_arg(dir);
        if (!instrument_mode && env_instrdata_dir) {
            util->report_error(MSG_WARNING, 0, "%s",
                               driver_text(DriverText::INSTRDATA_OPTION_IGNORED));
        }
        struct stat st;
        if (stat(dir, &st) != 0) {
            util->create_directory(dir);
        }
        instrdata_base = bounded_option("", dir);
        if (!instrdata_base.ends_with('/')) {
            instrdata_base += '/';
        }
        return take(2);
    }
    if (option == "-V") {
        fprintf(stderr, "ryn: %s\n", ver_string);
        exit(0);
    }
    if (option == "-l") {
        library_list.add_arg(value());
        return take(2);
    }
    if (option == "-L") {
        util->read_instr_log(value(), &library_list);
        return take(2);
    }
    if (option == "-u") {
        if (check_mode || instrument_mode) {
            return false;
        }
        remove_instrumented = true;
        return take(1);
    }
    if (option == "-O") {
        refuse_if(!collect_mode);
        redirect_file = value();
        return take(2);
    }
    if (option == "-X") {
        refuse_if(optimize_mode);
        mark_last_fg = false;
        return take(1);
    }
    if (option == "-zentor") {
        zentor_front_end = true;
        util->set_component("zentor");
        return take(1);
    }
    return false;
}
