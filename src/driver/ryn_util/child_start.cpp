#include "driver/ryn_util/child_start.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <sys/wait.h>

#include <cerrno>

#include "driver/ryn_util/run_ending.h"
#include "driver/ryn_util/signals_blocked.h"
#include "driver/ryn_util/unique_fd.h"

extern char** environ;

namespace ryn {

namespace {

// Between fork and exec: only async-signal-safe calls.
[[noreturn]] void become_command(char* const* args, int out, int err, bool tracked, pid_t parent,
                                 int report_fd, const sigset_t& mask) {
    if (tracked) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        // The driver may have died before the request took effect.
        if (getppid() != parent) {
            _exit(127);
        }
    }
    // Handlers would run the driver's ending in the child; exec resets
    // handled signals anyway, the window before it must not see them.
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction current {};
        if (sigaction(sig, nullptr, &current) == 0 && current.sa_handler != SIG_IGN &&
            current.sa_handler != SIG_DFL) {
            signal(sig, SIG_DFL);
        }
    }
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    if ((out >= 0 && dup2(out, STDOUT_FILENO) < 0) || (err >= 0 && dup2(err, STDERR_FILENO) < 0)) {
        const int error = errno;
        ssize_t ignored = write(report_fd, &error, sizeof error);
        (void)ignored;
        _exit(127);
    }
    execve(args[0], args, environ);
    const int error = errno;
    ssize_t ignored = write(report_fd, &error, sizeof error);
    (void)ignored;
    _exit(127);
}

}  // namespace

ChildStart start_child(char* const* args, int out, int err, bool tracked) {
    ChildStart start;
    // The child reports a failed exec through a pipe that exec closes.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        start.error = errno;
        return start;
    }
    UniqueFd read_end(fds[0]);
    UniqueFd write_end(fds[1]);
    const pid_t parent = getpid();
    {
        const SignalsBlocked blocked;
        start.pid = fork();
        if (start.pid == 0) {
            become_command(args, out, err, tracked, parent, write_end.get(), blocked.previous());
        }
        if (start.pid < 0) {
            start.error = errno;
            return start;
        }
        if (tracked) {
            set_running_child(start.pid);
        }
    }
    write_end.reset();
    int child_error = 0;
    ssize_t n;
    do {
        n = read(read_end.get(), &child_error, sizeof child_error);
    } while (n < 0 && errno == EINTR);
    if (n == sizeof child_error) {
        // The child never ran the command and has ended: reap it here.
        if (tracked) {
            clear_running_child();
        }
        int status;
        while (waitpid(start.pid, &status, 0) < 0 && errno == EINTR) {
        }
        start.error = child_error;
        start.pid = -1;
    }
    return start;
}

}  // namespace ryn
