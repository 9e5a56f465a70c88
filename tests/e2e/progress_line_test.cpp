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

class ProgressOnTerminal : public ryn_e2e::DriverTest {
protected:
    void SetUp() override {
        // Five targets need the engine on a cold cache: more than a handful.
        fixture = ryn_e2e::build_fixture(
            work / "src", "prog", {"libuser0.so", "libuser1.so", "libuser2.so", "libuser3.so"});
    }

    // The launcher with both output streams on one wide pseudo-terminal: its
    // standard output is all the screen showed, in order.
    ryn_test::RunResult on_terminal(const Args& args, const std::string& term = "xterm") {
        std::string command = "stty cols 250 && exec " + shell_quote(install.bin("ryn"));
        for (const std::string& arg : args) {
            command += " " + shell_quote(arg);
        }
        std::vector<std::string> terminal_env = env;
        terminal_env.push_back("TERM=" + term);
        install.clear_calls(install.engine());
        return ryn_test::run({"script", "-qec", command, "/dev/null"}, terminal_env, work.path());
    }
};

TEST_F(ProgressOnTerminal, CountsOnALongRunAndClearsBeforeAnyOtherOutput) {
    const Args collect = {"collect", "-M", fixture.program};
    const ryn_test::RunResult dry = on_terminal({"collect", "-n", "-M", fixture.program});
    EXPECT_EQ(dry.status, 0) << dry.out;
    EXPECT_FALSE(ryn_e2e::holds(dry.out, "\033["));

    install.wrap(install.engine(),
                 "case \"$*\" in */libuser2.so) echo 'morphel: error: boom' >&2; exit 2;; esac");
    const ryn_test::RunResult failed = on_terminal(collect);
    EXPECT_EQ(failed.status, 1) << failed.out;
    // The engine's words and the driver's report follow the cleared line.
    EXPECT_TRUE(ryn_e2e::holds(failed.out, k_clear + std::string("morphel: error: boom\r\n")));
    const size_t report = failed.out.find("ryn (error): ");
    ASSERT_NE(report, std::string::npos) << failed.out;
    EXPECT_EQ(failed.out.substr(report - 2, 2), "\r\n") << failed.out;
    EXPECT_FALSE(ryn_e2e::holds(failed.out.substr(report), "instrumenting"));
    EXPECT_FALSE(ryn_e2e::holds(failed.out, "hello"));

    install.wrap(install.engine());
    std::filesystem::remove_all(work / "cache");
    const ryn_test::RunResult cold = on_terminal(collect);
    ASSERT_EQ(cold.status, 0) << cold.out;
    for (int done = 0; done < 5; ++done) {
        EXPECT_TRUE(
            ryn_e2e::holds(cold.out, "ryn: " + std::to_string(done) + "/5 instrumenting /"));
    }
    const size_t last_line = cold.out.rfind(" instrumenting ");
    const size_t cleared = cold.out.rfind(k_clear);
    const size_t hello = cold.out.find("hello");
    ASSERT_NE(hello, std::string::npos) << cold.out;
    EXPECT_LT(last_line, cleared);
    // The program starts its output on a clean line.
    EXPECT_EQ(cold.out.substr(cleared, hello - cleared), k_clear) << cold.out;

    // Three stale targets are a short run: no line at all.
    for (const char* name : {"libuser0.so", "libuser1.so", "libuser2.so"}) {
        std::filesystem::remove(cached_copy(name));
    }
    const ryn_test::RunResult short_run = on_terminal(collect);
    ASSERT_EQ(short_run.status, 0) << short_run.out;
    EXPECT_EQ(install.engine_runs().size(), 3u);
    EXPECT_FALSE(ryn_e2e::holds(short_run.out, "\033["));

    std::filesystem::remove_all(work / "cache");
    const ryn_test::RunResult dumb = on_terminal(collect, "dumb");
    ASSERT_EQ(dumb.status, 0) << dumb.out;
    EXPECT_EQ(install.engine_runs().size(), 5u);
    EXPECT_FALSE(ryn_e2e::holds(dumb.out, "\033["));

    // Scripts read exactly what they read before.
    std::filesystem::remove_all(work / "cache");
    const ryn_test::RunResult piped = ryn({"collect", "-M", fixture.program, "x"});
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(install.engine_runs().size(), 5u);
    EXPECT_EQ(piped.out, "hello\narg:x\nsum:10\n");
    EXPECT_EQ(piped.err, "err:hello\n");
}

}  // namespace
