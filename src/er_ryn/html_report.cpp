#include "html_report.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace er_ryn {
namespace {

constexpr const char* k_genhtml = "genhtml";

bool on_path(const std::string& program) {
    const char* path = getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        if (access(((dir.empty() ? "." : dir) + "/" + program).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

HtmlResult write_html_report(const std::string& tracefile, const std::string& html_dir,
                             const std::string& log_file) {
    if (!on_path(k_genhtml)) {
        return HtmlResult::not_installed;
    }
    // A source that moved since the build leaves its page out rather than
    // losing the whole report; C++ functions are listed by their source names.
    std::vector<std::string> args = {k_genhtml, "--quiet",        "--ignore-errors",
                                     "source",  "--demangle-cpp", "--output-directory",
                                     html_dir,  tracefile};
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log_file.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, k_genhtml, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return HtmlResult::failed;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return HtmlResult::failed;
        }
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? HtmlResult::written : HtmlResult::failed;
}

}  // namespace er_ryn
