// Command lines handed to the driver's parsers, and a driver ready for set-up
// in a private world: its own home, current and cache directories, the staged
// audit and runtime libraries, and a fixture program compiled on demand.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "driver/ryn_driver/phases.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "support/test_support.h"

// A non-zero link-auditor version keeps the test's own signal dispositions.
constexpr int k_known_lav = 4;

// Keep it alive while the driver reads it; the pointers lead into `strings`.
struct Argv {
    explicit Argv(std::vector<std::string> args) : strings(std::move(args)) {
        for (std::string& s : strings) {
            pointers.push_back(s.data());
        }
        pointers.push_back(nullptr);
    }
    char** get() { return pointers.data(); }
    int argc() const { return static_cast<int>(strings.size()); }

    std::vector<std::string> strings;
    std::vector<char*> pointers;
};

inline std::unique_ptr<ryn::RynDriver> prepared() {
    return std::make_unique<ryn::RynDriver>("ryn", k_known_lav, ryn::RynDriver::PrepareOnly{});
}

// Parses a general front end command line into `d`.
inline void parse(ryn::RynDriver& d, std::vector<std::string> args) {
    Argv argv(std::move(args));
    process_options(argv.argc(), argv.get(), d.options(), d.tool_args(), d.locations(), d.util());
}

inline std::unique_ptr<ryn::RynDriver> parsed(std::vector<std::string> args) {
    auto d = prepared();
    parse(*d, std::move(args));
    return d;
}

// What a refused option prints, as a death test's pattern.
inline std::string invalid_option_regex(const std::string& option) {
    return "^ryn \\(error\\): Invalid option: " + option + "\n$";
}

namespace setup_test {

using Strings = std::vector<std::string>;

inline Strings items(const ryn::ArgCache& list) { return Strings(list.begin(), list.end()); }

struct SetupWorld {
    ryn_test::TempDir home, cwd, cache;
    ryn_test::ScopedEnv home_env{"HOME", home.path().c_str()};
    ryn_test::ScopedEnv cache_env{"QVEN_RYN_CACHE_DIR", nullptr};
    ryn_test::ScopedChdir chdir{cwd.path()};

    // An annotated program with a symbol table, in the current directory.
    std::string program() const {
        EXPECT_TRUE(ryn_test::compile_c(
            std::string(ryn_test::k_annotate_asm) + ryn_test::hello_source("hello"), cwd / "prog"));
        return cwd / "prog";
    }

    // A driver of `front_end` that finds the staged libraries but no
    // installation's configuration file. A non-zero audit version spares the
    // probe and keeps the test's signal handlers.
    std::unique_ptr<ryn::RynDriver> driver(const char* front_end) const {
        auto d = std::make_unique<ryn::RynDriver>(front_end, 4, ryn::RynDriver::PrepareOnly{});
        ryn::InstallLocations& loc = d->locations();
        loc.program_name = front_end;
        loc.exec_dir = ryn_test::stage_dir() + "/bin";
        loc.audit_lib_dir = loc.memvex_lib_dir = ryn_test::stage_dir() + "/lib/compilers/amd64";
        d->options().cache_dir = cache.path();
        return d;
    }

    // A memory-checker driver with `args` parsed.
    std::unique_ptr<ryn::RynDriver> memvex(Strings args) const {
        auto d = driver("memvex");
        args.insert(args.begin(), "memvex");
        Argv argv(std::move(args));
        process_memvex_options(argv.argc(), argv.get(), d->options(), d->tool_args(),
                               d->locations(), d->util());
        return d;
    }
};

}  // namespace setup_test

// The settling of the parsed options and the set-up, run on the driver's parts.
inline void distribute(ryn::RynDriver& d) {
    settle_options(d.options(), d.tool_args());
    distribute_options(d.options(), d.tool_args(), d.locations(), d.state(), d.util());
}
