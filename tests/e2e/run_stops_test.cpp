// Where a run of the general front end stops short: unusable programs, tell
// mode answering with the program itself, analyze runs without an analysis,
// and reports removed before the final phase.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/e2e_support.h"
#include "support/test_support.h"

using ryn_e2e::InstallCopy;
using ryn_test::RunResult;
using ryn_test::TempDir;

namespace {

class RunStops : public ::testing::Test {
protected:
    void SetUp() override {
        install.wrap(install.engine());
        fixture = ryn_e2e::build_fixture(work / "src", "prog", {});
        // A program built without the annotation section cannot be instrumented.
        ASSERT_TRUE(ryn_test::compile_c(ryn_test::hello_source("plain"), work / "plain"));
    }

    RunResult ryn(std::vector<std::string> args) {
        args.insert(args.begin(), install.bin("ryn"));
        install.clear_calls(install.engine());
        return ryn_test::run(args, ryn_e2e::hermetic_env(work.path()), work.path());
    }

    InstallCopy install;
    TempDir work;
    ryn_e2e::Fixture fixture;
};

TEST_F(RunStops, AnUnusableProgramIsExplainedThenRefused) {
    const RunResult result = ryn({"instrument", "plain"});
    EXPECT_EQ(result.status, 1);
    const std::string refusal = "ryn (error): Cannot instrument " + work / "plain" + ".\n";
    ASSERT_GE(result.err.size(), refusal.size());
    EXPECT_EQ(result.err.substr(result.err.size() - refusal.size()), refusal) << result.err;
    EXPECT_NE(result.err.find("ryn (warning): "), std::string::npos) << "the reason comes first";
    EXPECT_TRUE(install.engine_runs().empty());
    EXPECT_FALSE(ryn_test::exists(work / "plain.instr"));
}

TEST_F(RunStops, ARedirectFileThatCannotBeOpenedEndsTheRunOnTheOriginalStream) {
    const RunResult result = ryn({"collect", "-O", work / "no/such/dir/log", fixture.program});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "ryn (error): Cannot open redirect file " + work / "no/such/dir/log" +
                              " (errno = 2) No such file or directory\n");
    EXPECT_TRUE(install.engine_runs().empty());
}

TEST_F(RunStops, TellModeAnswersWithAnUnusableProgramItself) {
    const RunResult result = ryn({"collect", "-t", "plain", "arg"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, work / "plain" + "\n") << "nothing is run, not even the program";
    EXPECT_TRUE(install.engine_runs().empty());
}

TEST_F(RunStops, ReportsGoBeforeTheFinalPhaseButNotWithoutAnAnalysis) {
    ryn_test::write_file(work / "report.txt", "stale");
    const RunResult none = ryn({"analyze", "-v", "-o", "report.txt", fixture.program});
    EXPECT_EQ(none.status, 0);
    EXPECT_NE(none.err.find("ryn (info): No valid analysis options\n"), std::string::npos);
    EXPECT_TRUE(ryn_test::exists(work / "report.txt")) << "the run ended before the phase";

    // No data was recorded, so the phase writes no report: the stale one is
    // gone all the same.
    const RunResult result = ryn({"analyze", "-a", "bbc", "-o", "report.txt", fixture.program});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_FALSE(ryn_test::exists(work / "report.txt"));
    EXPECT_TRUE(install.engine_runs().empty());
}

}  // namespace
