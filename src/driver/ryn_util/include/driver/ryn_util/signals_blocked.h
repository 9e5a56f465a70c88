// Holds off every signal that can be blocked for the lifetime of the object,
// so that no handler of the driver runs while a step that a handler could
// observe half-done is in progress.
#pragma once

#include <signal.h>

namespace ryn {

class SignalsBlocked {
public:
    SignalsBlocked() {
        sigset_t all;
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, &previous_);
    }
    ~SignalsBlocked() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;
    // The mask in force before; a child restores it right before exec.
    const sigset_t& previous() const { return previous_; }

private:
    sigset_t previous_;
};

}  // namespace ryn
