// A probed program keeps its own signal handling: its SIGTRAP handler and
// mask, an inherited SIG_IGN, a handler that blocks every signal, its own
// fatal-signal handlers and the default deaths, all exactly as without
// probes; and a run that dies still leaves its data.
#include <string>

#include <gtest/gtest.h>

#include "support/runtime_support.h"

using namespace ryn_test;

namespace {

// A foreign trap raised while SIGTRAP is blocked reaches the program's own
// handler once unblocked, and the program still sees its mask and handler.
const char* const k_own_trap = R"(#include <signal.h>
#include <stdio.h>
#include <unistd.h>
static void on_trap(int sig) { (void)sig; write(1, "trap\n", 5); }
int work(int x) { return x + 4; }
int main(void) {
    struct sigaction sa = {0}, seen;
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
    sigaction(SIGTRAP, NULL, &seen);
    printf("blocked %d mine %d\n", sigismember(&old, SIGTRAP), seen.sa_handler == on_trap);
    fflush(stdout);
    sigprocmask(SIG_UNBLOCK, &set, NULL);
    write(1, "after\n", 6);
    return 0;
}
)";

const char* const k_inherited_ignore = R"(#include <signal.h>
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
)";

// Dies by SIGSEGV, by its own int3 ("trap") or through its own SIGSEGV
// handler ending in _exit ("handler").
const char* const k_deaths = R"(#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>
static void on_segv(int sig) { (void)sig; write(1, "caught\n", 7); _exit(3); }
int crash(volatile int *p) { return *p = 1; }
void stray(void) { __asm__ volatile("int3"); }
int unused(void) { return 0; }
int main(int argc, char **argv) {
    if (argc > 1 && strcmp(argv[1], "handler") == 0)
        signal(SIGSEGV, on_segv);
    puts("start");
    fflush(stdout);
    if (argc > 1 && strcmp(argv[1], "trap") == 0)
        stray();
    return crash(0);
}
)";

// A handler whose mask holds SIGTRAP still hits its probes, for a signal
// the runtime watches (deadly by default) and for one it does not.
const char* const k_blocking_handler = R"(#include <signal.h>
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
)";

TEST_P(ProbedRuns, SignalsBehaveAsWithoutProbesAndTheDataIsWritten) { check(GetParam()); }

const RunCase k_signal_cases[] = {
    RunCase{"own_trap_handler",
            k_own_trap,
            "",
            "7\nraised\nblocked 1 mine 1\ntrap\nafter\n",
            0,
            {{"main", 1}, {"work", 1}}},
    RunCase{"inherited_ignore",
            k_inherited_ignore,
            "",
            "parent ignored 1\nchild ignored 1\n",
            0,
            {{"show", 2}},
            {},
            "trap '' TRAP; "},
    RunCase{"segv",
            k_deaths,
            "",
            "start\n",
            128 + 11,
            {{"crash", 1}, {"main", 1}, {"stray", 0}, {"unused", 0}}},
    // An int3 of the program's own is not a probe: it kills as before.
    RunCase{"stray_int3",
            k_deaths,
            "trap",
            "start\n",
            128 + 5,
            {{"crash", 0}, {"main", 1}, {"stray", 1}}},
    RunCase{"blocking_handlers",
            k_blocking_handler,
            "",
            "handled 30\nhandled 84\n",
            0,
            {{"in_handler", 1}, {"on_winch", 1}}},
    RunCase{
        "abort", k_blocking_handler, "abort", "handled 30\nhandled 84\n", 128 + 6, {{"main", 1}}},
    RunCase{"own_fatal_handler",
            k_deaths,
            "handler",
            "start\ncaught\n",
            3,
            {{"crash", 1}, {"main", 1}}},
};

INSTANTIATE_TEST_SUITE_P(Signals, ProbedRuns, ::testing::ValuesIn(k_signal_cases), case_name);

}  // namespace
