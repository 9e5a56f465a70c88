// Options that only some modes know, offered in a fixed chain after the
// common options have declined them, and the memory checker's "-c" reader.
#include <fcntl.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "driver/ryn_driver/general_command_line.h"
#include "driver/ryn_driver/option_errors.h"
#include "driver/ryn_driver/phases.h"
#include "driver/ryn_util/list_file.h"
#include "driver/ryn_util/unique_file.h"
#include "driver/ryn_util/usable_path.h"
#include "i18n/driver_texts.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"

namespace ryn {

namespace {

// The analysis word of a help row: the row up to its first '=' or '['.
std::string_view analysis_word(const char* row) {
    const std::string_view text = row;
    return text.substr(0, text.find_first_of("=["));
}

}  // namespace

bool GeneralCommandLine::process_simapp_arg(char**& cursor) {
    if (!(opts.analyze_mode || opts.collect_mode || opts.coverage_mode)) {
        return false;
    }
    // One pass over the collector options in this order, so "-d dir -C on"
    // is taken in one call.
    bool handled = false;
    for (const char* option : {"-d", "-C", "-g", "-A"}) {
        if (*cursor == nullptr || strcmp(*cursor, option) != 0) {
            continue;
        }
        tools.collect_args.add_arg(option);
        tools.collect_args.add_arg(option_value(util, cursor));
        if (strcmp(option, "-d") != 0) {
            opts.experiment_mode = true;
        }
        cursor += 2;
        handled = true;
    }
    return handled;
}

bool GeneralCommandLine::process_er_ryn_dbg_arg(char**& cursor) {
    const std::string_view option = *cursor;
    if (option != "-vv" && option != "-keeptmp") {
        return false;
    }
    tools.er_ryn_args.add_arg(*cursor);
    ++cursor;
    return true;
}

bool GeneralCommandLine::process_optimize_input_arg(char**& cursor) {
    if (!opts.optimize_mode) {
        return false;
    }
    const char* const arg = *cursor;
    const std::string_view option = arg;
    if (option.size() == 3 && option.starts_with("-O")) {
        tools.optimize_args.add_arg(std::string("-optlevel=") + option[2]);
    } else if (option == "-f") {
        tools.optimize_args.add_arg("-xkalfix=final");
    } else if (option == "-Qy" || option == "-Qn" || option.starts_with("-xinline")) {
        tools.optimize_args.add_arg(arg);
    } else {
        return false;
    }
    ++cursor;
    return true;
}

bool GeneralCommandLine::process_bat_input_arg(char**& cursor) {
    if (!(opts.analyze_mode || opts.collect_mode || opts.coverage_mode)) {
        return false;
    }
    const char* const arg = *cursor;
    const std::string_view option = arg;
    if (option == "-a") {
        const char* type = option_value(util, cursor);
        for (const char* row : ryn_help_text) {
            if (std::string_view(type).starts_with(analysis_word(row))) {
                tools.use_args.add_arg(bounded_option("-", type));
                opts.analyze_mode = true;
                opts.analysis_type_given = true;
                cursor += 2;
                return true;
            }
        }
        return false;
    }
    if (option == "-e") {
        tools.er_args.add_arg("-er");
        opts.analyze_mode = true;
        opts.experiment_mode = true;
        ++cursor;
        return true;
    }
    if (option == "-E") {
        tools.er_args.add_arg(bounded_option("-er:", option_value(util, cursor)));
        opts.analyze_mode = true;
        opts.experiment_mode = true;
        cursor += 2;
        return true;
    }
    if (has_prefix(arg, "-Wa,")) {
        tools.use_args.add_arg(arg + 4);
        ++cursor;
        return true;
    }
    return false;
}

bool GeneralCommandLine::process_instrument_input_arg(char**& cursor) {
    if (!(opts.collect_mode || opts.instrument_mode)) {
        return false;
    }
    const char* const arg = *cursor;
    const std::string_view option = arg;
    if (option == "-g") {
        if (opts.collect_mode) {
            // The collector options take "-g" with its value first.
            util.fatal(0, "%s", driver_text(DriverText::GROUP_OPTION_LATE));
        }
        tools.instrument_record.add_arg("-g");
        opts.group_option = true;
        ++cursor;
        return true;
    }
    if (option == "-m") {
        const std::string_view value = option_value(util, cursor);
        tools.instrument_record.add_arg("-m");
        tools.instrument_record.add_arg(cursor[1]);
        if (value == "on") {
            tools.engine_passthrough_args.add_arg("-mt=on");
        } else if (value == "off") {
            tools.engine_passthrough_args.add_arg("-mt=off");
        }
        cursor += 2;
        return true;
    }
    if (option == "-K") {
        tools.instrument_record.add_arg("-K");
        opts.read_rc_files = false;
        ++cursor;
        return true;
    }
    if (option == "-k") {
        tools.instrument_record.add_arg("-k");
        opts.k_option = true;
        ++cursor;
        return true;
    }
    if (option == "-N") {
        opts.excluded_libraries.add_arg(option_value(util, cursor));
        cursor += 2;
        return true;
    }
    if (option == "-t") {
        opts.tell_mode = true;
        opts.follow_dependencies = false;
        opts.use_rc_library_lists = false;
        opts.replace_in_place = false;
        ++cursor;
        return true;
    }
    if (option == "-b") {
        invalid_option(util, "-b");
    }
    if (has_prefix(arg, "-Wi,")) {
        tools.instrument_record.add_arg(arg);
        tools.engine_passthrough_args.add_arg(arg + 4);
        ++cursor;
        return true;
    }
    return false;
}

bool GeneralCommandLine::process_coverage_input_arg(char**& cursor) {
    if (!opts.coverage_mode || strcmp(*cursor, "-F") != 0) {
        return false;
    }
    tools.use_args.add_arg(bounded_option("-fignore=", option_value(util, cursor)));
    cursor += 2;
    return true;
}

namespace {

// "library[:check file]"; the check file is read by the engine.
void add_check_list_entry(ArgCache& list, ExecUtil& util, const std::string& entry) {
    const std::size_t colon = entry.find(':');
    if (colon != std::string::npos) {
        ryn::require_usable_check_file(util, entry.c_str() + colon + 1);
    }
    list.add_arg(entry);
}

}  // namespace

void process_minus_c_flag(const char* value, ArgCache& check_list, ExecUtil& util) {
    // A name that is no regular file, or cannot be opened, is taken as a
    // library name: a FIFO or a device is never opened.
    ryn::UniqueFd fd = ryn::open_regular_file(value, O_RDONLY);
    const ryn::UniqueFile file(fd.valid() ? fdopen(fd.get(), "r") : nullptr);
    if (file) {
        fd.release();  // the stream closes it
    }
    if (!file || util.is_shared_object(value, false)) {
        add_check_list_entry(check_list, util, value);
        return;
    }
    // Otherwise it lists library names, one a line, trailing blanks ignored.
    ryn::for_each_list_line(file.get(), [&check_list, &util](std::string_view line) {
        while (!line.empty() && isblank(static_cast<unsigned char>(line.back()))) {
            line.remove_suffix(1);
        }
        if (!line.empty()) {
            add_check_list_entry(check_list, util, std::string(line));
        }
    });
}

}  // namespace ryn
