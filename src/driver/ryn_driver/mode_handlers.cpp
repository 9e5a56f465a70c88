// Options that only some modes know, offered in a fixed chain after the
// common options have declined them, and the memory checker's "-c" reader.
#include <fcntl.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "driver/ryn_driver/option_errors.h"
#include "driver/ryn_util/list_file.h"
#include "driver/ryn_util/unique_file.h"
#include "driver/ryn_util/usable_path.h"
#include "i18n/driver_texts.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"

namespace {

// The analysis word of a help row: the row up to its first '=' or '['.
std::string_view analysis_word(const char* row) {
    const std::string_view text = row;
    return text.substr(0, text.find_first_of("=["));
}

}  // namespace

bool RynDriver::process_simapp_arg(char**& cursor) {
    if (!(analyze_mode || collect_mode || coverage_mode)) {
        return false;
    }
    // One pass over the collector options in this order, so "-d dir -C on"
    // is taken in one call.
    bool handled = false;
    for (const char* option : {"-d", "-C", "-g", "-A"}) {
        if (*cursor == nullptr || strcmp(*cursor, option) != 0) {
            continue;
        }
        collect_args.add_arg(option);
        collect_args.add_arg(option_value(*util, cursor));
        if (strcmp(option, "-d") != 0) {
            experiment_mode = true;
        }
        cursor += 2;
        handled = true;
    }
    return handled;
}

bool RynDriver::process_er_ryn_dbg_arg(char**& cursor) {
    const std::string_view option = *cursor;
    if (option != "-vv" && option != "-keeptmp") {
        return false;
    }
    er_ryn_args.add_arg(*cursor);
    ++cursor;
    return true;
}

bool RynDriver::process_optimize_input_arg(char**& cursor) {
    if (!optimize_mode) {
        return false;
    }
    const char* const arg = *cursor;
    const std::string_view option = arg;
    if (option.size() == 3 && option.starts_with("-O")) {
        optimize_args.add_arg(std::string("-optlevel=") + option[2]);
    } else if (option == "-f") {
        optimize_args.add_arg("-xkalfix=final");
    } else if (option == "-Qy" || option == "-Qn" || option.starts_with("-xinline")) {
        optimize_args.add_arg(arg);
    } else {
        return false;
    }
    ++cursor;
    return true;
}

bool RynDriver::process_bat_input_arg(char**& cursor) {
    if (!(analyze_mode || collect_mode || coverage_mode)) {
        return false;
    }
    const char* const arg = *cursor;
    const std::string_view option = arg;
    if (option == "-a") {
        const char* type = option_value(*util, cursor);
        for (const char* row : ryn_help_text) {
            if (std::string_view(type).starts_with(analysis_word(row))) {
                use_args.add_arg(bounded_option("-", type));
                analyze_mode = true;
                analysis_type_given = true;
                cursor += 2;
                return true;
            }
        }
        return false;
    }
    if (option == "-e") {
        er_args.add_arg("-er");
        analyze_mode = true;
        experiment_mode = true;
        ++cursor;
        return true;
    }
    if (option == "-E") {
        er_args.add_arg(bounded_option("-er:", option_value(*util, cursor)));
        analyze_mode = true;
        experiment_mode = true;
        cursor += 2;
        return true;
    }
    if (has_prefix(arg, "-Wa,")) {
        use_args.add_arg(arg + 4);
        ++cursor;
        return true;
    }
    return false;
}

bool RynDriver::process_instrument_input_arg(char**& cursor) {
    if (!(collect_mode || instrument_mode)) {
        return false;
    }
    const char* const arg = *cursor;
    const std::string_view option = arg;
    if (option == "-g") {
        if (collect_mode) {
            // The collector options take "-g" with its value first.
            util->fatal(0, "%s", driver_text(DriverText::GROUP_OPTION_LATE));
        }
        instrument_record.add_arg("-g");
        group_option = true;
        ++cursor;
        return true;
    }
    if (option == "-m") {
        const std::string_view value = option_value(*util, cursor);
        instrument_record.add_arg("-m");
        instrument_record.add_arg(cursor[1]);
        if (value == "on") {
            engine_passthrough_args.add_arg("-mt=on");
        } else if (value == "off") {
            engine_passthrough_args.add_arg("-mt=off");
        }
        cursor += 2;
        return true;
    }
    if (option == "-K") {
        instrument_record.add_arg("-K");
        read_rc_files = false;
        ++cursor;
        return true;
    }
    if (option == "-k") {
        instrument_record.add_arg("-k");
        k_option = true;
        ++cursor;
        return true;
    }
    if (option == "-N") {
        excluded_libraries.add_arg(option_value(*util, cursor));
        cursor += 2;
        return true;
    }
    if (option == "-t") {
        tell_mode = true;
        follow_dependencies = false;
        use_rc_library_lists = false;
        replace_in_place = false;
        ++cursor;
        return true;
    }
    if (option == "-b") {
        invalid_option(*util, "-b");
    }
    if (has_prefix(arg, "-Wi,")) {
        instrument_record.add_arg(arg);
        engine_passthrough_args.add_arg(arg + 4);
        ++cursor;
        return true;
    }
    return false;
}

bool RynDriver::process_coverage_input_arg(char**& cursor) {
    if (!coverage_mode || strcmp(*cursor, "-F") != 0) {
        return false;
    }
    use_args.add_arg(bounded_option("-fignore=", option_value(*util, cursor)));
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

void RynDriver::process_minus_c_flag(const char* value) {
    // A name that is no regular file, or cannot be opened, is taken as a
    // library name: a FIFO or a device is never opened.
    ryn::UniqueFd fd = ryn::open_regular_file(value, O_RDONLY);
    const ryn::UniqueFile file(fd.valid() ? fdopen(fd.get(), "r") : nullptr);
    if (file) {
        fd.release();  // the stream closes it
    }
    if (!file || util->is_shared_object(value, false)) {
        add_check_list_entry(memvex_check_list, *util, value);
        return;
    }
    // Otherwise it lists library names, one a line, trailing blanks ignored.
    ryn::for_each_list_line(file.get(), [this](std::string_view line) {
        while (!line.empty() && isblank(static_cast<unsigned char>(line.back()))) {
            line.remove_suffix(1);
        }
        if (!line.empty()) {
            add_check_list_entry(memvex_check_list, *util, std::string(line));
        }
    });
}
