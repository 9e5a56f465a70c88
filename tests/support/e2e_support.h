// Helpers for the end-to-end tests: a private install tree whose programs can
// be wrapped to record every call, and annotated fixture programs.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace ryn_e2e {

// One recorded call of a wrapped program.
struct Call {
    std::vector<std::string> args;           // after the program path
    std::vector<std::string> missing_paths;  // of "-option=/path" args, while it ran
    std::string stack_limit;                 // soft limit in KiB, as "ulimit -s" says
    // The first argument beginning with `prefix`, or "".
    std::string with_prefix(const std::string& prefix) const;
    std::string last() const { return args.empty() ? "" : args.back(); }
};

// A copy of the staged install tree under a temporary prefix.
class InstallCopy {
public:
    InstallCopy();
    const std::string& prefix() const { return root_.path(); }
    std::string bin(const std::string& name) const { return prefix() + "/bin/" + name; }
    std::string lib(const std::string& name) const { return prefix() + "/lib/compilers/" + name; }
    std::string engine() const { return lib("morphel"); }
    std::string experiment_tool() const { return prefix() + "/lib/analyzer/er_ryn"; }

    // Replaces the program at `path` by a script that records every call, runs
    // the shell commands `behaviour` (which may exit), then the program.
    void wrap(const std::string& path, const std::string& behaviour = "");
    // Calls recorded for the wrapped program at `path`, oldest first.
    std::vector<Call> calls(const std::string& path) const;
    // The recorded engine calls, version queries left out.
    std::vector<Call> engine_runs() const;
    void clear_calls(const std::string& path) const;

private:
    std::string log_dir(const std::string& path) const;
    ryn_test::TempDir root_;
};

// An annotated program and the annotated user libraries it is linked with.
struct Fixture {
    std::string dir;
    std::string program;            // absolute path
    std::vector<std::string> libs;  // absolute paths, in link order
};

// Builds `program_name` in `dir` with one library per `lib_names` entry. It prints
// "hello", "arg:<a>" per argument, "sum:<n>" from the libraries, "err:hello" on stderr.
Fixture build_fixture(const std::string& dir, const std::string& program_name,
                      const std::vector<std::string>& lib_names);

// A library name in `dir` that a run walks before the program `program`.
std::string library_walked_before(const std::string& dir, const std::string& program);

// An environment keeping a run's cache, HOME (no user configuration) and TMPDIR in `work`.
std::vector<std::string> hermetic_env(const std::string& work);

// A parameterised suite whose cases share one work directory and environment.
template <typename Param>
class HermeticSuite : public ::testing::TestWithParam<Param> {
protected:
    static void SetUpTestSuite() {
        work = std::make_unique<ryn_test::TempDir>();
        env = hermetic_env(work->path());
    }
    static void TearDownTestSuite() { work.reset(); }

    static inline std::unique_ptr<ryn_test::TempDir> work;
    static inline std::vector<std::string> env;
};

// Whether `text` holds `part`; the message shows both.
::testing::AssertionResult holds(const std::string& text, const std::string& part);

// Every regular file below `dir` whose name ends in `suffix`.
std::vector<std::string> files_ending_in(const std::string& dir, const std::string& suffix);

// Driver runs in a private install tree with a recording engine, inside `work`.
class DriverTest : public ::testing::Test {
protected:
    DriverTest();
    // Runs the front end in `work` through `launch_prefix`, earlier engine calls forgotten.
    ryn_test::RunResult run_front_end(const std::string& front_end, std::vector<std::string> args,
                                      const std::vector<std::string>& extra_env = {});
    ryn_test::RunResult ryn(std::vector<std::string> args) { return run_front_end("ryn", args); }
    // The one cached copy of the file named `name`.
    std::string cached_copy(const std::string& name);

    InstallCopy install;
    ryn_test::TempDir work;
    std::vector<std::string> env;
    Fixture fixture;
    std::vector<std::string> launch_prefix;
};

}  // namespace ryn_e2e
