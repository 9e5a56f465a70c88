// A counting run leaves exact counts: every execution of a block, both edges
// of each branch with the flags a counted block tests kept, the calls of each
// function apart from its loops and returns to its entry, each side of a fork
// its own executions only; the coverage way notes blocks per process.
// (Counts under threads: the lock prefix test; runs of one build adding up:
// the data writer test; next to the program's own traps: the signal test.)
#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "coverage/instr_data.h"
#include "support/runtime_support.h"

using namespace ryn_test;

namespace {

// count_down and hop: an entry block that is also a loop head, reached again
// by a conditional branch (count_down) or by a block ending in a jump (hop):
// those returns to the entry are no calls. less: flags set before a block and
// tested in it. It compares at the entry, and the block the jl ends is a jump
// target of its own, so a jump site's trampoline counts it between the cmp
// and the jl; its counter update must leave OF and SF as the cmp set them.
const char* const k_counted = R"(#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>
__asm__(".text\n.globl count_down\n.type count_down,@function\ncount_down:\n"
        "  sub $1, %rdi\n  jnz count_down\n  ret\n.size count_down, .-count_down\n"
        ".globl hop\n.type hop,@function\nhop:\n"
        "  dec %edi\n  je 1f\n  jmp hop\n1:\n  ret\n.size hop, .-hop\n"
        ".globl less\n.type less,@function\nless:\n"
        "  test %edx, %edx\n  jz 1f\n  cmp %rsi, %rdi\n  jmp 2f\n"
        "1:\n  cmp %rsi, %rdi\n"
        "2:\n  mov %rdi, %rax\n  mov %rsi, %rcx\n  jl 3f\n"
        "  mov $0, %eax\n  ret\n"
        "3:\n  mov $1, %eax\n  ret\n.size less, .-less\n");
void count_down(long n);
void hop(int n);
long less(long a, long b, int via);
void call_all(void);
static volatile long sink;
int spin(int n) {
    int hits = 0;
    for (int i = 0; i < n; ++i)
        if (i % 3 == 0)
            ++hits;
    return hits;
}
void in_child(void) { sink += 2; }
void in_parent(void) { sink += 3; }
int main(void) {
    call_all();
    int total = 0;
    for (int k = 0; k < 7; ++k)
        total += spin(100);
    for (int i = 0; i < 3; ++i)
        count_down(10);
    for (int i = 0; i < 5; ++i)
        hop(4);
    static const long pairs[][2] = {{1, 2}, {2, 1}, {-5, 3}, {3, -5}, {7, 7}, {-9, -8}, {-8, -9}};
    int yes = 0, wrong = 0;
    for (int round = 0; round < 10; ++round)
        for (int i = 0; i < 14; ++i) {
            long is_less = less(pairs[i / 2][0], pairs[i / 2][1], i & 1);
            yes += is_less;
            wrong += is_less != (pairs[i / 2][0] < pairs[i / 2][1]);
        }
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        for (int i = 0; i < 3; ++i)
            in_child();
        _exit(0);
    }
    waitpid(pid, NULL, 0);
    for (int i = 0; i < 2; ++i)
        in_parent();
    printf("%d %ld less %d wrong %d\n", total, sink, yes, wrong);
    return 0;
}
)";

// Thousands of small functions more, each called once: sites fall across
// page boundaries, and every block, branch and call is written.
constexpr int k_functions = 2000;
std::string counted_source() {
    std::string source = k_counted, table;
    for (int n = 0; n < k_functions; ++n) {
        const std::string i = std::to_string(n);
        source += "int f" + i + "(int x) { if (x & 1) return x * 3; return x + " + i + "; }\n";
        table += "f" + i + ",";
    }
    return source + "int (*const table[])(int) = {" + table + "};\n" +
           "void call_all(void) { for (int i = 0; i < " + std::to_string(k_functions) +
           "; ++i) table[i](i); }\n";
}

class CountedRun : public ProbedProgramTest {
protected:
    coverage::InstrData run_once(const std::vector<std::string>& records) {
        build(counted_source(), "", records);
        run_shell("rm -rf d", dir.path());
        EXPECT_EQ(run_alike().out, "238 6 less 60 wrong 0\n");
        return counted();
    }

    // The calls of the fixture's own functions, or the counts of their entries.
    static std::map<std::string, uint64_t> calls(const coverage::InstrData& data,
                                                 bool entries = false) {
        std::map<std::string, uint64_t> by_function;
        for (const char* own : {"in_child", "in_parent", "main", "spin"}) {
            by_function[own] = entries ? entry_of(data, own).count : calls_of(data, own);
        }
        return by_function;
    }
};

using Calls = std::map<std::string, uint64_t>;
using Edges = std::vector<std::pair<uint64_t, uint64_t>>;

TEST_F(CountedRun, CountsEveryExecutionAcrossAForkOnce) {
    const coverage::InstrData data = run_once({"33 both"});
    EXPECT_TRUE(data.counts_exact);
    // The child counts in_child alone: what its parent ran before the fork
    // is written by the parent.
    EXPECT_EQ(calls(data), (Calls{{"in_child", 3}, {"in_parent", 2}, {"main", 1}, {"spin", 7}}));
    EXPECT_EQ(entry_of(data, "spin").count, 7u);
    // The loop test runs 101 times a call, the if 100 times (34 hold); the
    // compiler decides which edge is the taken one.
    Edges spin;
    for (const auto& [a, b] : branches_of(data, "spin")) {
        spin.emplace_back(std::min(a, b), std::max(a, b));
    }
    std::ranges::sort(spin);
    EXPECT_EQ(spin, (Edges{{7, 700}, {238, 462}}));

    EXPECT_EQ(entry_of(data, "count_down").count, 30u);
    EXPECT_EQ(calls_of(data, "count_down"), 3u);
    EXPECT_EQ(entry_of(data, "hop").count, 20u);
    EXPECT_EQ(calls_of(data, "hop"), 5u);
    EXPECT_EQ(branches_of(data, "count_down"), (Edges{{27, 3}}));
    EXPECT_EQ(branches_of(data, "hop"), (Edges{{5, 15}}));
    EXPECT_EQ(calls_of(data, "less"), 140u);
    // The entry's branch, then the jl: 60 of the 140 calls find a < b.
    const Edges less = branches_of(data, "less");
    ASSERT_EQ(less.size(), 2u);
    EXPECT_EQ(less[0].first + less[0].second, 140u);
    EXPECT_EQ(less[1], (Edges::value_type{60, 80}));

    int called_once = 0, decided_once = 0;
    for (int i = 0; i < k_functions; ++i) {
        const std::string name = "f" + std::to_string(i);
        called_once += calls_of(data, name) == 1;
        const Edges branches = branches_of(data, name);
        decided_once += branches.size() == 1 && branches[0].first + branches[0].second == 1;
    }
    EXPECT_EQ(called_once, k_functions);
    EXPECT_EQ(decided_once, k_functions);
}

TEST_F(CountedRun, EachSideOfAForkRecordsOnlyWhenAsked) {
    EXPECT_EQ(calls(run_once({"33 child"})),
              (Calls{{"in_child", 3}, {"in_parent", 0}, {"main", 0}, {"spin", 0}}));
    EXPECT_EQ(calls(run_once({"33 parent"})),
              (Calls{{"in_child", 0}, {"in_parent", 2}, {"main", 1}, {"spin", 7}}));
}

// The coverage way notes each block once a process: a fork child has also
// reached what its parent reached before the fork.
TEST_F(CountedRun, UnderTheCoverageWayAForkChildAlsoHasItsParentsBlocks) {
    const coverage::InstrData data = run_once({"1 zentor", "33 both"});
    EXPECT_FALSE(data.counts_exact);
    EXPECT_EQ(calls(data, true),
              (Calls{{"in_child", 1}, {"in_parent", 1}, {"main", 2}, {"spin", 2}}));
}

}  // namespace
