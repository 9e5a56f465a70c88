// A whole run through the entry function, as a caller that already knows
// the audit library's version makes it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "driver_argv.h"
#include "support/e2e_support.h"
#include "support/test_support.h"

namespace {

using ryn_test::ScopedChdir;
using ryn_test::ScopedEnv;
using ryn_test::TempDir;

TEST(EntryRun, WithAKnownVersionTellModeLocatesTheToolsFromArgvZero) {
    ryn_e2e::InstallCopy install;
    install.wrap(install.engine());
    const TempDir work;
    const ryn_e2e::Fixture fixture = ryn_e2e::build_fixture(work / "src", "prog", {});
    std::filesystem::create_directories(work / "home");
    std::filesystem::create_directories(work / "tmp");
    const ScopedEnv cache("QVEN_RYN_CACHE_DIR", (work / "cache").c_str());
    const ScopedEnv home("HOME", (work / "home").c_str());
    const ScopedEnv tmp("TMPDIR", (work / "tmp").c_str());
    const ScopedChdir here(work.path());

    // This process is no launcher: only argv[0] leads to the install tree.
    char answer[4096] = {};
    Argv argv({install.bin("ryn"), "instrument", "-t", fixture.program});
    ryn_main_entry("ryn", answer, sizeof answer, argv.argc(), argv.get(), k_known_lav);

    const auto copies = ryn_e2e::files_ending_in(work / "cache", "/prog");
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(std::string(answer), copies[0] + "\n");
    EXPECT_EQ(install.engine_runs().size(), 1u) << "the engine of the tree argv[0] names";
    EXPECT_EQ(runtime_output, answer);
    EXPECT_EQ(outbufsiz, 4096);
}

}  // namespace
