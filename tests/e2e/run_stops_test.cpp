// Where a run of the installed launchers stops short: usage and help, refused
// options, unusable programs and paths (refused before they are read or handed
// on: a FIFO would block for ever, a device never ends, and the tools' files
// hold one path a line), and tell mode answering with the program itself.
#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "support/e2e_support.h"

namespace {

class RunStops : public ryn_e2e::DriverTest {
protected:
    void SetUp() override { fixture = ryn_e2e::build_fixture(work / "src", "prog", {}); }

    void expect_refused(const std::string& front_end, const std::vector<std::string>& args,
                        const std::string& message) {
        SCOPED_TRACE(message);
        // A run that hangs is ended by timeout(1) with status 124.
        launch_prefix = {"timeout", "60"};
        const ryn_test::RunResult result = run_front_end(front_end, args);
        EXPECT_EQ(result.status, 1) << "124 means the run blocked\n" << result.err;
        EXPECT_TRUE(ryn_e2e::holds(result.err, front_end + " (error): " + message + "\n"));
        EXPECT_TRUE(install.engine_runs().empty());
    }
};

using UnusablePaths = RunStops;

TEST_F(RunStops, UsageHelpAndVersionExitAtOnceAndUnknownOptionsAreRefused) {
    const ryn_test::RunResult bare = ryn({});
    EXPECT_EQ(bare.status, 1);
    EXPECT_EQ(bare.err.rfind("Usage: " + install.bin("ryn") + " mode ", 0), 0u);
    EXPECT_TRUE(ryn_e2e::holds(bare.err, "\n     mode is one of instrument,"));

    const ryn_test::RunResult help = ryn({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err.rfind(bare.err, 0), 0u) << "the short usage comes first";
    // Each front end prints its own command line.
    const ryn_test::RunResult zentor_help = run_front_end("zentor", {"-h"});
    EXPECT_EQ(zentor_help.err.rfind("Usage: " + install.bin("zentor") + " mode ", 0), 0u);

    const ryn_test::RunResult bad = ryn({"instrument", "-Q", "prog"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "ryn (error): Invalid option: -Q\n");
}

TEST_F(RunStops, AnUnusableProgramIsExplainedThenRefusedButTellModeAnswersWithIt) {
    // Built without the annotation section, it cannot be instrumented.
    ASSERT_TRUE(ryn_test::compile_c(ryn_test::hello_source("plain"), work / "plain"));
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
    EXPECT_TRUE(ryn_e2e::holds(ryn_test::read_file(work / "log"), "ryn (warning): "));
    EXPECT_TRUE(install.engine_runs().empty());
}

TEST_F(UnusablePaths, FifoDeviceOrNewlineIsRefusedBeforeItIsReadOrRecorded) {
    const std::string fifo = work / "pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string not_binary = "Not a binary file: ";
    const std::string not_regular = "Check file is not a regular file: " + fifo;
    // A -c value that is a file lists libraries, each with an optional check
    // file; one that is no regular file is a library name and never opened.
    ryn_test::write_file(work / "check.list", "libx.so:" + fifo + "\n");
    expect_refused("ryn", {"check", fifo}, not_binary + fifo);
    expect_refused("ryn", {"instrument", "/dev/zero"}, not_binary + "/dev/zero");
    expect_refused("memvex", {fifo}, not_binary + fifo);
    expect_refused("ryn", {"instrument", "-l", fifo, fixture.program}, not_binary + fifo);
    expect_refused("ryn", {"instrument", fixture.program + ":" + fifo}, not_regular);
    expect_refused("memvex", {"-c", work / "check.list", fixture.program}, not_regular);
    const ryn_test::RunResult listed =
        run_front_end("memvex", {"-c", fifo, "-o", work / "out", fixture.program});
    EXPECT_NE(listed.status, 124) << "the -c value was opened";

    // A directory name that would forge a record of the run-information file.
    const std::string dir = work / "d\n19 /tmp/forged";
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file(fixture.program, dir + "/prog");
    const std::string refusal = "File name contains a newline: " + dir + "/prog";
    expect_refused("ryn", {"instrument", "-M", dir + "/prog"}, refusal);
    expect_refused("ryn", {"instrument", fixture.program + ":" + dir + "/check"},
                   "File name contains a newline: " + dir + "/check");
}

}  // namespace
