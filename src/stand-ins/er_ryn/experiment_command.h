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

struct ExperimentCommand {
    std::optional<std::string> experiment_name;  // -o NAME.er
    std::vector<std::string> targets;            // the file that begins each block
};

// Checks args (the program path excluded); throws ToolError when malformed.
ExperimentCommand parse_experiment_command(const std::vector<std::string>& args);

}  // namespace er_ryn
