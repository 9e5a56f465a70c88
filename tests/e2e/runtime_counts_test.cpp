// A counting run leaves exact counts: every execution of a block, both edges
// of each branch, the calls of each function apart from its loops, each side
// of a fork its own executions only. (Counts under threads: the lock prefix
// test; runs of one build adding up: the data writer test.)
#include <algorithm>
#include <map>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "coverage/instr_data.h"
#include "support/runtime_support.h"

using namespace ryn_test;

namespace {

const char* const k_counted = R"(#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>
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
    int total = 0;
    for (int k = 0; k < 7; ++k)
        total += spin(100);
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
    printf("%d %ld\n", total, sink);
    return 0;
}
)";

class CountedRun : public ProbedProgramTest {
protected:
    coverage::InstrData run_once(const std::vector<std::string>& records) {
        build(k_counted, "", records);
        run_shell("rm -rf d", dir.path());
        EXPECT_EQ(run_alike().out, "238 6\n");
        return counted();
    }

    // The calls of the fixture's own functions.
    static std::map<std::string, uint64_t> calls(const coverage::InstrData& data) {
        std::map<std::string, uint64_t> by_function;
        for (const char* own : {"in_child", "in_parent", "main", "spin"}) {
            by_function[own] = calls_of(data, own);
        }
        return by_function;
    }
};

using Calls = std::map<std::string, uint64_t>;

TEST_F(CountedRun, CountsEveryExecutionAcrossAForkOnce) {
    const coverage::InstrData data = run_once({"33 both"});
    EXPECT_TRUE(data.counts_exact);
    // The child counts in_child alone: what its parent ran before the fork
    // is written by the parent.
    EXPECT_EQ(calls(data), (Calls{{"in_child", 3}, {"in_parent", 2}, {"main", 1}, {"spin", 7}}));
    EXPECT_EQ(entry_of(data, "spin").count, 7u);
    // The loop test runs 101 times a call, the if 100 times (34 hold).
    const auto spin = branches_of(data, "spin");
    auto has = [&](uint64_t a, uint64_t b) {
        return std::ranges::count(spin, std::pair{a, b}) +
                   std::ranges::count(spin, std::pair{b, a}) ==
               1;
    };
    EXPECT_TRUE(has(700, 7)) << testing::PrintToString(spin);
    EXPECT_TRUE(has(238, 462)) << testing::PrintToString(spin);
}

TEST_F(CountedRun, EachSideOfAForkRecordsOnlyWhenAsked) {
    EXPECT_EQ(calls(run_once({"33 child"})),
              (Calls{{"in_child", 3}, {"in_parent", 0}, {"main", 0}, {"spin", 0}}));
    EXPECT_EQ(calls(run_once({"33 parent"})),
              (Calls{{"in_child", 0}, {"in_parent", 2}, {"main", 1}, {"spin", 7}}));
}

// Thousands of small functions, each called once: sites fall across page
// boundaries, and every block, branch and call is written.
TEST_F(ProbedProgramTest, EveryFunctionOfALargeProgramIsCountedOnce) {
    const int functions = 2000;
    std::string source = "#include <stdio.h>\n";
    std::string table = "int (*const table[])(int) = {\n";
    for (int i = 0; i < functions; ++i) {
        const std::string name = "f" + std::to_string(i);
        source += "int " + name + "(int x) { if (x & 1) return x * 3; return x + " +
                  std::to_string(i) + "; }\n";
        table += "    " + name + ",\n";
    }
    source += table + "};\n" + R"(int main(void) {
    long s = 0;
    for (unsigned i = 0; i < sizeof table / sizeof table[0]; ++i)
        s += table[i]((int)i);
    printf("%ld\n", s);
    return 0;
}
)";
    build(source);
    EXPECT_EQ(run_alike().status, 0);
    const coverage::InstrData data = counted();
    EXPECT_TRUE(data.counts_exact);
    int called_once = 0;
    int decided_once = 0;
    for (int i = 0; i < functions; ++i) {
        const std::string name = "f" + std::to_string(i);
        called_once += calls_of(data, name) == 1;
        const auto branches = branches_of(data, name);
        decided_once += branches.size() == 1 && branches[0].first + branches[0].second == 1;
    }
    EXPECT_EQ(called_once, functions);
    EXPECT_EQ(decided_once, functions);
}

}  // namespace
