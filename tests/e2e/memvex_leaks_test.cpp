// The heap checker's leak scan at exit: what counts as reachable (globals,
// other threads' stacks and TLS, blocks reached from blocks), that it runs
// after every destructor and exit handler, how leaks are grouped, and how the
// run settings shape the report.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/e2e_support.h"
#include "support/memvex_support.h"

namespace {

using ryn_test::error_kinds;
using ryn_test::line_of;
using ryn_test::RunResult;

// Pointers the destructor and exit handler need are kept hidden from a
// conservative scan, so that a scan run before them would call their blocks
// leaked.
const std::string k_library_source = R"(#include <stdint.h>
#include <stdlib.h>
static uintptr_t hidden;
__attribute__((constructor)) static void take(void) { hidden = ~(uintptr_t)malloc(21); }
__attribute__((destructor)) static void give_back(void) { free((void *)~hidden); }
)";

const std::string k_source = R"(#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
struct Node { Node* next; char payload[24]; };
static Node* list;
static void* kept;
static uintptr_t hidden_for_exit, hidden_for_destructor;
struct Owner {
    ~Owner() { free((void*)~hidden_for_destructor); }
} owner;
static void at_exit_handler() { free((void*)~hidden_for_exit); }
static void leak_small() {
    for (int i = 0; i < 3; ++i) {
        char* p = (char*)malloc(100);  // leak:small
        memset(p, 1, 100);
    }
}
static void leak_big() {
    void* p = malloc(1000);  // leak:big
    memset(p, 2, 1000);
}
static void leak_cycle() {
    Node* a = new Node;  // leak:cycle
    Node* b = new Node;  // leak:cycle-second
    a->next = b;
    b->next = a;
}
static void scrub() {
    volatile char junk[8192];
    memset((char*)junk, 0, sizeof junk);
}
int main(int argc, char** argv) {
    kept = malloc(40);  // kept:global
    for (int i = 0; i < 4; ++i) {
        Node* n = new Node;  // kept:list
        n->next = list;
        list = n;
    }
    hidden_for_exit = ~(uintptr_t)malloc(11);
    hidden_for_destructor = ~(uintptr_t)malloc(12);
    atexit(at_exit_handler);
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "small") == 0) leak_small();
        if (strcmp(argv[i], "big") == 0) leak_big();
        if (strcmp(argv[i], "cycle") == 0) leak_cycle();
    }
    scrub();
    puts("end");
    return 0;
}
)";

class MemvexLeaks : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new ryn_test::TempDir;
        ASSERT_TRUE(ryn_test::compile_c(k_library_source, *dir_ / "libhidden.so", "-shared -fPIC"));
        ASSERT_TRUE(ryn_test::build_checked(k_source, *dir_ / "prog", true,
                                            "'" + std::string(*dir_ / "libhidden.so") + "'"));
    }
    static void TearDownTestSuite() { delete dir_; }

    RunResult run(const std::vector<std::string>& args,
                  const std::vector<std::string>& records = {}) {
        return ryn_test::run_checked(*dir_ / "prog", args, records);
    }
    static std::string at_line(const std::string& marker) {
        return "prog.cpp:" + std::to_string(line_of(k_source, marker));
    }

    static ryn_test::TempDir* dir_;
};
ryn_test::TempDir* MemvexLeaks::dir_ = nullptr;

TEST_F(MemvexLeaks, AProgramThatLeaksNothingStaysSilent) {
    // Blocks freed by an exit handler, a static object's destructor and a
    // library's destructor are no leaks: the scan runs after all of them.
    const RunResult r = run({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "end\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(MemvexLeaks, LeaksAreGroupedByAllocationStackBiggestFirst) {
    const RunResult r = run({"small", "big"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(error_kinds(r.err), (std::vector<std::string>{"leak", "leak"})) << r.err;
    const size_t big = r.err.find("memvex: error: leak: 1000 bytes in 1 blocks allocated at:\n");
    const size_t small = r.err.find("memvex: error: leak: 300 bytes in 3 blocks allocated at:\n");
    ASSERT_NE(big, std::string::npos) << r.err;
    ASSERT_NE(small, std::string::npos) << r.err;
    EXPECT_LT(big, small);
    const auto frames = ryn_test::entry_of(r.err, "leak").frames();
    ASSERT_GE(frames.size(), 2u) << r.err;
    EXPECT_EQ(ryn_test::entry_of(r.err, "leak").top(), at_line("// leak:big")) << r.err;
    EXPECT_NE(frames[1].find(" in main "), std::string::npos) << frames[1];
    // The summary comes last and counts blocks, not groups, for the bytes.
    const size_t summary = r.err.find(
        "memvex: summary: 2 errors (leak 2), 0 suppressed; "
        "leaked 1300 bytes in 4 blocks; still reachable ");
    ASSERT_NE(summary, std::string::npos) << r.err;
    EXPECT_GT(summary, small);
}

TEST_F(MemvexLeaks, ACycleNobodyPointsAtIsLeakedWhileAListFromAGlobalIsNot) {
    const RunResult r = run({"cycle"});
    EXPECT_EQ(error_kinds(r.err), (std::vector<std::string>{"leak", "leak"})) << r.err;
    EXPECT_NE(r.err.find(at_line("// leak:cycle")), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(at_line("// leak:cycle-second")), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(at_line("// kept:list")), std::string::npos) << r.err;
}

TEST_F(MemvexLeaks, ReachableBlocksAreListedOnlyWhenAskedAndNeverCountAsErrors) {
    RunResult r = run({"big"}, {"16 1"});
    const std::string list =
        "memvex: error: still-reachable: 128 bytes in 4 blocks allocated at:\n";
    const size_t at = r.err.find(list);
    ASSERT_NE(at, std::string::npos) << r.err;
    EXPECT_NE(r.err.find(at_line("// kept:list"), at), std::string::npos) << r.err;
    // Listing is no finding: without leaks the list comes without a summary.
    r = run({}, {"16 1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("still-reachable: 40 bytes in 1 blocks"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("memvex: error: leak:"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("summary"), std::string::npos) << r.err;
}

TEST_F(MemvexLeaks, SuppressionAndTheExitStatusApplyToLeaks) {
    RunResult r = run({"big"}, {"27 leak"});
    EXPECT_EQ(error_kinds(r.err).size(), 0u) << r.err;
    EXPECT_NE(r.err.find("memvex: summary: 0 errors, 1 suppressed; leaked 1000 bytes in 1 blocks"),
              std::string::npos)
        << r.err;
    r = run({"big"}, {"14 7"});
    EXPECT_EQ(r.status, 7) << r.err;
    EXPECT_EQ(run({"big"}, {"14 7", "27 leak"}).status, 0);
    EXPECT_EQ(r.out, "end\n");
}

// The JSON result carries each leak entry and the totals.
TEST_F(MemvexLeaks, TheJsonResultHasTheLeaksAndTheirTotals) {
    ryn_test::TempDir results;
    const RunResult r = run({"big"}, {"29 " + results.path()});
    EXPECT_EQ(error_kinds(r.err), std::vector<std::string>{"leak"}) << r.err;
    const auto names = ryn_e2e::files_ending_in(results.path(), ".json");
    ASSERT_EQ(names.size(), 1u);
    const std::string json = ryn_test::read_file(names[0]);
    EXPECT_NE(json.find(R"({"kind":"leak","description":"1000 bytes in 1 blocks allocated at:")"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find(R"("leaked_bytes":1000,"leaked_blocks":1,)"), std::string::npos) << json;
}

}  // namespace
