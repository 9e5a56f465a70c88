// The experiment tool's command line: collector settings, then one block per
// target, each an existing file followed by its options.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace er_ryn {

// A malformed command line or a failure to record the experiment.
class ToolError : public std::runtime_error {
public:
    explicit ToolError(const std::string& message) : std::runtime_error(message) {}
};

struct TargetBlock {
    std::string file;                         // the uninstrumented file
    std::vector<std::string> options;         // everything up to the next file
    std::optional<std::string> use_location;  // -xkalfix=use:
};

struct ExperimentCommand {
    std::optional<std::string> experiment_name;  // -o NAME.er
    bool verbose = false;                        // -v among the collector settings
    std::vector<TargetBlock> targets;
    // Settings that hold for the whole experiment wherever they appear.
    std::vector<std::string> requests;               // -er:..., in first-seen order
    std::vector<std::string> function_lists;         // -blacklist=
    std::vector<std::string> function_prefix_lists;  // -blacklist_pfx=
    std::vector<std::string> ignored_functions;      // -fignore=
    std::optional<std::string> analytics_file;       // -zentor_analytics_file=
};

// Checks args (the program path excluded); throws ToolError when malformed.
ExperimentCommand parse_experiment_command(const std::vector<std::string>& args);

}  // namespace er_ryn
