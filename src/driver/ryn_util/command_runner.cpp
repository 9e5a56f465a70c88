// Running external commands: directly with posix_spawn (redirections, stack
// limit, interrupts), or through the shell with the audit library dropped.
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "driver/ryn_util/sigchld_handler.h"
#include "ryn/exec_util.h"

extern char** environ;

namespace {

class SpawnFileActions {
public:
    SpawnFileActions() { posix_spawn_file_actions_init(&actions_); }
    ~SpawnFileActions() { posix_spawn_file_actions_destroy(&actions_); }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;
    // A descriptor below 0 means the child keeps the driver's own.
    void redirect(int from, int onto) {
        if (from >= 0) {
            posix_spawn_file_actions_adddup2(&actions_, from, onto);
        }
    }
    const posix_spawn_file_actions_t* get() const { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

bool run_in_shell(ExecUtil& util, const ArgCache& cmd) {
    const std::string line = cmd.command_with_unset_ldaudit();
    FILE* stream = popen(line.c_str(), "r");
    if (!stream) {
        util.fatal(0, get_msg(RYN_CANNOT_EXECUTE), "popen");
    }
    char buffer[1024];
    while (fgets(buffer, sizeof buffer, stream)) {
    }
    if (pclose(stream) == -1) {
        util.fatal(errno, get_msg(GENERAL_ERROR), "Problems with popen/pclose");
    }
    return true;
}

// The child inherits the limit in force at the spawn; the driver keeps its own.
class StackLimitForChild {
public:
    StackLimitForChild(ExecUtil& util, unsigned long limit) : util_(util) {
        if (limit == 0) {
            return;
        }
        if (getrlimit(RLIMIT_STACK, &previous_) != 0) {
            util_.report_error(MSG_WARNING, errno, get_msg(GENERAL_WARNING),
                               "error calling getrlimit()");
            return;
        }
        active_ = true;
        struct rlimit lowered = previous_;
        lowered.rlim_cur = limit;
        if (setrlimit(RLIMIT_STACK, &lowered) != 0) {
            util_.report_error(MSG_WARNING, errno, get_msg(GENERAL_WARNING),
                               "error calling setrlimit()");
        }
    }
    ~StackLimitForChild() {
        if (active_ && setrlimit(RLIMIT_STACK, &previous_) != 0) {
            util_.report_error(MSG_WARNING, errno, get_msg(GENERAL_WARNING),
                               "error calling setrlimit()");
        }
    }
    StackLimitForChild(const StackLimitForChild&) = delete;
    StackLimitForChild& operator=(const StackLimitForChild&) = delete;

private:
    ExecUtil& util_;
    struct rlimit previous_ {};
    bool active_ = false;
};

}  // namespace

bool ExecUtil::run_command(const ArgCache* cmd, bool no_wait, bool tolerate_failure,
                           bool ignore_sigint, int stdout_fd, int stderr_fd,
                           unsigned long stack_limit, bool unset_ldaudit) {
    if (dry_run) {
        if (verbose) {
            cmd->print(stderr, true);
        }
        return true;
    }
    if (very_verbose) {
        cmd->print(stderr, true);
    }
    if (unset_ldaudit) {
        return run_in_shell(*this, *cmd);
    }

    SpawnFileActions actions;
    actions.redirect(stdout_fd, STDOUT_FILENO);
    actions.redirect(stderr_fd, STDERR_FILENO);

    pid_t pid = -1;
    int spawn_error;
    {
        const StackLimitForChild limit(*this, stack_limit);
        spawn_error = posix_spawn(&pid, cmd->args[0], actions.get(), nullptr, cmd->args, environ);
    }
    const bool custom_sigchld = ryn::sigchld_has_handler();
    if (spawn_error != 0) {
        fatal(spawn_error, get_msg(RYN_CANNOT_EXECUTE), cmd->args[0]);
    }

    struct sigaction previous_sigint {};
    if (ignore_sigint) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGINT, &ignore, &previous_sigint);
    }
    if (no_wait) {
        return true;
    }

    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(pid, &status, 0);
    } while (waited == -1 && errno == EINTR);
    const int wait_errno = errno;
    if (ignore_sigint) {
        sigaction(SIGINT, &previous_sigint, nullptr);
    }
    errno = wait_errno;
    return check_wait_status(waited, status, tolerate_failure, custom_sigchld);
}

bool ExecUtil::check_wait_status(long wait_result, int status, bool tolerate_failure,
                                 bool custom_sigchld) {
    if (wait_result != -1) {
        // A normal exit with code 0: both the low byte and the next are 0.
        if ((status & 0xffff) == 0) {
            return true;
        }
        if (tolerate_failure) {
            return false;
        }
        // The command has said what went wrong on its own standard error.
        cleanup();
        exit(1);
    }
    if (!tolerate_failure && !custom_sigchld) {
        fatal(errno, "%s", get_msg(MORPHEL_NO_CHLD));
    }
    return false;
}
