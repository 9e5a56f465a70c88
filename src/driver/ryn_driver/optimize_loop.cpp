// Optimize mode's final phase: one engine run per usable target, fed with
// the data its instrumented run recorded.
#include "driver/ryn_driver/phases.h"

namespace ryn {

const char* error_not_optimizable(const RynOptions& opts) {
    return opts.not_optimizable_is_error ? "-error_not_optimizable=on"
                                         : "-error_not_optimizable=off";
}

// The use phase in optimize mode is exactly this loop: every target's engine
// run writes to the optimised output, and missing data never skips a target.
void run_optimize_loop(const RynOptions& opts, const ToolArgs& tools, const InstallLocations& loc,
                       RunState& state, ExecUtil& util) {
    run_use_command(&tools.optimize_args, opts, loc, state, util);
}

}  // namespace ryn
