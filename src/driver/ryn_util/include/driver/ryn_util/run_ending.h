// The one way a run ends when it does not end normally: a fatal report, a
// failed command, a usage error after set-up or a fatal signal. It stops the
// running child, puts back every user file the run replaced, removes the
// run's temporary files and locks, then exits (or dies of the signal).
#pragma once

#include <sys/types.h>

namespace ryn {

// When set, the ending calls `hook` with the exit status (128 + signal number
// for a signal) instead of ending the process; the hook must not return.
void set_run_end_hook(void (*hook)(int status));

// The child the driver is waiting for; the ending stops and reaps it.
void set_running_child(pid_t pid) noexcept;
void clear_running_child() noexcept;

// Ends the run from ordinary code with `status` (1 for every failure).
[[noreturn]] void end_run(int status);

// Ends at once with `status`, without restoring: for a failure raised while
// the ending itself restores and cleans up.
[[noreturn]] void end_run_now(int status);

// Ends at once with `status`, touching nothing: for running out of memory,
// when restoring and cleaning up would need memory themselves.
[[noreturn]] void abandon_run(int status);

// Installs the handler that ends the run on SIGINT, SIGILL, SIGFPE, SIGBUS,
// SIGSEGV, SIGTERM and SIGHUP.
void install_fatal_signal_handlers();

// Sends SIGTERM to the running child, waits a short grace, then SIGKILL, and
// reaps it. Async-signal-safe.
void stop_running_child() noexcept;

}  // namespace ryn
