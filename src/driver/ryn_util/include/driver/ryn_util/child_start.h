// Starting a command as a child of the driver that is known to the run's
// ending before any signal can be handled, and that dies with the driver.
#pragma once

#include <sys/types.h>

namespace ryn {

struct ChildStart {
    pid_t pid = -1;
    int error = 0;  // errno of a failed start (fork or exec), else 0
};

// Runs args[0] (no search along PATH) with the driver's environment; an
// `out`/`err` of 0 or more becomes the child's descriptor 1/2. With
// `tracked`, the child is the running child of the run's ending and is
// killed when the driver dies.
ChildStart start_child(char* const* args, int out, int err, bool tracked);

}  // namespace ryn
