// A run that fails leaves nothing of its own behind: no temporary files, no
// locks, and with in-place instrumentation no instrumented user file.
#include <algorithm>
#include <filesystem>
#include <iterator>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "support/e2e_support.h"
#include "support/test_support.h"

using ryn_e2e::InstallCopy;
using ryn_test::RunResult;
using ryn_test::TempDir;

namespace {

class FailedRun : public ::testing::Test {
protected:
    void SetUp() override { env = ryn_e2e::hermetic_env(work.path()); }

    RunResult ryn(std::vector<std::string> args) {
        args.insert(args.begin(), install.bin("ryn"));
        install.clear_calls(install.engine());
        return ryn_test::run(args, env, work.path());
    }

    void expect_no_lock_left() {
        EXPECT_EQ(ryn_e2e::files_ending_in(work.path(), ".lock"), std::vector<std::string>{});
    }

    InstallCopy install;
    TempDir work;
    std::vector<std::string> env;
};

TEST_F(FailedRun, FailingEngineEndsTheRunWithoutLeftovers) {
    const auto fixture = ryn_e2e::build_fixture(work / "src", "prog", {});
    ryn_test::write_file(work / ".ryn.rc", "set RYN_IGNORABLE_FUNCTIONS skip_me\n");
    install.wrap(install.engine(), ryn_e2e::WrapperOptions::exiting_with(2));

    const RunResult result = ryn({"instrument", fixture.program});
    EXPECT_EQ(result.status, 1);
    // The engine's failure ends the run without a message of the driver's.
    EXPECT_EQ(result.err, "");

    const auto runs = install.engine_runs();
    ASSERT_EQ(runs.size(), 1u);
    const std::string ryninfo = runs[0].with_prefix("-ryninfo=").substr(9);
    const std::string blacklist = runs[0].with_prefix("-blacklist=").substr(11);
    ASSERT_FALSE(ryninfo.empty());
    ASSERT_FALSE(blacklist.empty());
    // Both files existed while the engine ran, and are gone now.
    EXPECT_TRUE(runs[0].missing_paths.empty());
    EXPECT_EQ(std::filesystem::path(ryninfo).filename().string().rfind("rninf", 0), 0u);
    EXPECT_EQ(std::filesystem::path(blacklist).filename().string().rfind("ryn", 0), 0u);
    EXPECT_FALSE(ryn_test::exists(ryninfo));
    EXPECT_FALSE(ryn_test::exists(blacklist));
    EXPECT_TRUE(std::filesystem::is_empty(work / "tmp"));

    expect_no_lock_left();
    EXPECT_FALSE(ryn_test::exists(fixture.program + ".instr"));
    // No copy, so no stamp either: the next run instruments again.
    EXPECT_EQ(ryn_e2e::files_ending_in(work / "cache", ".cksum_tstamp"),
              std::vector<std::string>{});
}

// Names for two libraries whose targets, with the program, fall into three
// different buckets of the driver's target table, so that the order in which
// the driver walks them is known.
std::vector<std::string> libraries_in_distinct_buckets(const std::string& dir,
                                                       const std::string& program) {
    std::set<uint32_t> used = {ryn_e2e::walk_bucket(program)};
    std::vector<std::string> names;
    for (int i = 0; names.size() < 2; ++i) {
        const std::string name = "libuser" + std::to_string(i) + ".so";
        const uint32_t bucket = ryn_e2e::walk_bucket(dir + "/" + name);
        if (used.insert(bucket).second) {
            names.push_back(name);
        }
    }
    return names;
}

TEST_F(FailedRun, FatalErrorAfterInPlaceReplacementRestoresEveryUserFile) {
    install.wrap(install.engine());
    const std::string dir = work / "src";
    const std::string program = dir + "/prog";
    const auto fixture =
        ryn_e2e::build_fixture(dir, "prog", libraries_in_distinct_buckets(dir, program));

    // Walk order: ascending bucket. The last target fails after its engine
    // run, when its stale data cannot be removed; by then the libraries
    // walked before it have been overwritten with their instrumented copies.
    std::map<uint32_t, std::string> order;
    for (const std::string& target : {fixture.program, fixture.libs[0], fixture.libs[1]}) {
        order[ryn_e2e::walk_bucket(target)] = target;
    }
    const std::string last = order.rbegin()->second;
    const std::string poisoned =
        "./" + std::filesystem::path(last).filename().string() + ".instrdata/stale.instrdata";
    std::filesystem::create_directories(work / poisoned);

    std::map<std::string, ryn_e2e::FileImage> before;
    for (const std::string& file : {fixture.program, fixture.libs[0], fixture.libs[1]}) {
        before[file] = ryn_e2e::image_of(file);
    }

    // Libraries named with -l may be replaced in place; dependencies found by
    // the audit library never are.
    const RunResult result = ryn({"instrument", "-v", "-R", "-l", fixture.libs[0], "-l",
                                  fixture.libs[1], fixture.program});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("ryn (error): Cannot remove " + poisoned +
                              " (errno = 21) Is a directory\n"),
              std::string::npos)
        << result.err;

    // Every target was instrumented, the failing one last.
    const auto runs = install.engine_runs();
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs.back().last(), last);
    // A library that had been replaced in place was put back.
    const std::string first_library =
        order.begin()->second == fixture.program ? std::next(order.begin())->second
                                                 : order.begin()->second;
    EXPECT_NE(result.err.find("ryn (info): Replacing " + first_library +
                              " with the original noninstrumented file."),
              std::string::npos)
        << result.err;

    for (const auto& [file, image] : before) {
        EXPECT_TRUE(ryn_e2e::image_of(file) == image) << file << " was not restored";
    }
    expect_no_lock_left();
    EXPECT_TRUE(std::filesystem::is_empty(work / "tmp"));
}

}  // namespace
