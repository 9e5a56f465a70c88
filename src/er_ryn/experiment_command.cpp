#include "experiment_command.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <string_view>

namespace er_ryn {
namespace {

// Collector settings that take a value in the next argument.
constexpr std::array<std::string_view, 5> k_valued_settings = {"-o", "-d", "-C", "-g", "-A"};

bool is_option(const std::string& arg) { return !arg.empty() && arg[0] == '-'; }

// Takes the settings that concern the whole experiment from a target's option.
void take_target_option(const std::string& option, TargetBlock& block, ExperimentCommand& command) {
    const auto value_of = [&](std::string_view prefix) -> std::optional<std::string> {
        if (option.starts_with(prefix)) {
            return option.substr(prefix.size());
        }
        return std::nullopt;
    };
    if (auto location = value_of("-xkalfix=use:")) {
        block.use_location = std::move(location);
    } else if (auto list = value_of("-blacklist=")) {
        command.function_lists.push_back(*list);
    } else if (auto prefixes = value_of("-blacklist_pfx=")) {
        command.function_prefix_lists.push_back(*prefixes);
    } else if (auto ignored = value_of("-fignore=")) {
        command.ignored_functions.push_back(*ignored);
    } else if (auto analytics = value_of("-zentor_analytics_file=")) {
        command.analytics_file = std::move(analytics);
    } else if (option.starts_with("-er:") &&
               std::ranges::find(command.requests, option) == command.requests.end()) {
        command.requests.push_back(option);
    }
}

}  // namespace

ExperimentCommand parse_experiment_command(const std::vector<std::string>& args) {
    ExperimentCommand command;
    size_t i = 0;
    for (; i < args.size() && is_option(args[i]); ++i) {
        const std::string& setting = args[i];
        if (setting == "-v") {
            command.verbose = true;
        }
        if (std::find(k_valued_settings.begin(), k_valued_settings.end(), setting) ==
            k_valued_settings.end()) {
            continue;
        }
        if (i + 1 >= args.size()) {
            throw ToolError(setting + " needs a value");
        }
        const std::string& value = args[++i];
        if (setting == "-o") {
            // The same test the driver makes before it passes -o on.
            if (!value.ends_with(".er")) {
                throw ToolError("-o needs an experiment name ending in .er: " + value);
            }
            command.experiment_name = value;
        }
    }
    if (i >= args.size()) {
        throw ToolError("no target given");
    }
    while (i < args.size()) {
        TargetBlock& block = command.targets.emplace_back();
        block.file = args[i++];
        struct stat st;
        if (stat(block.file.c_str(), &st) != 0) {
            throw ToolError("target does not exist: " + block.file);
        }
        // Every block carries at least the target's settings; a second file
        // right after a target means the command line lost its options.
        if (i >= args.size() || !is_option(args[i])) {
            throw ToolError("options expected after target " + block.file +
                            (i < args.size() ? ", found " + args[i] : ""));
        }
        for (; i < args.size() && is_option(args[i]); ++i) {
            block.options.push_back(args[i]);
            take_target_option(args[i], block, command);
        }
    }
    return command;
}

}  // namespace er_ryn
