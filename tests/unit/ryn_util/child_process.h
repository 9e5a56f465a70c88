// Running a piece of a test in a forked child, optionally without root's
// power to ignore file modes, with its standard error kept for inspection.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "support/test_support.h"

namespace ryn_test {

struct ChildResult {
    pid_t pid = -1;
    int status = -1;   // exit status, or 128 + signal number
    std::string err;   // what the child wrote on standard error
};

constexpr uid_t k_nobody = 65534;

// Runs fn() in a child process and exits with its result. With unprivileged
// set and the test running as root, the child first becomes "nobody", so that
// directory and file modes bind it as they bind a user.
template <class Fn>
ChildResult in_child(Fn&& fn, bool unprivileged = false) {
    char err_template[] = "/tmp/ryn_child_err_XXXXXX";
    const int err_fd = mkstemp(err_template);
    const std::string err_path = err_template;
    fchmod(err_fd, 0666);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(err_fd, STDERR_FILENO);
        if (unprivileged && geteuid() == 0 &&
            (setgid(k_nobody) != 0 || setuid(k_nobody) != 0)) {
            _exit(125);
        }
        const int code = std::forward<Fn>(fn)();
        fflush(stderr);
        _exit(code);
    }
    close(err_fd);
    ChildResult result;
    result.pid = pid;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid) {
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    result.err = read_file(err_path);
    unlink(err_path.c_str());
    return result;
}

}  // namespace ryn_test
