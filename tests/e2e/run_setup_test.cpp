// Runs that end during set-up, seen from the launcher: check mode, a
// missing target, no target at all.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"

using ryn_test::RunResult;
using ryn_test::TempDir;

namespace {

class RunSetup : public testing::Test {
protected:
    RunResult launch(const std::string& name, const std::vector<std::string>& args) {
        std::vector<std::string> argv{ryn_test::stage_bin(name)};
        argv.insert(argv.end(), args.begin(), args.end());
        return ryn_test::run(argv, {"HOME=" + home.path()}, cwd.path());
    }

    TempDir home, cwd;
};

TEST_F(RunSetup, CheckModeReportsInDetailAndStopsBeforeTheCache) {
    const std::string source =
        std::string(ryn_test::k_annotate_asm) + ryn_test::hello_source("hello");
    ASSERT_TRUE(ryn_test::compile_c(source, cwd / "prog"));
    const std::string engine = ryn_test::stage_lib("morphel");
    ASSERT_EQ(ryn_test::run({engine, "-ryn", "-comment=instrumentation args: seen", "-o",
                             cwd / "prog.instr", cwd / "prog"})
                  .status,
              0);

    const RunResult plain = launch("ryn", {"check", "prog"});
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.err, "ryn (info): Prepared binary prog\n");

    // Only the detailed check lists what the engine recorded in the copy.
    const RunResult instrumented = launch("ryn", {"check", "prog.instr"});
    EXPECT_EQ(instrumented.status, 0);
    EXPECT_NE(instrumented.err.find("previously instrumented"), std::string::npos);
    EXPECT_NE(instrumented.err.find("instrumentation args: seen\n"), std::string::npos)
        << instrumented.err;
    EXPECT_EQ(instrumented.out, "");

    EXPECT_TRUE(std::filesystem::is_empty(home.path())) << "no cache for a check";
}

TEST_F(RunSetup, MissingOrAbsentTargetsStopTheRun) {
    const RunResult missing = launch("memvex", {"nothere"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "memvex (error): File nothere not found\n");

    const RunResult help = launch("ryn", {"-h"});
    const RunResult none = launch("ryn", {"instrument"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, help.err);
    EXPECT_NE(none.err.find("Usage: "), std::string::npos);

    EXPECT_TRUE(std::filesystem::is_empty(home.path()));
    EXPECT_TRUE(std::filesystem::is_empty(cwd.path()));
}

}  // namespace
