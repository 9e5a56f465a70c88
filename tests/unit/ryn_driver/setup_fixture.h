// A driver ready for set-up in a private world: its own home, current and
// cache directories, the staged audit and runtime libraries, and a fixture
// program compiled on demand.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "driver_argv.h"
#include "support/test_support.h"

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
