#include "support/test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <utility>

#include <gtest/gtest.h>

#include "driver/ryn_util/lock_support.h"

namespace ryn_test {

TempDir::TempDir() {
    char pattern[] = "/tmp/ryn_test_XXXXXX";
    // Resolved, so that paths compare equal to what realpath reports.
    if (const char* made = mkdtemp(pattern)) {
        path_ = std::filesystem::canonical(made).string();
    } else {
        ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    }
}

TempDir::~TempDir() {
    // Undo read-only modes set by tests so that removal succeeds.
    std::error_code ignored;
    for (std::filesystem::recursive_directory_iterator it(path_, ignored), end; it != end;
         it.increment(ignored)) {
        if (it->is_directory(ignored)) {
            chmod(it->path().c_str(), 0755);
        }
    }
    std::filesystem::remove_all(path_, ignored);
}

ScopedChdir::ScopedChdir(const std::string& dir)
    : previous_(std::filesystem::current_path().string()) {
    if (chdir(dir.c_str()) != 0) {
        ADD_FAILURE() << "chdir " << dir << ": " << strerror(errno);
    }
}

ScopedChdir::~ScopedChdir() {
    if (chdir(previous_.c_str()) != 0) {
        ADD_FAILURE() << "chdir back to " << previous_;
    }
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) {
        previous_ = old;
    }
    value ? setenv(name, value, 1) : unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
    previous_ ? setenv(name_.c_str(), previous_->c_str(), 1) : unsetenv(name_.c_str());
}

namespace {

// Everything written to `fd` so far, read afresh from its start; closes it.
std::string slurp(int fd) {
    const std::string text = read_file("/proc/self/fd/" + std::to_string(fd));
    close(fd);
    return text;
}

}  // namespace

Started start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
              const std::string& cwd) {
    Started started;
    // Output goes to unlinked temporary files rather than pipes, so that a
    // chatty child can never block on a full pipe while we wait for it.
    for (int* fd : {&started.out_fd, &started.err_fd}) {
        char name[] = "/tmp/ryn_test_outXXXXXX";
        *fd = mkstemp(name);
        unlink(name);
    }

    started.pid = fork();
    if (started.pid == 0) {
        dup2(started.out_fd, 1);
        dup2(started.err_fd, 2);
        dup2(open("/dev/null", O_RDONLY), 0);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) {
            _exit(126);
        }
        for (const std::string& assignment : env) {
            putenv(strdup(assignment.c_str()));
        }
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return started;
}

RunResult finish(Started& started) {
    const int status = wait_for(std::exchange(started.pid, -1));
    return {status, slurp(started.out_fd), slurp(started.err_fd)};
}

RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
              const std::string& cwd) {
    Started started = start(argv, env, cwd);
    return finish(started);
}

RunResult run_shell(const std::string& command, const std::string& cwd) {
    return run({"/bin/sh", "-c", command}, {}, cwd);
}

int wait_for(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

pid_t dead_pid() {
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(0);
    }
    wait_for(pid);
    return pid;
}

std::vector<std::string> names_in(const std::string& dir, const std::string& part) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.find(part) != std::string::npos) {
            names.push_back(name);
        }
    }
    std::ranges::sort(names);
    return names;
}

std::string host_name() {
    char host[ryn::k_host_name_max + 1];
    ryn::read_host_name(host);
    return host;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string stage_dir() { return RYN_STAGE_DIR; }
std::string stage_bin(const std::string& name) { return stage_dir() + "/bin/" + name; }
std::string stage_lib(const std::string& name) { return stage_dir() + "/lib/compilers/" + name; }
std::string kalnote_object() { return stage_lib("kalnote.o"); }

std::string flags_name(std::string flags) {
    std::ranges::replace_if(
        flags, [](char c) { return std::isalnum(static_cast<unsigned char>(c)) == 0; }, '_');
    return flags;
}

bool compile_c(const std::string& source, const std::string& output, const std::string& flags) {
    const std::string source_path = output + ".c";
    write_file(source_path, source);
    const std::string command =
        std::string(RYN_TEST_CC) + " -g -O0 -o '" + output + "' '" + source_path + "' " + flags;
    const RunResult result = run_shell(command);
    if (result.status != 0) {
        ADD_FAILURE() << "compiling " << output << " failed:\n" << command << "\n" << result.err;
        return false;
    }
    return true;
}

std::string hello_source(const std::string& message) {
    return "#include <stdio.h>\nint main(void) { puts(\"" + message + "\"); return 0; }\n";
}

namespace {

// The first group of every match of `pattern` in `text`.
std::vector<std::string> first_groups(const std::string& text, const std::regex& pattern) {
    std::vector<std::string> found;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern);
         it != std::sregex_iterator(); ++it) {
        found.push_back((*it)[1]);
    }
    return found;
}

}  // namespace

std::vector<uint64_t> json_numbers(const std::string& text, const std::string& key) {
    std::vector<uint64_t> numbers;
    for (const std::string& digits : first_groups(text, std::regex("\"" + key + "\":([0-9]+)"))) {
        numbers.push_back(std::stoull(digits));
    }
    return numbers;
}

std::vector<std::string> json_texts(const std::string& text, const std::string& key) {
    return first_groups(text, std::regex("\"" + key + "\":\"([^\"]*)\""));
}

std::vector<std::string> json_objects(const std::string& text) {
    return first_groups(text, std::regex("(\\{[^{}]*\\})"));
}

std::map<std::string, uint64_t> json_by(const std::string& text, const std::string& name,
                                        const std::string& value) {
    std::map<std::string, uint64_t> found;
    for (const std::string& object : json_objects(text)) {
        const std::vector<std::string> names = json_texts(object, name);
        const std::vector<uint64_t> values = json_numbers(object, value);
        if (names.size() == 1 && values.size() == 1) {
            found[names[0]] = values[0];
        }
    }
    return found;
}

}  // namespace ryn_test
