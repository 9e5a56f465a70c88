// Optimize mode's final phase: one engine run per usable target, fed with
// the data its instrumented run recorded.
#include "ryn/ryn_driver.h"

const char* RynDriver::error_not_optimizable() const {
    return not_optimizable_is_error ? "-error_not_optimizable=on" : "-error_not_optimizable=off";
}

// The use phase in optimize mode is exactly this loop: every target's engine
// run writes to the optimised output, and missing data never skips a target.
void RynDriver::run_optimize_loop() { run_use_command(&optimize_args); }
