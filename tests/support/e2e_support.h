// Helpers for the end-to-end tests: a private copy of the staged install tree
// whose engine or experiment tool can be wrapped so that every call is
// recorded, and annotated fixture programs with user libraries.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace ryn_e2e {

// How a wrapped program behaves after recording its arguments.
struct WrapperOptions {
    std::string version_line;   // answer to "-V" instead of the real program's
    int exit_status = -1;       // exit with this status instead of running the program
    int delay_seconds = 0;      // pause before running the program

    static WrapperOptions answering_version(std::string line) {
        WrapperOptions options;
        options.version_line = std::move(line);
        return options;
    }
    static WrapperOptions exiting_with(int status) {
        WrapperOptions options;
        options.exit_status = status;
        return options;
    }
    static WrapperOptions delayed(int seconds) {
        WrapperOptions options;
        options.delay_seconds = seconds;
        return options;
    }
};

// One recorded call: the arguments after the program path, which of the
// "-option=/path" arguments named no existing file while the program ran, and
// the stack limit it ran with.
struct Call {
    std::vector<std::string> args;
    std::vector<std::string> missing_paths;  // "-opt=PATH" values that did not exist
    std::string stack_limit;                 // soft stack limit in KiB, as "ulimit -s" says
    bool has(const std::string& arg) const;
    // Index of the first argument equal to `arg`, or -1.
    int index_of(const std::string& arg) const;
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
    // records every call in a log directory, then behaves as `options` say.
    // Wrapping a wrapped program again replaces only the behaviour.
    void wrap(const std::string& path, const WrapperOptions& options = {});
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
    std::string program;             // absolute path
    std::vector<std::string> libs;   // absolute paths, in link order
};

// Builds `program_name` in `dir`, linked (with an absolute run path) against
// one annotated library per entry of `lib_names`. The program prints
// "<message>", one line "arg:<a>" per argument, "sum:<n>" from the libraries
// on standard output, and "err:<message>" on standard error.
Fixture build_fixture(const std::string& dir, const std::string& program_name,
                      const std::vector<std::string>& lib_names,
                      const std::string& message = "hello");

// The bucket of the driver's target table that the target `path` falls into
// while the run has at most 13 targets. Targets are walked in ascending
// bucket order, the most recently added first within one bucket.
uint32_t walk_bucket(const std::string& path);

// The environment of a driver run that keeps everything inside `work`: the
// cache directory, HOME (so no user configuration is read) and TMPDIR.
std::vector<std::string> hermetic_env(const std::string& work);

// Every regular file below `dir` whose name ends in `suffix`.
std::vector<std::string> files_ending_in(const std::string& dir, const std::string& suffix);

// The instrumentation records stored in a file's ".comment" section (the
// strings after the last compiler record are what the engine added).
std::vector<std::string> comment_strings(const std::string& path);

// The file's bytes and permission bits, for bit-for-bit comparisons.
struct FileImage {
    std::string bytes;
    unsigned mode = 0;
    bool operator==(const FileImage&) const = default;
};
FileImage image_of(const std::string& path);

}  // namespace ryn_e2e
