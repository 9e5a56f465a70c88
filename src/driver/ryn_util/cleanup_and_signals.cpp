// End-of-run clean-up and the fatal-signal handlers.
#include <signal.h>
#include <unistd.h>

#include "ryn/exec_util.h"

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
    // SIGKILL cannot be caught; the system refuses that request and we let it.
    static constexpr int k_fatal_signals[] = {SIGINT,  SIGILL,  SIGFPE,  SIGKILL,
                                              SIGBUS,  SIGSEGV, SIGTERM, SIGHUP};
    struct sigaction action {};
    action.sa_handler = __filelock_signal_handler__;
    sigemptyset(&action.sa_mask);
    // The handler re-raises the signal, which must then take its default action.
    action.sa_flags = SA_RESETHAND;
    for (const int sig : k_fatal_signals) {
        sigaction(sig, &action, nullptr);
    }
}
