// Where an experiment is recorded and what is written there.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace er_ryn {

// Creates the experiment directory: `name` when given (an existing one is
// reused), else the first free test.N.er in the current directory. Returns
// its path.
std::string create_experiment_directory(const std::optional<std::string>& name);

// Writes `directory`/command: the arguments one per line.
void write_command_file(const std::string& directory, const std::vector<std::string>& args);

}  // namespace er_ryn
