// The general front end's command line: mode word, help and version words,
// the options common to every mode, and the target with its arguments.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "driver/ryn_driver/general_command_line.h"
#include "driver/ryn_driver/option_errors.h"
#include "driver/ryn_driver/phases.h"
#include "driver/ryn_util/kept_originals.h"
#include "driver/ryn_util/run_ending.h"
#include "i18n/driver_texts.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"

namespace ryn {

namespace {

constexpr const char* k_indent = "     ";

}  // namespace

void process_options(int, char** argv, RynOptions& opts, ToolArgs& tools, InstallLocations& loc,
                     ExecUtil& util) {
    // argc is not consulted: the walk ends at argv's null entry.
    GeneralCommandLine{opts, tools, loc, util}.parse(argv);
}

void GeneralCommandLine::parse(char** argv) {
    if (argv == nullptr || argv[0] == nullptr || argv[1] == nullptr) {
        usage_exit(loc, 1);
    }
    const std::string_view mode = argv[1];
    if (mode == "collect") {
        opts.collect_mode = true;
        tools.instrument_record.add_arg("instrument");
    } else if (mode == "instrument") {
        opts.instrument_mode = true;
        tools.instrument_record.add_arg("instrument");
    } else if (mode == "analyze") {
        opts.analyze_mode = true;
    } else if (mode == "coverage") {
        opts.coverage_mode = true;
    } else if (mode == "optimize") {
        opts.optimize_mode = true;
    } else if (mode == "check") {
        opts.check_mode = true;
    } else if (mode == "-V") {
        printf("%s\n", ver_string);
        fflush(stdout);
        ryn::end_run(0);
    } else if (mode == "-?" || mode == "-h") {
        usage_exit(loc, 0);
    } else if (mode == "--help") {
        usage(loc);
        std::string list;
        for (const char* row : ryn_help_text) {
            list += k_indent;
            list += "-a ";
            list += row;
        }
        fprintf(stderr, long_usage, k_indent, list.c_str());
        ryn::end_run(0);
    } else {
        usage_exit(loc, 1);
    }

    char** cursor = argv + 2;
    while (*cursor != nullptr) {
        if (opts.target_path) {
            // Everything after the target belongs to it, options included.
            process_target_arg(cursor);
            continue;
        }
        char* const arg = *cursor;
        if (arg[0] != '-') {
            std::string name = arg;
            const std::size_t colon = name.find(':');
            if (colon != std::string::npos) {
                opts.check_file_spec = name.substr(colon + 1);
                name.resize(colon);
            }
            opts.target_path = std::move(name);
            // A run killed while it had this program replaced in place left
            // its original beside it; put it back before anything reads it.
            ryn::recover_left_replacement(util, opts.target_path->c_str());
            if (colon != std::string::npos) {
                // From here on argv names the target without its check-file
                // part; the text lives as long as the driver.
                *cursor = opts.target_path->data();
            }
            if (opts.target_is_shared == TargetKind::unknown) {
                opts.target_is_shared = util.is_shared_object(opts.target_path->c_str(), true)
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
                             process_optimize_input_arg(cursor) || process_bat_input_arg(cursor) ||
                             process_instrument_input_arg(cursor) ||
                             process_coverage_input_arg(cursor);
        if (!handled) {
            invalid_option(util, arg);
        }
    }
}

bool GeneralCommandLine::process_target_arg(char**& cursor) {
    opts.target_args.add_arg(*cursor);
    ++cursor;
    return true;
}

bool GeneralCommandLine::process_ryn_driver_arg(char**& cursor) {
    const char* const arg = *cursor;
    const std::string_view option = arg;
    const auto refuse_if = [&](bool invalid) {
        if (invalid) {
            invalid_option(util, arg);
        }
    };
    const auto value = [&] { return option_value(util, cursor); };
    // A taken option steps the cursor over its own words.
    const auto take = [&](int words) {
        cursor += words;
        return true;
    };

    if (option == "-i") {
        refuse_if(opts.instrument_mode || opts.check_mode);
        const std::string_view how = value();
        if (how == "static") {
            opts.static_instrument = true;
            opts.instrument_enabled = false;
            tools.use_args.add_arg("-static");
        } else if (how == "on") {
            opts.static_instrument = false;
            opts.instrument_enabled = true;
        } else if (how == "off") {
            opts.static_instrument = false;
            opts.instrument_enabled = false;
        } else {
            ++cursor;
            return false;
        }
        return take(2);
    }
    if (option == "-D") {
        refuse_if(opts.check_mode || opts.optimize_mode);
        opts.cache_dir = value();
        return take(2);
    }
    if (option == "-n") {
        opts.dry_run = true;
        return take(1);
    }
    if (option == "-S") {
        refuse_if(opts.check_mode || opts.optimize_mode);
        opts.target_is_shared = TargetKind::shared_object;
        return take(1);
    }
    if (option == "-U") {
        refuse_if(opts.check_mode || opts.optimize_mode);
        opts.u_argument = value();
        opts.target_is_shared = TargetKind::executable;
        return take(2);
    }
    if (option == "-M") {
        refuse_if(opts.check_mode || opts.optimize_mode);
        opts.follow_dependencies = true;
        return take(1);
    }
    if (option == "-c") {
        refuse_if(!opts.collect_mode);
        opts.coverage_mode = true;
        return take(1);
    }
    if (option == "-v") {
        if (!opts.verbose) {
            opts.verbose = true;
            tools.collect_args.add_arg("-v");
        } else {
            opts.very_verbose = true;
            tools.er_ryn_args.add_arg("-vv");
            tools.use_args.add_arg("-v");
            tools.optimize_args.add_arg("-v");
        }
        return take(1);
    }
    if (option == "-z") {
        if (++opts.z_count >= 2) {
            tools.instrument_record.add_arg("-v");
        }
        return take(1);
    }
    if (has_prefix(arg, "-Yo,")) {
        loc.morphel_dir = arg + 4;
        tools.instrument_record.add_arg(arg);
        tools.er_ryn_args.add_arg(arg);
        loc.morphel_dir_given = true;
        return take(1);
    }
    if (has_prefix(arg, "-Ye,")) {
        const char* dir = arg + 4;
        if (!set_er_ryn_program(dir, loc)) {
            util.report_error(MSG_WARNING, 0, get_msg(RYN_E_BAD_YE), dir);
        }
        loc.er_ryn_elsewhere = true;
        return take(1);
    }
    if (option == "-s") {
        refuse_if(opts.check_mode);
        const char* suffix = value();
        tools.instrument_record.add_arg("-s");
        tools.instrument_record.add_arg(suffix);
        opts.instrdata_suffix = suffix;
        return take(2);
    }
    if (has_prefix(arg, "-Wo,")) {
        const char* payload = arg + 4;
        tools.instrument_record.add_arg(arg);
        tools.engine_passthrough_args.add_arg(payload);
        tools.optimize_args.add_arg(payload);
        tools.use_args.add_arg(payload);
        if (has_prefix(arg, "-Wo,-zentor_analytics_file=")) {
            opts.analytics_file_given = true;
            opts.analytics_file = payload + strlen("-zentor_analytics_file=");
        }
        return take(1);
    }
    if (option == "-R") {
        refuse_if(opts.check_mode);
        opts.replace_in_place = true;
        return take(1);
    }
    if (option == "-r") {
        refuse_if(opts.check_mode || opts.optimize_mode);
        tools.instrument_record.add_arg("-r");
        opts.r_option = true;
        return take(1);
    }
    if (option == "-o") {
        refuse_if(opts.check_mode);
        const char* file = value();
        if (opts.instrument_mode) {
            opts.output_file = file;
            opts.output_file_given = true;
        } else if (opts.optimize_mode) {
            opts.optimize_output = file;
        } else if (std::string_view(file).ends_with(".er")) {
            // An experiment name goes to the collector.
            tools.collect_args.add_arg("-o");
            tools.collect_args.add_arg(file);
        } else {
            refuse_if(!(opts.analyze_mode || opts.collect_mode || opts.coverage_mode));
            opts.output_files.add_arg(file);
            tools.use_args.add_arg(std::string("-out=") + file);
        }
        return take(2);
    }
    if (option == "-I") {
        refuse_if(opts.check_mode);
        const char* dir = value();
        tools.instrument_record.add_arg("-I");
        tools.instrument_record.add_arg(dir);
        if (!opts.instrument_mode && opts.env_instrdata_dir) {
            util.report_error(MSG_WARNING, 0, "%s",
                              driver_text(DriverText::INSTRDATA_OPTION_IGNORED));
        }
        struct stat st;
        if (stat(dir, &st) != 0) {
            util.create_directory(dir);
        }
        opts.instrdata_base = bounded_option("", dir);
        if (!opts.instrdata_base.ends_with('/')) {
            opts.instrdata_base += '/';
        }
        return take(2);
    }
    if (option == "-V") {
        fprintf(stderr, "ryn: %s\n", ver_string);
        ryn::end_run(0);
    }
    if (option == "-l") {
        opts.library_list.add_arg(value());
        return take(2);
    }
    if (option == "-L") {
        util.read_instr_log(value(), &opts.library_list);
        return take(2);
    }
    if (option == "-u") {
        if (opts.check_mode || opts.instrument_mode) {
            return false;
        }
        opts.remove_instrumented = true;
        return take(1);
    }
    if (option == "-O") {
        refuse_if(!opts.collect_mode);
        opts.redirect_file = value();
        return take(2);
    }
    if (option == "-X") {
        refuse_if(opts.optimize_mode);
        opts.mark_last_fg = false;
        return take(1);
    }
    if (option == "-zentor") {
        opts.front_end = FrontEnd::zentor;
        util.set_component("zentor");
        return take(1);
    }
    return false;
}

}  // namespace ryn
