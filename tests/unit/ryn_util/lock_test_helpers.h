// Processes and lock files for the lock tests: forked children (optionally
// without root's power to ignore file modes), one-shot pipes, and the names
// of the files a lock leaves on disk.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace ryn_test {

// Exit status, or 128 + signal number.
inline int wait_for(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct ChildResult {
    pid_t pid = -1;
    int status = -1;
    std::string err;  // what the child wrote on standard error
};

// Runs fn() in a child process that exits with its result. With unprivileged
// set and the test running as root, the child first becomes "nobody", so that
// file modes bind it as they bind a user.
template <class Fn>
ChildResult in_child(Fn&& fn, bool unprivileged = false) {
    char err_template[] = "/tmp/ryn_child_err_XXXXXX";
    const int err_fd = mkstemp(err_template);
    fchmod(err_fd, 0666);
    fflush(stderr);
    ChildResult result;
    result.pid = fork();
    if (result.pid == 0) {
        dup2(err_fd, STDERR_FILENO);
        constexpr uid_t nobody = 65534;
        if (unprivileged && geteuid() == 0 && (setgid(nobody) != 0 || setuid(nobody) != 0)) {
            _exit(125);
        }
        const int code = std::forward<Fn>(fn)();
        fflush(stderr);
        _exit(code);
    }
    close(err_fd);
    result.status = wait_for(result.pid);
    result.err = read_file(err_template);
    unlink(err_template);
    return result;
}

// One-shot signalling between a test and its children.
class Pipe {
public:
    Pipe() { EXPECT_EQ(pipe(fds_), 0); }
    ~Pipe() {
        close(fds_[0]);
        close(fds_[1]);
    }
    void notify() { EXPECT_EQ(write(fds_[1], "x", 1), 1); }
    bool wait() {
        char c;
        return read(fds_[0], &c, 1) == 1;
    }

private:
    int fds_[2];
};

// Names of the lock files below dir, sorted.
inline std::vector<std::string> lock_files_in(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        if (entry.path().filename().string().ends_with(".lock")) {
            names.push_back(entry.path().filename().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The link-lock process file of process pid for path.
inline std::string process_file(const std::string& path, pid_t pid) {
    char host[HOST_NAME_MAX + 1] = {};
    gethostname(host, sizeof host - 1);
    return path + "." + host + "." + std::to_string(pid) + ".link.lock";
}

// Whether the link lock on path is held by process pid: its lock file is a
// second name of that process's process file.
inline bool held_by(const std::string& path, pid_t pid) {
    struct stat lock, own;
    const std::string process = process_file(path, pid);
    return lstat((path + ".link.lock").c_str(), &lock) == 0 && lstat(process.c_str(), &own) == 0 &&
           lock.st_ino == own.st_ino && lock.st_dev == own.st_dev;
}

}  // namespace ryn_test
