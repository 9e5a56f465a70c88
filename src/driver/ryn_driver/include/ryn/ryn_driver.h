// The driver object: the whole run happens inside its constructor.
#pragma once

#include <memory>

#include "ryn/driver_parts.h"
#include "ryn/ryn_entry.h"
#include "ryn/ryn_exec_util.h"

namespace ryn {

// Rows of the general front end's "-a" help list, each ending in "\n".
extern const char* const ryn_help_text[12];

class RynDriver {
public:
    // Performs the whole run.
    RynDriver(const char* front_end_name, int argc, char** argv, int lav_version);
    // Only initialises the parts, the utility object and the front end
    // (steps 1 to 5 of the run); tests then drive single stages.
    struct PrepareOnly {};
    RynDriver(const char* front_end_name, int lav_version, PrepareOnly);
    ~RynDriver();
    RynDriver(const RynDriver&) = delete;
    RynDriver& operator=(const RynDriver&) = delete;

    // The parts of the run state, for driving single stages.
    RynOptions& options() { return options_; }
    InstallLocations& locations() { return locations_; }
    ToolArgs& tool_args() { return tool_args_; }
    RunState& state() { return state_; }
    RynExecUtil& util() { return *util_; }

private:
    void prepare(const char* front_end_name);
    // Run sequence (steps 6 to 19).
    void run(int argc, char** argv);
    // Steps 14 to 18, once the targets are known to be usable.
    void run_phases();

    RynOptions options_;                 // the command line, settled once after parsing
    InstallLocations locations_;         // where the driver and its tools are
    ToolArgs tool_args_;                 // lists handed to the engine and the experiment tool
    RunState state_;                     // cache, targets, configuration and streams
    std::unique_ptr<RynExecUtil> util_;  // reporting, commands, files; also in _util
};

}  // namespace ryn
