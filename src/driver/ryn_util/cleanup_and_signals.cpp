// End-of-run clean-up and the fatal-signal handlers.
#include <signal.h>
#include <unistd.h>

#include "driver/ryn_util/run_ending.h"
#include "ryn/exec_util.h"

namespace ryn {

void ExecUtil::cleanup() {
    filelock_cleanup();
    // Temporary files stay for inspection when tracing at the highest level.
    if (very_verbose) {
        return;
    }
    for (const char* path : temp_files) {
        unlink(path);
    }
}

void ExecUtil::setup_handler() {
    // Every fatal signal ends the run the way a fatal report does: the child
    // stopped, replaced files put back, temporary files and locks removed.
    ryn::install_fatal_signal_handlers();
}

}  // namespace ryn
