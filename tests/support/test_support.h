// Helpers shared by the tests: temporary directories, ELF fixtures compiled at
// test time, and running programs with their output captured.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
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

// Sets (or, with unset, removes) an environment variable for the lifetime of
// the object, restoring the previous value afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();

private:
    std::string name_;
    bool had_value_;
    std::string previous_;
};

struct RunResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs argv[0] (searched along PATH when it has no '/') with the given extra
// environment assignments ("NAME=value") and optional working directory.
RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
              const std::string& cwd = "");
// A program started by `start`, still running until `finish` waits for it.
struct Started {
    int pid = -1;
    int out_fd = -1;
    int err_fd = -1;
};
// Starts argv like `run`, without waiting.
Started start(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
              const std::string& cwd = "");
// Waits for a started program and collects its output.
RunResult finish(Started& started);

// Runs a shell command line with /bin/sh -c.
RunResult run_shell(const std::string& command, const std::string& cwd = "");

// Waits for a child of this process: its exit status, or 128 + the signal
// that ended it.
int wait_for(pid_t pid);
// The id of a child that has already ended and been reaped.
pid_t dead_pid();

std::string read_file(const std::string& path);
// Sorted names of the entries of `dir` whose name contains `part`.
std::vector<std::string> names_in(const std::string& dir, const std::string& part);
// This host's name as the driver writes it into lock and temporary names.
std::string host_name();
void write_file(const std::string& path, const std::string& content);
bool exists(const std::string& path);

// The staged install tree.
std::string stage_dir();
std::string stage_bin(const std::string& name);  // stage/bin/<name>
std::string stage_lib(const std::string& name);  // stage/lib/compilers/<name>
std::string kalnote_object();                    // stage/lib/compilers/kalnote.o

// Compiles C source text with the system compiler into `output`. `flags` are
// added to the command line (e.g. "-shared -fPIC", "-no-pie", "-L dir -lfoo").
// Fails the current test (and returns false) when the compiler fails.
bool compile_c(const std::string& source, const std::string& output, const std::string& flags = "");
// Compiler flags as a test name: "-O2 -no-pie" -> "_O2__no_pie".
std::string flags_name(std::string flags);

// Source of a small program that prints `message` and exits 0.
std::string hello_source(const std::string& message);

// Every value of "key" in JSON text, in order: numbers ("key":123) and
// strings without escapes ("key":"text").
std::vector<uint64_t> json_numbers(const std::string& text, const std::string& key);
std::vector<std::string> json_texts(const std::string& text, const std::string& key);
// The innermost objects ({...} holding no braces) of JSON text, in order.
std::vector<std::string> json_objects(const std::string& text);
// Of the innermost objects holding both keys once: the text of `name` mapped
// to the number of `value`.
std::map<std::string, uint64_t> json_by(const std::string& text, const std::string& name,
                                        const std::string& value);

// The annotation section that marks a binary as prepared for instrumentation.
constexpr const char* k_annotate_asm =
    "__asm__(\".pushsection .annotate,\\\"\\\",@progbits\\n.byte 0\\n.popsection\");\n";

}  // namespace ryn_test
