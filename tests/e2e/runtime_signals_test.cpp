// A probed program keeps its own signal handling: its SIGTRAP handler and
// mask, an inherited SIG_IGN, its own fatal-signal handlers and the default
// deaths, all exactly as without probes; and a run that dies still leaves its
// data.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/runtime_support.h"

using namespace ryn_test;

namespace {

class SignalProgram : public ::testing::Test {
protected:
    // Builds `source` as the original and its probed copy.
    void build(const std::string& source) {
        ASSERT_TRUE(compile_c(source, original, "-O0 -g -pthread"));
        add_probe_table(original, copy, main_settings(original, "d", {"21 prog"}));
    }
    // Runs the original and the copy the same way; both must agree.
    RunResult run_both(const std::string& prefix = "") {
        const RunResult plain = run_shell(prefix + original, dir.path());
        const RunResult probed = run_shell(prefix + audit_env() + " " + copy, dir.path());
        EXPECT_EQ(probed.out, plain.out);
        EXPECT_EQ(probed.err, plain.err);
        EXPECT_EQ(probed.status, plain.status);
        return probed;
    }
    InstrData data() const { return read_instrdata(dir / "d/prog.instrdata"); }

    TempDir dir;
    std::string original = dir / "prog";
    std::string copy = dir / "copy";
};

TEST_F(SignalProgram, OwnTrapHandlerAndBlockedTrapBehaveAsWithoutProbes) {
    build(R"(#include <signal.h>
#include <stdio.h>
#include <unistd.h>
static void on_trap(int sig) { (void)sig; write(1, "trap\n", 5); }
int work(int x) { return x + 4; }
int main(void) {
    struct sigaction sa = {0};
    sa.sa_handler = on_trap;
    sigaction(SIGTRAP, &sa, NULL);
    sigset_t set, old;
    sigemptyset(&set);
    sigaddset(&set, SIGTRAP);
    sigprocmask(SIG_BLOCK, &set, NULL);
    printf("%d\n", work(3));
    fflush(stdout);
    raise(SIGTRAP);
    write(1, "raised\n", 7);
    pthread_sigmask(SIG_SETMASK, NULL, &old);
    struct sigaction seen;
    sigaction(SIGTRAP, NULL, &seen);
    printf("blocked %d mine %d\n", sigismember(&old, SIGTRAP), seen.sa_handler == on_trap);
    fflush(stdout);
    sigprocmask(SIG_UNBLOCK, &set, NULL);
    write(1, "after\n", 6);
    return 0;
}
)");
    const RunResult result = run_both();
    EXPECT_EQ(result.out, "7\nraised\nblocked 1 mine 1\ntrap\nafter\n");
    EXPECT_EQ(reached(data(), {"main", "work"}), (std::vector<std::string>{"main", "work"}));
}

TEST_F(SignalProgram, InheritedIgnoreStaysForTheProgramAndWhatItExecutes) {
    build(R"(#include <signal.h>
#include <stdio.h>
#include <unistd.h>
int show(const char *who) {
    struct sigaction seen;
    sigaction(SIGTRAP, NULL, &seen);
    return printf("%s ignored %d\n", who, seen.sa_handler == SIG_IGN);
}
int main(int argc, char **argv) {
    show(argc > 1 ? "child" : "parent");
    fflush(stdout);
    if (argc == 1)
        execl("/proc/self/exe", argv[0], "again", (char *)0);
    return 0;
}
)");
    const RunResult result = run_both("trap '' TRAP; ");
    EXPECT_EQ(result.out, "parent ignored 1\nchild ignored 1\n");
    EXPECT_EQ(data().counts.at("show"), 2u);
}

TEST_F(SignalProgram, DefaultDeathsHappenAndLeaveData) {
    build(R"(#include <stdio.h>
#include <string.h>
int crash(volatile int *p) { return *p = 1; }
void stray(void) { __asm__ volatile("int3"); }
int unused(void) { return 0; }
int main(int argc, char **argv) {
    puts("start");
    fflush(stdout);
    if (argc > 1 && strcmp(argv[1], "trap") == 0)
        stray();
    return crash(0);
}
)");
    EXPECT_EQ(run_both().status, 128 + 11);
    EXPECT_EQ(reached(data(), {"crash", "main", "stray", "unused"}),
              (std::vector<std::string>{"crash", "main"}));

    // An int3 of the program's own is not a probe: it kills as before.
    original += " trap";
    copy += " trap";
    EXPECT_EQ(run_both().status, 128 + 5);
    EXPECT_EQ(data().counts.at("stray"), 1u);
    EXPECT_EQ(data().counts.at("main"), 2u);
}

TEST_F(SignalProgram, HandlerThatBlocksEverythingStillRunsItsProbes) {
    build(R"(#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
int in_handler(int x) { return x * 3; }
static void on_usr1(int sig) { printf("handled %d\n", in_handler(sig)); }
static void on_winch(int sig) { printf("handled %d\n", sig * 3); }
int main(int argc, char **argv) {
    struct sigaction sa = {0};
    sa.sa_handler = on_usr1;
    sigfillset(&sa.sa_mask);
    sigaction(SIGUSR1, &sa, NULL);
    sa.sa_handler = on_winch;
    sigaction(SIGWINCH, &sa, NULL);
    raise(SIGUSR1);
    raise(SIGWINCH);
    fflush(stdout);
    if (argc > 1)
        abort();
    return 0;
}
)");
    EXPECT_EQ(run_both().out, "handled 30\nhandled 84\n");
    EXPECT_EQ(data().counts.at("in_handler"), 1u);

    // abort() still dies by SIGABRT, after the data is written.
    original += " abort";
    copy += " abort";
    EXPECT_EQ(run_both().status, 128 + 6);
    EXPECT_EQ(data().counts.at("main"), 2u);
}

TEST_F(SignalProgram, ProgramHandlersAndUnderscoreExitStillRecord) {
    build(R"(#include <signal.h>
#include <stdio.h>
#include <unistd.h>
static void on_segv(int sig) { (void)sig; write(1, "caught\n", 7); _exit(3); }
int crash(volatile int *p) { return *p = 1; }
int main(void) {
    signal(SIGSEGV, on_segv);
    puts("start");
    fflush(stdout);
    return crash(0);
}
)");
    const RunResult result = run_both();
    EXPECT_EQ(result.out, "start\ncaught\n");
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(reached(data(), {"crash", "main"}), (std::vector<std::string>{"crash", "main"}));
}

}  // namespace
