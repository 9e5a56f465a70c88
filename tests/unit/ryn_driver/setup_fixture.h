// A driver ready for set-up in a private world: its own home, current,
// installation and cache directories, the staged audit and runtime
// libraries, and fixture programs compiled on demand.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ryn/ryn_driver.h"
#include "support/test_support.h"

namespace setup_test {

using Strings = std::vector<std::string>;

inline Strings items(const ArgCache& list) { return Strings(list.begin(), list.end()); }

struct SetupWorld {
    ryn_test::TempDir home, cwd, install, cache;
    ryn_test::ScopedEnv home_env{"HOME", home.path().c_str()};
    ryn_test::ScopedEnv cache_env{"QVEN_RYN_CACHE_DIR", nullptr};
    ryn_test::ScopedChdir chdir{cwd.path()};

    // An annotated program with a symbol table, in the current directory.
    std::string program(const std::string& name = "prog", const std::string& flags = "") const {
        const std::string path = cwd / name;
        const std::string source =
            std::string(ryn_test::k_annotate_asm) + ryn_test::hello_source("hello");
        EXPECT_TRUE(ryn_test::compile_c(source, path, flags));
        return path;
    }

    // A driver of `front_end` that knows where it is installed. A non-zero
    // audit version spares the probe and keeps the test's signal handlers.
    std::unique_ptr<RynDriver> driver(const char* front_end) const {
        auto d = std::make_unique<RynDriver>(front_end, 4, RynDriver::PrepareOnly{});
        d->program_name = front_end;
        d->exec_dir = ryn_test::stage_dir() + "/bin";
        d->install_lib_dir = install.path();
        d->audit_lib_dir = ryn_test::stage_dir() + "/lib/compilers/amd64";
        d->memvex_lib_dir = d->audit_lib_dir;
        d->cache_dir = cache.path();
        return d;
    }

    // A memory-checker driver with `args` parsed.
    std::unique_ptr<RynDriver> memvex(Strings args) const {
        auto d = driver("memvex");
        args.insert(args.begin(), "memvex");
        std::vector<char*> argv;
        for (std::string& s : args) {
            argv.push_back(s.data());
        }
        argv.push_back(nullptr);
        d->process_memvex_options(static_cast<int>(args.size()), argv.data());
        return d;
    }
};

}  // namespace setup_test
