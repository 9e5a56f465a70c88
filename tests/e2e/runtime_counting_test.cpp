// The counting way: a probed copy counts every execution exactly past loops
// back to a function's entry, next to the program's own SIGTRAP handler, and
// with the flags a counted block tests kept. (Under threads: the lock prefix
// tests; the coverage front end's copies: the corpus test.)
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "coverage/instr_data.h"
#include "support/runtime_support.h"

using namespace ryn_test;

namespace {

// An entry block that is also a loop head, reached again by a conditional
// branch (count_down) or by a block ending in a jump (spin): those returns
// to the entry are no calls.
const char* const k_entry_loop_source = R"(#include <stdio.h>
__asm__(".text\n.globl count_down\n.type count_down,@function\ncount_down:\n"
        "  sub $1, %rdi\n  jnz count_down\n  ret\n.size count_down, .-count_down\n"
        ".globl spin\n.type spin,@function\nspin:\n"
        "  dec %edi\n  je 1f\n  jmp spin\n1:\n  ret\n.size spin, .-spin\n");
void count_down(long n);
void spin(int n);
int main(void) {
    for (int i = 0; i < 3; ++i)
        count_down(10);
    for (int i = 0; i < 5; ++i)
        spin(4);
    puts("done");
    return 0;
}
)";

// Traps of the program's own, caught by its own handler, between counted calls.
const char* const k_own_trap_source = R"(#include <signal.h>
#include <stdio.h>
#include <string.h>
static volatile int caught;
static void on_trap(int sig) { (void)sig; ++caught; }
__attribute__((noinline)) int step(int i) { return i * 3 + 1; }
int main(void) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_trap;
    sigaction(SIGTRAP, &sa, 0);
    int total = 0;
    for (int i = 0; i < 7; ++i) {
        total += step(i);
        if (i % 2 == 0)
            __asm__ volatile("int3");
    }
    raise(SIGTRAP);
    printf("caught %d total %d\n", caught, total);
    return 0;
}
)";

// Flags set before a block and tested in it: "less" compares at the entry,
// and the block the jl ends is a jump target of its own, so a jump site's
// trampoline counts it between the cmp and the jl. Its counter update must
// leave OF and SF as the cmp set them.
const char* const k_flags_source = R"(#include <stdio.h>
__asm__(".text\n.globl less\n.type less,@function\nless:\n"
        "  test %edx, %edx\n  jz 1f\n  cmp %rsi, %rdi\n  jmp 2f\n"
        "1:\n  cmp %rsi, %rdi\n"
        "2:\n  mov %rdi, %rax\n  mov %rsi, %rcx\n  jl 3f\n"
        "  mov $0, %eax\n  ret\n"
        "3:\n  mov $1, %eax\n  ret\n.size less, .-less\n");
long less(long a, long b, int via);
int main(void) {
    static const long pairs[][2] = {{1, 2}, {2, 1}, {-5, 3}, {3, -5}, {7, 7}, {-9, -8}, {-8, -9}};
    int yes = 0, no = 0;
    for (int round = 0; round < 10; ++round)
        for (int i = 0; i < 7; ++i)
            for (int via = 0; via < 2; ++via) {
                if (less(pairs[i][0], pairs[i][1], via) != (pairs[i][0] < pairs[i][1])) {
                    printf("wrong for %ld %ld\n", pairs[i][0], pairs[i][1]);
                    return 1;
                }
                less(pairs[i][0], pairs[i][1], via) ? ++yes : ++no;
            }
    printf("less %d not %d\n", yes, no);
    return 0;
}
)";

using Edges = std::vector<std::pair<uint64_t, uint64_t>>;

class CountingRuns : public ProbedProgramTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(CountingRuns, ReturnsToTheEntryFromInsideAreNoCalls) {
    ASSERT_NO_FATAL_FAILURE(build(k_entry_loop_source, GetParam(), {"1 ryn"}));
    EXPECT_EQ(run_alike().out, "done\n");
    const coverage::InstrData data = counted();
    EXPECT_EQ(entry_of(data, "count_down").count, 30u);
    EXPECT_EQ(calls_of(data, "count_down"), 3u);
    EXPECT_EQ(entry_of(data, "spin").count, 20u);
    EXPECT_EQ(calls_of(data, "spin"), 5u);
    EXPECT_EQ(branches_of(data, "count_down"), (Edges{{27, 3}}));
    EXPECT_EQ(branches_of(data, "spin"), (Edges{{5, 15}}));
}

TEST_P(CountingRuns, TheProgramsOwnTrapHandlerStillGetsItsTraps) {
    ASSERT_NO_FATAL_FAILURE(build(k_own_trap_source, GetParam(), {"1 ryn"}));
    const RunResult result = run_alike();
    EXPECT_EQ(result.out, "caught 5 total 70\n");
    const coverage::InstrData data = counted();
    EXPECT_TRUE(data.counts_exact);
    EXPECT_EQ(calls_of(data, "step"), 7u);
    EXPECT_EQ(calls_of(data, "on_trap"), 5u);
}

TEST_P(CountingRuns, FlagsSetBeforeACountedBlockStillDecideItsBranch) {
    ASSERT_NO_FATAL_FAILURE(build(k_flags_source, GetParam(), {"1 ryn"}));
    EXPECT_EQ(run_alike().out, "less 60 not 80\n");
    const coverage::InstrData data = counted();
    EXPECT_TRUE(data.counts_exact);
    EXPECT_EQ(calls_of(data, "less"), 280u);
    // The entry's branch, then the jl: 120 of the 280 calls find a < b.
    const Edges branches = branches_of(data, "less");
    ASSERT_EQ(branches.size(), 2u);
    EXPECT_EQ(branches[0].first + branches[0].second, 280u);
    EXPECT_EQ(branches[1], (Edges::value_type{120, 160}));
}

INSTANTIATE_TEST_SUITE_P(Builds, CountingRuns, ::testing::Values("-O0 -g", "-O2 -g", "-O2 -no-pie"),
                         [](const auto& info) { return flags_name(info.param); });

}  // namespace
