// Runs a helper program of the engine (the dynamic-section editor).
#pragma once

#include <string>
#include <vector>

namespace morphel {

// Starts argv[0] (a full path) with the engine's environment, waits for it
// and throws EngineError naming the command and what it said on standard
// error when it does not exit with status 0. Its standard output is dropped.
void run_tool(const std::vector<std::string>& argv);

}  // namespace morphel
