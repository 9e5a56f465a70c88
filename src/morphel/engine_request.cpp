#include "engine_request.h"

#include <array>
#include <string_view>

#include "engine_error.h"

namespace morphel {
namespace {

// Options whose value is a path that must exist when the engine starts.
constexpr std::array<std::string_view, 6> k_path_options = {
    "-add_depaudit=", "-prepend_dt_needed=", "-ryninfo=",
    "-blacklist=",    "-blacklist_pfx=",     "-checkfile=",
};

// The analyses the use mode can be asked for, by option prefix.
constexpr std::array<std::string_view, 7> k_analysis_prefixes = {
    "-bbc", "-branch", "-ifreq", "-cc", "-function", "-dis", "-bcc",
};

// Takes one option (an argument beginning with '-') into the request.
void take_option(const std::string& arg, EngineRequest& request) {
    if (arg == "-ryn") {
        request.mode_label = "ryn";
    } else if (arg == "-ped" || arg == "-ped=lite") {
        request.mode_label = "memvex";
    } else if (arg == "-v") {
        request.verbose = true;
    } else if (arg.starts_with("-comment=")) {
        request.comment = arg.substr(9);
    } else if (arg.starts_with("-xkalfix=use:")) {
        request.use_location = arg.substr(13);
    } else if (arg.starts_with("-out=")) {
        request.report_file = arg.substr(5);
    } else if (arg.starts_with("-zentor_analytics_file=")) {
        request.analytics_file = arg.substr(23);
    } else if (arg.starts_with("-xkalfix=instrument:")) {
        request.data_dir = arg.substr(20);
    } else if (arg.starts_with("-add_depaudit=")) {
        request.auditor = arg.substr(14);
    } else if (arg.starts_with("-prepend_dt_needed=")) {
        request.prepended.push_back(arg.substr(19));
    } else if (arg.starts_with("-replace_origin=")) {
        request.origin_dir = arg.substr(16);
    } else if (arg == "-memvex_full_lib_instr") {
        request.full_check = true;
    } else if (arg == "-race_detection") {
        request.race_detection = true;
    } else if (arg.starts_with("-checkfile=")) {
        request.check_file = arg.substr(11);
    }
    for (const std::string_view prefix : k_analysis_prefixes) {
        if (arg.starts_with(prefix)) {
            request.analyses.push_back(arg);
            break;
        }
    }
    for (const std::string_view option : k_path_options) {
        if (arg.starts_with(option)) {
            const std::string path = arg.substr(option.size());
            request.named_paths.emplace_back(std::string(option), path);
            if (option == "-ryninfo=") {
                request.ryninfo = path;
            }
        }
    }
}

}  // namespace

EngineRequest parse_engine_request(const std::vector<std::string>& args) {
    EngineRequest request;
    // The version line names the mode, so the mode switch is read first.
    for (const std::string& arg : args) {
        if (arg == "-ryn" || arg == "-ped" || arg == "-ped=lite") {
            take_option(arg, request);
        } else if (arg == "-V") {
            request.version_query = true;
        }
    }
    if (request.version_query) {
        return request;
    }

    std::optional<size_t> input_index;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-o") {
            if (i + 1 >= args.size()) {
                throw EngineError("-o must be followed by the output path");
            }
            request.output = args[++i];
        } else if (arg.starts_with("-")) {
            take_option(arg, request);
        } else if (input_index) {
            throw EngineError("unexpected argument: " + args[*input_index]);
        } else {
            input_index = i;
        }
    }
    if (!input_index) {
        throw EngineError("no input file");
    }
    // The input comes last; only a check file may follow it, where the use
    // phase places it.
    for (size_t i = *input_index + 1; i < args.size(); ++i) {
        if (!args[i].starts_with("-checkfile=")) {
            throw EngineError("the input file must be the last argument: " + args[*input_index]);
        }
    }
    request.input = args[*input_index];
    return request;
}

}  // namespace morphel
