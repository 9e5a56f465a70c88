#include "tool_run.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "driver/ryn_util/unique_fd.h"
#include "engine_error.h"

extern char** environ;

namespace morphel {
namespace {

// Closes a posix_spawn_file_actions_t on every way out.
class SpawnActions {
public:
    SpawnActions() { posix_spawn_file_actions_init(&actions_); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

std::string command_text(const std::vector<std::string>& argv) {
    std::string text;
    for (const std::string& arg : argv) {
        text += (text.empty() ? "" : " ") + arg;
    }
    return text;
}

}  // namespace

void run_tool(const std::vector<std::string>& argv) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        fail_with_errno("cannot create a pipe", errno);
    }
    ryn::UniqueFd read_end(pipe_fds[0]);
    ryn::UniqueFd write_end(pipe_fds[1]);

    SpawnActions actions;
    posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(actions.get(), write_end.get(), STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    const int err = posix_spawn(&pid, args[0], actions.get(), nullptr, args.data(), environ);
    if (err != 0) {
        fail_with_errno("cannot run " + argv[0], err);
    }
    write_end.reset();

    std::string said;
    char buffer[512];
    for (;;) {
        const ssize_t n = read(read_end.get(), buffer, sizeof buffer);
        if (n > 0) {
            said.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            fail_with_errno("cannot wait for " + argv[0], errno);
        }
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        while (!said.empty() && said.back() == '\n') {
            said.pop_back();
        }
        throw EngineError(command_text(argv) + " failed" + (said.empty() ? "" : ": " + said));
    }
}

}  // namespace morphel
