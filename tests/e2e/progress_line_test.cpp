// The progress line of a long instrumentation run: shown on a terminal with
// counts, cleared before the engine's words, the driver's messages and the
// program's output, and absent from pipes, dry runs and dumb terminals.
#include <filesystem>

#include <gtest/gtest.h>

#include "ryn/exec_util.h"
#include "support/e2e_support.h"

using namespace ryn;

using Args = std::vector<std::string>;

namespace {

constexpr char k_clear[] = "\r\033[K";

struct TerminalRun {
    int status = -1;
    std::string screen;  // everything written to the terminal, in order
};

class ProgressOnTerminal : public ryn_e2e::DriverTest {
protected:
    void SetUp() override {
        // Five targets need the engine on a cold cache: more than a handful.
        fixture = ryn_e2e::build_fixture(
            work / "src", "prog", {"libuser0.so", "libuser1.so", "libuser2.so", "libuser3.so"});
    }

    // The launcher with both output streams on one wide pseudo-terminal.
    TerminalRun on_terminal(const Args& args, const std::string& term = "xterm") {
        std::string command = "stty cols 250 && exec " + shell_quote(install.bin("ryn"));
        for (const std::string& arg : args) {
            command += " " + shell_quote(arg);
        }
        std::vector<std::string> terminal_env = env;
        terminal_env.push_back("TERM=" + term);
        install.clear_calls(install.engine());
        const ryn_test::RunResult run =
            ryn_test::run({"script", "-qec", command, "/dev/null"}, terminal_env, work.path());
        return {run.status, run.out};
    }
};

TEST_F(ProgressOnTerminal, ColdCacheCountsTargetsAndClearsBeforeTheProgram) {
    const TerminalRun cold = on_terminal({"collect", "-M", fixture.program});
    ASSERT_EQ(cold.status, 0) << cold.screen;
    for (int done = 0; done < 5; ++done) {
        EXPECT_NE(cold.screen.find("ryn: " + std::to_string(done) + "/5 instrumenting /"),
                  std::string::npos)
            << done << "\n"
            << cold.screen;
    }
    const size_t last_line = cold.screen.rfind(" instrumenting ");
    const size_t cleared = cold.screen.rfind(k_clear);
    const size_t hello = cold.screen.find("hello");
    ASSERT_NE(hello, std::string::npos) << cold.screen;
    EXPECT_LT(last_line, cleared);
    EXPECT_LT(cleared, hello);
    // The program starts its output on a clean line.
    EXPECT_EQ(cold.screen.substr(cleared, hello - cleared), k_clear + std::string(""))
        << cold.screen;

    // Three stale targets are a short run: no line at all.
    for (const char* name : {"libuser0.so", "libuser1.so", "libuser2.so"}) {
        std::filesystem::remove(cached_copy(name));
    }
    const TerminalRun short_run = on_terminal({"collect", "-M", fixture.program});
    ASSERT_EQ(short_run.status, 0) << short_run.screen;
    EXPECT_EQ(install.engine_runs().size(), 3u);
    EXPECT_EQ(short_run.screen.find("\033["), std::string::npos) << short_run.screen;
}

TEST_F(ProgressOnTerminal, DryRunDumbTerminalAndPipesShowNothing) {
    const TerminalRun dry = on_terminal({"collect", "-n", "-M", fixture.program});
    EXPECT_EQ(dry.status, 0) << dry.screen;
    EXPECT_EQ(dry.screen.find("\033["), std::string::npos) << dry.screen;

    const TerminalRun dumb = on_terminal({"collect", "-M", fixture.program}, "dumb");
    ASSERT_EQ(dumb.status, 0) << dumb.screen;
    EXPECT_EQ(install.engine_runs().size(), 5u);
    EXPECT_EQ(dumb.screen.find("\033["), std::string::npos) << dumb.screen;

    // Scripts read exactly what they read before.
    std::filesystem::remove_all(work / "cache");
    const ryn_test::RunResult piped = ryn({"collect", "-M", fixture.program, "x"});
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(install.engine_runs().size(), 5u);
    EXPECT_EQ(piped.out, "hello\narg:x\nsum:10\n");
    EXPECT_EQ(piped.err, "err:hello\n");
}

TEST_F(ProgressOnTerminal, EngineFailureIsToldOnLinesOfItsOwn) {
    install.wrap(install.engine(),
                 "case \"$*\" in */libuser2.so) echo 'morphel: error: boom' >&2; exit 2;; esac");
    const TerminalRun failed = on_terminal({"collect", "-M", fixture.program});
    EXPECT_EQ(failed.status, 1) << failed.screen;
    // The engine's words follow the cleared line, not the line's text.
    EXPECT_NE(failed.screen.find(k_clear + std::string("morphel: error: boom\r\n")),
              std::string::npos)
        << failed.screen;
    const size_t report = failed.screen.find("ryn (error): ");
    ASSERT_NE(report, std::string::npos) << failed.screen;
    EXPECT_EQ(failed.screen.substr(report - 2, 2), "\r\n") << failed.screen;
    EXPECT_EQ(failed.screen.find("instrumenting", report), std::string::npos) << failed.screen;
    EXPECT_EQ(failed.screen.find("hello"), std::string::npos) << failed.screen;
}

}  // namespace
