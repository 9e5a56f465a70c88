// Helpers for the end-to-end tests: a private copy of the staged install tree
// whose engine or experiment tool can be wrapped so that every call is
// recorded, and annotated fixture programs with user libraries.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace ryn_e2e {

// One recorded call: the arguments after the program path, which of the
// "-option=/path" arguments named no existing file while the program ran, and
// the stack limit it ran with.
struct Call {
    std::vector<std::string> args;
    std::vector<std::string> missing_paths;
    std::string stack_limit;  // soft limit in KiB, as "ulimit -s" says
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

    // Replaces the program at `path` (inside this copy) by a script that
    // records every call in a log directory, runs the shell commands
    // `behaviour` (which may exit instead of going on), then the program.
    // Wrapping a wrapped program again replaces only the behaviour.
    void wrap(const std::string& path, const std::string& behaviour = "");
    // Calls recorded for the wrapped program at `path`, oldest first.
    std::vector<Call> calls(const std::string& path) const;
    // The recorded engine calls that instrument or analyse (version queries
    // left out).
    std::vector<Call> engine_runs() const;
    // Forgets the calls recorded so far.
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

// Builds `program_name` in `dir`, linked (with an absolute run path) against
// one annotated library per entry of `lib_names`. The program prints "hello",
// one line "arg:<a>" per argument and "sum:<n>" from the libraries on
// standard output, and "err:hello" on standard error.
Fixture build_fixture(const std::string& dir, const std::string& program_name,
                      const std::vector<std::string>& lib_names);

// A name for a library of `dir` that a run which adds it after the program
// `program` of `dir` walks before the program.
std::string library_walked_before(const std::string& dir, const std::string& program);

// The environment of a driver run that keeps everything inside `work`: the
// cache directory, HOME (so no user configuration is read) and TMPDIR.
std::vector<std::string> hermetic_env(const std::string& work);

// A parameterised suite whose cases share one work directory and its
// hermetic environment, made once for the suite.
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

// Every regular file below `dir` whose name ends in `suffix`.
std::vector<std::string> files_ending_in(const std::string& dir, const std::string& suffix);

// A driver run in a private install tree with a recording engine, inside the
// directory `work` and its hermetic environment. Subclasses build `fixture`.
class DriverTest : public ::testing::Test {
protected:
    DriverTest();
    // Runs the front end in `work` once earlier engine calls are forgotten,
    // started through `launch_prefix` when that is set.
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
