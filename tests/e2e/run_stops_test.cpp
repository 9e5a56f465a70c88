// Where a run of the installed launchers stops short: usage, help and version
// exits, refused options, unusable programs, tell mode answering with the
// program itself, and analyze runs without an analysis.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ryn/ryn_driver.h"
#include "support/e2e_support.h"
#include "support/test_support.h"

using namespace ryn;

namespace {

class RunStops : public ryn_e2e::DriverTest {
protected:
    void SetUp() override {
        fixture = ryn_e2e::build_fixture(work / "src", "prog", {});
        // A program built without the annotation section cannot be instrumented.
        ASSERT_TRUE(ryn_test::compile_c(ryn_test::hello_source("plain"), work / "plain"));
    }
};

TEST_F(RunStops, UsageHelpAndVersionExitAtOnceAndUnknownOptionsAreRefused) {
    const ryn_test::RunResult bare = ryn({});
    EXPECT_EQ(bare.status, 1);
    EXPECT_EQ(bare.err.rfind("Usage: " + install.bin("ryn") + " mode ", 0), 0u);
    EXPECT_NE(bare.err.find("\n     mode is one of instrument,"), std::string::npos);
    EXPECT_EQ(ryn({"-h"}).status, 0);

    const ryn_test::RunResult help = ryn({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err.rfind(bare.err, 0), 0u) << "the short usage comes first";
    // Each front end prints its own command line: the checker takes no mode word.
    const ryn_test::RunResult memvex_help = run_front_end("memvex", {"-h"});
    EXPECT_EQ(memvex_help.err.rfind("Usage: " + install.bin("memvex") + " [options] target", 0), 0u)
        << memvex_help.err;
    const ryn_test::RunResult zentor_help = run_front_end("zentor", {"-h"});
    EXPECT_EQ(zentor_help.err.rfind("Usage: " + install.bin("zentor") + " mode ", 0), 0u);

    EXPECT_EQ(ryn({"-V"}).out, std::string(ryn_ver_string) + "\n");
    const ryn_test::RunResult bad = ryn({"instrument", "-Q", "prog"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "ryn (error): Invalid option: -Q\n");
}

TEST_F(RunStops, AnUnusableProgramIsExplainedThenRefusedButTellModeAnswersWithIt) {
    const ryn_test::RunResult result = ryn({"instrument", "plain"});
    EXPECT_EQ(result.status, 1);
    const std::string refusal = "ryn (error): Cannot instrument " + work / "plain" + ".\n";
    EXPECT_TRUE(result.err.ends_with(refusal)) << result.err;
    EXPECT_LT(result.err.find("ryn (warning): "), result.err.size() - refusal.size())
        << "the reason comes first";

    // Named as typed, on the real standard output despite -O.
    const ryn_test::RunResult told = ryn({"collect", "-O", "log", "-t", "plain", "arg"});
    EXPECT_EQ(told.status, 0) << told.err;
    EXPECT_EQ(told.out, "plain\n") << "nothing is run, not even the program";
    EXPECT_EQ(told.err, "");
    EXPECT_NE(ryn_test::read_file(work / "log").find("ryn (warning): "), std::string::npos);
    EXPECT_TRUE(install.engine_runs().empty());
}

TEST_F(RunStops, AnUnopenableRedirectFileStopsTheRunAndReportsGoBeforeTheFinalPhase) {
    const ryn_test::RunResult unopened = ryn({"collect", "-O", work / "no/log", fixture.program});
    EXPECT_EQ(unopened.status, 1);
    EXPECT_EQ(unopened.err, "ryn (error): Cannot open redirect file " + work / "no/log" +
                                " (errno = 2) No such file or directory\n");

    ryn_test::write_file(work / "report.txt", "stale");
    const ryn_test::RunResult none = ryn({"analyze", "-v", "-o", "report.txt", fixture.program});
    EXPECT_EQ(none.status, 0);
    EXPECT_NE(none.err.find("ryn (info): No valid analysis options\n"), std::string::npos);
    EXPECT_TRUE(ryn_test::exists(work / "report.txt")) << "the run ended before the phase";
    // No data was recorded, so the phase writes no report: the stale one is
    // gone all the same.
    EXPECT_EQ(ryn({"analyze", "-a", "bbc", "-o", "report.txt", fixture.program}).status, 0);
    EXPECT_FALSE(ryn_test::exists(work / "report.txt"));
}

}  // namespace
