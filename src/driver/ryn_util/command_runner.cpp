// Running external commands: directly (redirections, stack limit,
// interrupts), or through the shell with the audit library dropped.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/ryn_util/child_start.h"
#include "driver/ryn_util/run_ending.h"
#include "driver/ryn_util/sigchld_handler.h"
#include "i18n/driver_texts.h"
#include "ryn/exec_util.h"

namespace ryn {

namespace {

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
        util.fatal(errno, get_msg(GENERAL_ERROR), driver_text(DriverText::POPEN_FAILED));
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
                               driver_text(DriverText::GETRLIMIT_FAILED));
            return;
        }
        active_ = true;
        struct rlimit lowered = previous_;
        lowered.rlim_cur = limit;
        if (setrlimit(RLIMIT_STACK, &lowered) != 0) {
            util_.report_error(MSG_WARNING, errno, get_msg(GENERAL_WARNING),
                               driver_text(DriverText::SETRLIMIT_FAILED));
        }
    }
    ~StackLimitForChild() {
        if (active_ && setrlimit(RLIMIT_STACK, &previous_) != 0) {
            util_.report_error(MSG_WARNING, errno, get_msg(GENERAL_WARNING),
                               driver_text(DriverText::SETRLIMIT_FAILED));
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

bool ExecUtil::run_command(const ArgCache* cmd, const RunOptions& options) {
    const auto [no_wait, tolerate_failure, ignore_sigint, stdout_fd, stderr_fd, stack_limit,
                unset_ldaudit] = options;
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

    ryn::ChildStart start;
    {
        const StackLimitForChild limit(*this, stack_limit);
        // A child left running would outlive the driver's lock and its
        // clean-up; one the driver does not wait for is the caller's to end.
        start = ryn::start_child(cmd->args, stdout_fd, stderr_fd, !no_wait);
    }
    const pid_t pid = start.pid;
    const bool custom_sigchld = ryn::sigchld_has_handler();
    if (start.error != 0) {
        fatal(start.error, get_msg(RYN_CANNOT_EXECUTE), cmd->args[0]);
    }
    running_program_ = cmd->args[0];
    running_target_ = cmd->count > 1 ? cmd->args[cmd->count - 1] : "";

    struct sigaction previous_sigint {};
    if (ignore_sigint) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGINT, &ignore, &previous_sigint);
    }
    if (no_wait) {
        ryn::clear_running_child();
        return true;
    }

    // Wait for the end without reaping, so that the child's id stays its own
    // until the ending no longer knows it: a signal in between must never
    // send a kill to a reused id.
    siginfo_t ended{};
    while (waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOWAIT) == -1 &&
           errno == EINTR) {
    }
    ryn::clear_running_child();
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
        // The command's own diagnostics may say nothing at all (a crash), so
        // name the program, what it worked on and how it ended.
        std::string how;
        if (WIFSIGNALED(status)) {
            const char* name = sigabbrev_np(WTERMSIG(status));
            how = name ? std::string("killed by signal SIG") + name
                       : "killed by signal " + std::to_string(WTERMSIG(status));
        } else {
            how = "exit status " + std::to_string(WEXITSTATUS(status));
        }
        report_error(MSG_ERROR, 0, driver_text(DriverText::TOOL_FAILED), running_program_.c_str(),
                     running_target_.c_str(), how.c_str());
        return false;  // not reached: an error report ends the run
    }
    if (!tolerate_failure && !custom_sigchld) {
        fatal(errno, "%s", get_msg(MORPHEL_NO_CHLD));
    }
    return false;
}

}  // namespace ryn
