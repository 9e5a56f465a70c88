// A run that fails leaves nothing of its own behind: no temporary files, no
// locks, and with in-place instrumentation no instrumented user file.
#include <filesystem>

#include <gtest/gtest.h>

#include "support/e2e_support.h"

using ryn_test::RunResult;
using Files = std::vector<std::string>;

namespace {

class FailedRun : public ryn_e2e::DriverTest {
protected:
    void expect_nothing_left() {
        EXPECT_EQ(ryn_e2e::files_ending_in(work.path(), ".lock"), Files{});
        EXPECT_TRUE(std::filesystem::is_empty(work / "tmp"));
    }
};

TEST_F(FailedRun, FailingEngineEndsTheRunWithoutLeftovers) {
    fixture = ryn_e2e::build_fixture(work / "src", "prog", {});
    ryn_test::write_file(work / ".ryn.rc", "set RYN_IGNORABLE_FUNCTIONS skip_me\n");
    install.wrap(install.engine(), "exit 2");

    const RunResult result = ryn({"instrument", fixture.program});
    EXPECT_EQ(result.status, 1);
    // The engine said nothing, so the driver names it and how it ended.
    EXPECT_EQ(result.err, "ryn (error): " + install.engine() + " failed on " + fixture.program +
                              ": exit status 2\n");
    const auto runs = install.engine_runs();
    ASSERT_EQ(runs.size(), 1u);
    // The temporary files existed while the engine ran, and are gone now.
    EXPECT_EQ(runs[0].missing_paths, Files{});
    const std::string ryninfo = runs[0].with_prefix("-ryninfo=");
    const std::string blacklist = runs[0].with_prefix("-blacklist=");
    ASSERT_EQ(ryninfo.rfind("-ryninfo=" + work / "tmp/rninf", 0), 0u) << ryninfo;
    ASSERT_EQ(blacklist.rfind("-blacklist=" + work / "tmp/ryn", 0), 0u) << blacklist;
    EXPECT_FALSE(ryn_test::exists(ryninfo.substr(9)));
    EXPECT_FALSE(ryn_test::exists(blacklist.substr(11)));
    expect_nothing_left();
    EXPECT_FALSE(ryn_test::exists(fixture.program + ".instr"));
    // No copy, so no stamp either.
    EXPECT_EQ(ryn_e2e::files_ending_in(work / "cache", ".cksum_tstamp"), Files{});
}

TEST_F(FailedRun, FatalErrorAfterInPlaceReplacementRestoresEveryUserFile) {
    // The library is walked first and instrumented in place; the program
    // fails after its engine run, when its stale data cannot be removed.
    const std::string dir = work / "src";
    fixture = ryn_e2e::build_fixture(dir, "prog", {ryn_e2e::library_walked_before(dir, "prog")});
    const std::string lib = fixture.libs[0];
    const std::string old_lib = ryn_test::read_file(lib);
    const std::string old_prog = ryn_test::read_file(fixture.program);
    std::filesystem::create_directories(work / "prog.instrdata/stale.instrdata");

    const RunResult result = ryn({"instrument", "-v", "-R", "-l", lib, fixture.program});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("ryn (info): Replacing " + lib +
                              " with the original noninstrumented file."),
              std::string::npos);
    EXPECT_NE(result.err.find("ryn (error): Cannot remove ./prog.instrdata/stale.instrdata "
                              "(errno = 21) Is a directory\n"),
              std::string::npos)
        << result.err;
    EXPECT_TRUE(ryn_test::read_file(lib) == old_lib);
    EXPECT_TRUE(ryn_test::read_file(fixture.program) == old_prog);
    expect_nothing_left();
}

}  // namespace
