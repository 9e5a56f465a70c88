// Whether SIGCHLD has a handler function installed, as opposed to the default
// or ignore. Such a handler may reap a child before the driver waits for it
// (or before pclose does), so a failed wait is then no error.
#pragma once

#include <signal.h>

namespace ryn {

inline bool sigchld_has_handler() noexcept {
    struct sigaction current {};
    sigaction(SIGCHLD, nullptr, &current);
    if (current.sa_flags & SA_SIGINFO) {
        return true;
    }
    return current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN;
}

}  // namespace ryn
