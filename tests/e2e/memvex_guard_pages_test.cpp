// Guard pages: an access just past a block, or into a freed block, in guard
// mode is caught at the instruction and reported with its line before
// the process dies of the signal; the program's own faults still reach its
// own handlers; and the mapping budget is kept.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "support/memvex_support.h"

namespace {

using ryn_test::entry_of;
using ryn_test::error_kinds;
using ryn_test::ReportEntry;
using ryn_test::RunResult;

const std::string k_source = R"(#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
static void* kept[20000];
static void on_segv(int signal, siginfo_t* info, void* context) {
    (void)signal; (void)context;
    const char* text = info->si_addr == (void*)16 ? "caught at 16\n" : "caught elsewhere\n";
    write(1, text, strlen(text));
    _exit(42);
}
static void on_segv_plain(int signal) {
    (void)signal;
    write(1, "plain caught\n", 13);
    _exit(43);
}
static void run(const char* c) {
    if (strcmp(c, "write-past-small") == 0) {
        char* p = malloc(32);  // alloc:write-past-small
        p[32] = 1;  // at:write-past-small
        free(p);
    } else if (strcmp(c, "read-after-free") == 0) {
        char* p = malloc(24);  // alloc:read-after-free
        free(p);  // free:read-after-free
        volatile char x = p[3];
        (void)x;
    } else if (strcmp(c, "own-handler") == 0) {
        struct sigaction action, seen;
        memset(&action, 0, sizeof action);
        action.sa_sigaction = on_segv;
        action.sa_flags = SA_SIGINFO;
        sigaction(SIGSEGV, &action, NULL);
        sigaction(SIGSEGV, NULL, &seen);
        if (seen.sa_sigaction != on_segv) puts("handler hidden");
        *(volatile int*)16 = 1;
    } else if (strcmp(c, "own-signal") == 0) {
        signal(SIGSEGV, on_segv_plain);
        if (signal(SIGSEGV, on_segv_plain) != on_segv_plain) puts("handler hidden");
        *(volatile int*)16 = 1;
    } else if (strcmp(c, "no-handler") == 0) {
        *(volatile int*)16 = 1;
    } else if (strcmp(c, "many") == 0) {
        for (int i = 0; i < 20000; ++i) kept[i] = malloc(8);
        void* mine = malloc(8);
        free(mine);
        free(mine);
        puts("many done");
    }
}
int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) run(argv[i]);
    return 0;
}
)";

class MemvexGuardPages : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new ryn_test::TempDir;
        ASSERT_TRUE(ryn_test::build_checked(k_source, *dir_ / "prog"));
        ryn_test::embed_settings(*dir_ / "prog", *dir_ / "guarded", {"2 1"});
    }
    static void TearDownTestSuite() { delete dir_; }

    static RunResult run(const std::string& program, const std::string& arg) {
        return ryn_test::run({*dir_ / program, arg});
    }
    static std::string at_line(const std::string& marker) {
        return "prog.c:" + std::to_string(ryn_test::line_of(k_source, marker));
    }

    static ryn_test::TempDir* dir_;
};
ryn_test::TempDir* MemvexGuardPages::dir_ = nullptr;

// Large blocks are guarded always, which the corpus shows.
TEST_F(MemvexGuardPages, SmallBlocksAreGuardedInGuardMode) {
    const RunResult r = run("guarded", "write-past-small");
    EXPECT_EQ(r.status, 128 + SIGSEGV);
    EXPECT_EQ(error_kinds(r.err), std::vector<std::string>{"overflow-access"}) << r.err;
    EXPECT_NE(r.err.find(": write at 0x"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(", 1 bytes past the end of the block of 32 bytes at 0x"),
              std::string::npos)
        << r.err;
    const ReportEntry entry = entry_of(r.err, "overflow-access");
    EXPECT_EQ(entry.top(), at_line("// at:write-past-small")) << r.err;
    EXPECT_EQ(entry.top("allocated at:"), at_line("// alloc:write-past-small")) << r.err;
}

TEST_F(MemvexGuardPages, AReadOfAFreedBlockInGuardModeShowsAllThreeStacks) {
    const RunResult r = run("guarded", "read-after-free");
    EXPECT_EQ(r.status, 128 + SIGSEGV);
    EXPECT_EQ(error_kinds(r.err), std::vector<std::string>{"access-after-free"}) << r.err;
    EXPECT_NE(r.err.find("inside the freed block of 24 bytes at 0x"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("(offset 3)"), std::string::npos) << r.err;
    const ReportEntry entry = entry_of(r.err, "access-after-free");
    EXPECT_EQ(entry.top("allocated at:"), at_line("// alloc:read-after-free")) << r.err;
    EXPECT_EQ(entry.top("freed at:"), at_line("// free:read-after-free")) << r.err;
}

TEST_F(MemvexGuardPages, TheProgramsOwnFaultsReachItsOwnHandlers) {
    RunResult r = run("guarded", "own-handler");
    EXPECT_EQ(r.status, 42) << r.err;
    EXPECT_EQ(r.out, "caught at 16\n");
    EXPECT_EQ(r.err, "");
    r = run("prog", "own-signal");
    EXPECT_EQ(r.status, 43) << r.err;
    EXPECT_EQ(r.out, "plain caught\n");
    EXPECT_EQ(r.err, "");
    // Without a handler of its own the program dies as it would unchecked.
    r = run("prog", "no-handler");
    EXPECT_EQ(r.status, 128 + SIGSEGV);
    EXPECT_EQ(r.err, "");
}

TEST_F(MemvexGuardPages, PastTheMappingBudgetBlocksGetRedZonesAndTheSummarySaysSo) {
    const RunResult r = run("guarded", "many");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "many done\n");
    EXPECT_EQ(error_kinds(r.err), std::vector<std::string>{"double-free"}) << r.err;
    EXPECT_NE(r.err.find(" blocks got red zones only\n"), std::string::npos) << r.err;
    // Without guard mode nothing runs short.
    const RunResult plain = run("prog", "many");
    EXPECT_EQ(plain.err.find("guard pages ran out"), std::string::npos) << plain.err;
}

}  // namespace
