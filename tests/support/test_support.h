// Helpers shared by the tests: temporary directories, programs compiled at
// test time, and running programs with their output captured.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ryn_test {

// A fresh directory under /tmp, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Changes the working directory for the lifetime of the object.
class ScopedChdir {
public:
    explicit ScopedChdir(const std::string& dir);
    ~ScopedChdir();

private:
    std::string previous_;
};

// Sets (or, with nullptr, removes) an environment variable while it lives.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();

private:
    std::string name_;
    std::optional<std::string> previous_;
};

struct RunResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// Runs argv[0] (searched along PATH) with extra environment assignments
// ("NAME=value") in the working directory `cwd` (or this one).
RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
              const std::string& cwd = "");
struct Started {
    int pid = -1;
    int out_fd = -1;
    int err_fd = -1;
};
// Starts argv like `run`; `finish` waits for it and collects its output.
Started start(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
              const std::string& cwd = "");
RunResult finish(Started& started);

RunResult run_shell(const std::string& command, const std::string& cwd = "");

// Waits for a child: its status as RunResult::status tells it.
int wait_for(pid_t pid);
// The id of a child that has already ended and been reaped.
pid_t dead_pid();

std::string read_file(const std::string& path);
// Sorted names of the entries of `dir` whose name contains `part`.
std::vector<std::string> names_in(const std::string& dir, const std::string& part);
// This host's name as lock and temporary names carry it.
std::string host_name();
void write_file(const std::string& path, const std::string& content);
bool exists(const std::string& path);

std::string stage_dir();                         // the staged install tree
std::string stage_bin(const std::string& name);  // stage/bin/<name>
std::string stage_lib(const std::string& name);  // stage/lib/compilers/<name>
std::string kalnote_object();                    // stage/lib/compilers/kalnote.o

// Compiles C source text into `output` with extra `flags` ("-shared -fPIC");
// false, and the current test failed, when the compiler fails.
bool compile_c(const std::string& source, const std::string& output, const std::string& flags = "");
// Compiler flags as a test name: "-O2 -no-pie" -> "_O2__no_pie".
std::string flags_name(std::string flags);

// Source of a small program that prints `message` and exits 0.
std::string hello_source(const std::string& message);

// Every value of "key" in JSON text, in order: numbers, and strings without escapes.
std::vector<uint64_t> json_numbers(const std::string& text, const std::string& key);
std::vector<std::string> json_texts(const std::string& text, const std::string& key);
// The innermost objects ({...} holding no braces) of JSON text, in order.
std::vector<std::string> json_objects(const std::string& text);
// Of the innermost objects holding both keys once: text of `name` -> number of `value`.
std::map<std::string, uint64_t> json_by(const std::string& text, const std::string& name,
                                        const std::string& value);

// The annotation section that marks a binary as prepared for instrumentation.
constexpr const char* k_annotate_asm =
    "__asm__(\".pushsection .annotate,\\\"\\\",@progbits\\n.byte 0\\n.popsection\");\n";

}  // namespace ryn_test
