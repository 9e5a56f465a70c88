// The heap checker's runtime in a program that loads it as an instrumented
// copy does: the stacks that go with an error, in libraries loaded late too,
// the quarantine, guard pages, and the run settings the copy carries. Each
// kind at its line is the corpus test's.
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

// Loaded by the program after its first report was symbolised, then closed
// and loaded again under another name at a shifted line: the symboliser must
// learn about each library, even one taking the place another left.
const std::string k_late_lib_source = R"(#include <stdlib.h>
void lib_frees_twice(void) {
    char* p = malloc(4);
    free(p);
    free(p);  // at:lib
}
)";

const std::string k_source = R"(#include <dlfcn.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
static char not_heap[64];
static bool is(const char* a, const char* b) { return std::strcmp(a, b) == 0; }
static void* kept[20000];
static void on_segv(int, siginfo_t* info, void*) {
    const char* text = info->si_addr == (void*)16 ? "caught at 16\n" : "caught elsewhere\n";
    write(1, text, strlen(text));
    _exit(42);
}
static void on_segv_plain(int) {
    write(1, "plain caught\n", 13);
    _exit(43);
}
static void run(const char* c) {
    if (c[0] == '/') {
        void* lib = dlopen(c, RTLD_NOW);
        ((void (*)())dlsym(lib, "lib_frees_twice"))();
        dlclose(lib);
    }
    if (is(c, "double-free")) {
        char* p = (char*)malloc(24);
        free(p);
        free(p);
    } else if (is(c, "invalid-free")) {
        free(not_heap + 16);
    } else if (is(c, "quarantine")) {
        char* p = (char*)malloc(64);
        free(p);
        p[5] = 'x';
        for (int i = 0; i < 40; ++i) free(malloc(1 << 20));
        fprintf(stderr, "churned\n");
        char* q = (char*)malloc(64);
        free(q);
        q[1] = 'y';
    } else if (is(c, "overflow-at-exit")) {
        static char* kept = (char*)malloc(10);
        kept[12] = 1;
    } else if (is(c, "realloc-stacks")) {
        char* p = (char*)malloc(8);  // alloc:realloc-stacks
        char* q = (char*)realloc(p, 64);  // realloc:stacks
        free(p);  // at:realloc-stacks
        q[64] = 1;
        free(q);  // overflow:realloc-stacks
    } else if (is(c, "write-past-small")) {
        char* p = (char*)malloc(32);  // alloc:write-past-small
        p[32] = 1;  // at:write-past-small
        free(p);
    } else if (is(c, "read-after-free")) {
        char* p = (char*)malloc(24);  // alloc:read-after-free
        free(p);  // free:read-after-free
        volatile char x = p[3];
        (void)x;
    } else if (is(c, "own-handler")) {
        struct sigaction action, seen;
        memset(&action, 0, sizeof action);
        action.sa_sigaction = on_segv;
        action.sa_flags = SA_SIGINFO;
        sigaction(SIGSEGV, &action, NULL);
        sigaction(SIGSEGV, NULL, &seen);
        if (seen.sa_sigaction != on_segv) puts("handler hidden");
        *(volatile int*)16 = 1;
    } else if (is(c, "own-signal")) {
        signal(SIGSEGV, on_segv_plain);
        if (signal(SIGSEGV, on_segv_plain) != on_segv_plain) puts("handler hidden");
        *(volatile int*)16 = 1;
    } else if (is(c, "no-handler")) {
        *(volatile int*)16 = 1;
    } else if (is(c, "many")) {
        for (int i = 0; i < 20000; ++i) kept[i] = malloc(8);
        void* mine = malloc(8);
        free(mine);
        free(mine);
    } else if (is(c, "fill")) {
        unsigned char* m = (unsigned char*)malloc(8);
        unsigned char* z = (unsigned char*)calloc(8, 1);
        unsigned char* r = (unsigned char*)realloc(malloc(1), 8);
        printf("fill %02x %02x %02x\n", m[5], z[5], r[5]);
        free(m); free(z); free(r);
    }
}
int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) run(argv[i]);
    puts("end");
    return argc > 1 && is(argv[argc - 1], "status3") ? 3 : 0;
}
)";

class MemvexErrors : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new ryn_test::TempDir;
        ASSERT_TRUE(ryn_test::build_checked(k_source, *dir_ / "prog", true));
        ASSERT_TRUE(ryn_test::compile_c(k_late_lib_source, *dir_ / "liblate.so", "-shared -fPIC"));
        ASSERT_TRUE(ryn_test::compile_c("\n\n" + k_late_lib_source, *dir_ / "libreused.so",
                                        "-shared -fPIC"));
    }
    static void TearDownTestSuite() { delete dir_; }

    // Runs the program, with its run settings embedded when records are given.
    RunResult run(const std::vector<std::string>& args,
                  const std::vector<std::string>& records = {}) {
        return ryn_test::run_checked(*dir_ / "prog", args, records);
    }
    static std::string at_line(const std::string& marker) {
        return "prog.cpp:" + std::to_string(ryn_test::line_of(k_source, marker));
    }

    static ryn_test::TempDir* dir_;
};
ryn_test::TempDir* MemvexErrors::dir_ = nullptr;

// A write after free is found when the block leaves the quarantine, long
// before exit, once enough other memory has been freed after it; the rest at
// exit. Each report says where in the block the damage is.
TEST_F(MemvexErrors, QuarantineChecksBlocksWhenTheyLeaveAndTheRestAtExit) {
    const RunResult r = run({"quarantine"});
    EXPECT_EQ(error_kinds(r.err),
              (std::vector<std::string>{"write-after-free", "write-after-free"}))
        << r.err;
    const size_t first = r.err.find("(offset 5)");
    const size_t marker = r.err.find("churned\n");
    const size_t second = r.err.find("(offset 1)");
    ASSERT_NE(first, std::string::npos) << r.err;
    ASSERT_NE(second, std::string::npos) << r.err;
    EXPECT_LT(first, marker);
    EXPECT_LT(marker, second);
    EXPECT_NE(run({"overflow-at-exit"}).err.find("(3 bytes past its end)"), std::string::npos);
}

TEST_F(MemvexErrors, ErrorsPastTheLimitStillCountInTheSummary) {
    const RunResult r = run({"double-free", "double-free", "invalid-free"}, {"12 1"});
    EXPECT_EQ(error_kinds(r.err), std::vector<std::string>{"double-free"}) << r.err;
    EXPECT_NE(r.err.find("memvex: summary: 3 errors (double-free 2, invalid-free 1), 0 suppressed"),
              std::string::npos)
        << r.err;
}

TEST_F(MemvexErrors, ErrorsInALibraryLoadedLaterAreSymbolisedToItsLines) {
    const RunResult r = run({"invalid-free", *dir_ / "liblate.so", *dir_ / "libreused.so"});
    const auto entries = ryn_test::report_entries(r.err);
    ASSERT_EQ(error_kinds(r.err),
              (std::vector<std::string>{"invalid-free", "double-free", "double-free"}))
        << r.err;
    const int line = ryn_test::line_of(k_late_lib_source, "at:lib");
    const std::vector<std::string> expected_tops{"liblate.so.c:" + std::to_string(line),
                                                 "libreused.so.c:" + std::to_string(line + 2)};
    for (size_t i = 0; i < expected_tops.size(); ++i) {
        const ReportEntry& entry = entries[i + 1];
        ASSERT_FALSE(entry.frames().empty()) << r.err;
        EXPECT_NE(entry.frames()[0].find(" in lib_frees_twice "), std::string::npos) << r.err;
        EXPECT_EQ(entry.top(), expected_tops[i]) << r.err;
    }
}

// The status replaces a success only: the corpus and leak tests show that.
TEST_F(MemvexErrors, ExitStatusLeavesTheProgramsOwnFailureAlone) {
    EXPECT_EQ(run({"double-free", "status3"}, {"14 9"}).status, 3);
}

TEST_F(MemvexErrors, CompactReportsAndStackDepthShapeTheStacksShown) {
    RunResult r = run({"double-free"}, {"20 1"});
    EXPECT_EQ(r.err.find("allocated at:"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("freed at:"), std::string::npos) << r.err;
    EXPECT_GE(entry_of(r.err, "double-free").frames().size(), 2u);

    r = run({"double-free"}, {"10 1"});
    EXPECT_EQ(entry_of(r.err, "double-free").frames().size(), 1u) << r.err;
    EXPECT_NE(r.err.find("allocated at:\n    #0 "), std::string::npos);
    EXPECT_EQ(r.err.find("    #1 "), std::string::npos) << r.err;
}

// A double free shows the call, then where the block was allocated and first
// freed. One stack serves both halves of a realloc: each must still be the call.
TEST_F(MemvexErrors, ReallocIsBothTheOldBlocksFreeAndTheNewBlocksAllocation) {
    const RunResult r = run({"realloc-stacks"});
    EXPECT_EQ(error_kinds(r.err), (std::vector<std::string>{"double-free", "overflow-write"}))
        << r.err;
    const std::string realloc_line = at_line("// realloc:stacks");
    const ReportEntry twice = entry_of(r.err, "double-free");
    ASSERT_EQ(twice.stacks.size(), 3u) << r.err;
    EXPECT_EQ(twice.stacks[1].first, "allocated at:") << r.err;
    EXPECT_EQ(twice.stacks[2].first, "freed at:") << r.err;
    const auto frames = twice.frames();
    ASSERT_FALSE(frames.empty()) << r.err;
    EXPECT_EQ(frames[0].rfind("    #0 0x", 0), 0u) << frames[0];
    EXPECT_NE(frames[0].find(" in run("), std::string::npos) << frames[0];
    EXPECT_EQ(twice.top(), at_line("// at:realloc-stacks")) << r.err;
    EXPECT_EQ(twice.top("allocated at:"), at_line("// alloc:realloc-stacks")) << r.err;
    EXPECT_EQ(twice.top("freed at:"), realloc_line) << r.err;
    const ReportEntry overflow = entry_of(r.err, "overflow-write");
    EXPECT_EQ(overflow.top(), at_line("// overflow:realloc-stacks")) << r.err;
    EXPECT_EQ(overflow.top("allocated at:"), realloc_line) << r.err;
}

TEST_F(MemvexErrors, FillMarksNewBytesButCallocStaysZero) {
    EXPECT_EQ(run({"fill"}, {"18 1"}).out, "fill be 00 be\nend\n");
    const RunResult plain = run({"fill"});
    EXPECT_NE(plain.out.find(" 00 "), std::string::npos);
    EXPECT_EQ(plain.err, "");
}

// Guard pages: an access just past a block, or into a freed block, in guard
// mode is caught at the instruction and reported with its line before the
// process dies of the signal; the program's own faults still reach its own
// handlers; and the mapping budget is kept. Large blocks are guarded always,
// which the corpus shows.
const std::vector<std::string> k_guard = {"2 1"};

TEST_F(MemvexErrors, SmallBlocksAreGuardedInGuardMode) {
    const RunResult r = run({"write-past-small"}, k_guard);
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

TEST_F(MemvexErrors, AReadOfAFreedBlockInGuardModeShowsAllThreeStacks) {
    const RunResult r = run({"read-after-free"}, k_guard);
    EXPECT_EQ(r.status, 128 + SIGSEGV);
    EXPECT_EQ(error_kinds(r.err), std::vector<std::string>{"access-after-free"}) << r.err;
    EXPECT_NE(r.err.find("inside the freed block of 24 bytes at 0x"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("(offset 3)"), std::string::npos) << r.err;
    const ReportEntry entry = entry_of(r.err, "access-after-free");
    EXPECT_EQ(entry.top("allocated at:"), at_line("// alloc:read-after-free")) << r.err;
    EXPECT_EQ(entry.top("freed at:"), at_line("// free:read-after-free")) << r.err;
}

TEST_F(MemvexErrors, TheProgramsOwnFaultsReachItsOwnHandlers) {
    RunResult r = run({"own-handler"}, k_guard);
    EXPECT_EQ(r.status, 42) << r.err;
    EXPECT_EQ(r.out, "caught at 16\n");
    EXPECT_EQ(r.err, "");
    r = run({"own-signal"});
    EXPECT_EQ(r.status, 43) << r.err;
    EXPECT_EQ(r.out, "plain caught\n");
    EXPECT_EQ(r.err, "");
    // Without a handler of its own the program dies as it would unchecked.
    r = run({"no-handler"});
    EXPECT_EQ(r.status, 128 + SIGSEGV);
    EXPECT_EQ(r.err, "");
}

TEST_F(MemvexErrors, PastTheMappingBudgetBlocksGetRedZonesAndTheSummarySaysSo) {
    const RunResult r = run({"many"}, k_guard);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "end\n");
    EXPECT_EQ(error_kinds(r.err), std::vector<std::string>{"double-free"}) << r.err;
    EXPECT_NE(r.err.find(" blocks got red zones only\n"), std::string::npos) << r.err;
    // Without guard mode nothing runs short.
    const RunResult plain = run({"many"});
    EXPECT_EQ(plain.err.find("guard pages ran out"), std::string::npos) << plain.err;
}

}  // namespace
