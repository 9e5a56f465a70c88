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

}  // namespace

ExperimentCommand parse_experiment_command(const std::vector<std::string>& args) {
    ExperimentCommand command;
    size_t i = 0;
    for (; i < args.size() && is_option(args[i]); ++i) {
        const std::string& setting = args[i];
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
        const std::string& target = args[i++];
        struct stat st;
        if (stat(target.c_str(), &st) != 0) {
            throw ToolError("target does not exist: " + target);
        }
        // Every block carries at least the target's settings; a second file
        // right after a target means the command line lost its options.
        if (i >= args.size() || !is_option(args[i])) {
            throw ToolError("options expected after target " + target +
                            (i < args.size() ? ", found " + args[i] : ""));
        }
        while (i < args.size() && is_option(args[i])) {
            ++i;
        }
        command.targets.push_back(target);
    }
    return command;
}

}  // namespace er_ryn
