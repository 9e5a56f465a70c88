// Probe commands run without a shell, falling back to the shell only when
// the program itself cannot be started.
#include "driver/ryn_util/command_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <limits.h>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace ryn {

namespace {

std::string name_of(const std::string& entry) { return entry.substr(0, entry.find('=')); }

bool same_directory(const char* a, const char* b) {
    struct stat sa {
    }, sb{};
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// The shell keeps an inherited absolute PWD that names the working
// directory and otherwise exports the real one.
std::string shell_pwd() {
    const char* inherited = getenv("PWD");
    if (inherited && inherited[0] == '/' && same_directory(inherited, ".")) {
        return inherited;
    }
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) ? buffer : "";
}

std::vector<char*> pointers_to(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (std::string& s : strings) {
        pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

std::vector<std::string> probe_environment(const ProbeCommand& command) {
    std::vector<std::string> removed = command.unset_env;
    for (const std::string& entry : command.set_env) {
        removed.push_back(name_of(entry));
    }
    const std::string pwd = shell_pwd();
    if (!pwd.empty()) {
        removed.push_back("PWD");
    }
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry) {
        const std::string name = name_of(*entry);
        bool drop = false;
        for (const std::string& r : removed) {
            drop = drop || r == name;
        }
        if (!drop) {
            env.push_back(*entry);
        }
    }
    if (!pwd.empty()) {
        env.push_back("PWD=" + pwd);
    }
    env.insert(env.end(), command.set_env.begin(), command.set_env.end());
    return env;
}

CommandOutput::CommandOutput(const ProbeCommand& command) {
    // Everything the child needs is made before the fork.
    std::vector<std::string> args = command.args;
    std::vector<std::string> env = probe_environment(command);
    std::vector<std::string> shell_args = {"sh", "-c", command.shell_text};
    const std::vector<char*> argv = pointers_to(args);
    const std::vector<char*> envp = pointers_to(env);
    const std::vector<char*> shell_argv = pointers_to(shell_args);

    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        const int error = errno;
        ::close(ends[0]);
        ::close(ends[1]);
        errno = error;
        return;
    }
    if (pid == 0) {
        if (ends[1] == STDOUT_FILENO) {
            fcntl(STDOUT_FILENO, F_SETFD, 0);
        } else {
            dup2(ends[1], STDOUT_FILENO);
        }
        const int kept_err = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
        if (command.merge_stderr) {
            dup2(ends[1], STDERR_FILENO);
        }
        execve(argv[0], argv.data(), envp.data());
        if (kept_err >= 0) {
            dup2(kept_err, STDERR_FILENO);
        }
        execve("/bin/sh", shell_argv.data(), environ);
        _exit(127);
    }
    ::close(ends[1]);
    stream_ = fdopen(ends[0], "r");
    pid_ = pid;
    if (!stream_) {
        const int error = errno;
        ::close(ends[0]);
        close();
        errno = error;
    }
}

int CommandOutput::close() {
    if (stream_) {
        fclose(stream_);
        stream_ = nullptr;
    }
    if (pid_ < 0) {
        return -1;
    }
    int status = 0;
    pid_t reaped;
    do {
        reaped = waitpid(pid_, &status, 0);
    } while (reaped < 0 && errno == EINTR);
    pid_ = -1;
    return reaped < 0 ? -1 : status;
}

}  // namespace ryn
