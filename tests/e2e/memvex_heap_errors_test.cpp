// The heap checker's runtime in a program that loads it as an instrumented
// copy does: each kind of error with the program's own call as frame #0, the
// stacks that go with it, the run settings the copy carries, and the report
// files.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/memvex_support.h"

namespace {

using ryn_test::error_kinds;
using ryn_test::fault_frames;
using ryn_test::line_of;
using ryn_test::RunResult;

const std::string k_source = R"(#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
struct alignas(64) Wide { char bytes[64]; };
static char not_heap[64];
static bool is(const char* a, const char* b) { return std::strcmp(a, b) == 0; }
static void run(const char* c) {
    if (is(c, "double-free")) {
        char* p = (char*)malloc(24);  // alloc:double-free
        free(p);  // first:double-free
        free(p);  // at:double-free
    } else if (is(c, "invalid-free")) {
        free(not_heap + 16);  // at:invalid-free
    } else if (is(c, "interior-free")) {
        char* p = (char*)malloc(32);
        free(p + 8);  // at:interior-free
        free(p);
    } else if (is(c, "new[]-delete")) {
        int* p = new int[4];
        delete p;  // at:new[]-delete
    } else if (is(c, "malloc-delete")) {
        int* p = (int*)malloc(sizeof(int));
        delete p;  // at:malloc-delete
    } else if (is(c, "new-free")) {
        int* p = new int(3);
        free(p);  // at:new-free
    } else if (is(c, "aligned-new-plain-delete")) {
        Wide* w = new Wide;
        ::operator delete(w);  // at:aligned-new-plain-delete
    } else if (is(c, "new-realloc")) {
        char* p = new char[8];
        p = (char*)realloc(p, 64);  // at:new-realloc
        free(p);
    } else if (is(c, "overflow-after")) {
        char* p = (char*)malloc(24);
        p[24] = 1;
        free(p);  // at:overflow-after
    } else if (is(c, "overflow-before")) {
        char* p = (char*)malloc(24);
        p[-3] = 1;
        free(p);  // at:overflow-before
    } else if (is(c, "overflow-at-exit")) {
        static char* kept = (char*)malloc(10);  // alloc:overflow-at-exit
        kept[12] = 1;
    } else if (is(c, "write-after-free")) {
        char* p = (char*)malloc(40);
        free(p);  // first:write-after-free
        p[7] = 1;
    } else if (is(c, "realloc-stacks")) {
        char* p = (char*)malloc(8);
        char* q = (char*)realloc(p, 64);  // realloc:stacks
        free(p);  // at:realloc-stacks
        q[64] = 1;
        free(q);  // overflow:realloc-stacks
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
    }
    static void TearDownTestSuite() { delete dir_; }

    // Runs the program, with its run settings embedded when records are given.
    RunResult run(const std::vector<std::string>& args, const std::vector<std::string>& records = {},
                  const std::string& cwd = "") {
        return ryn_test::run_checked(*dir_ / "prog", args, records, cwd);
    }
    int line(const std::string& marker) { return line_of(k_source, marker); }
    static std::string at_line(int n) { return "prog.cpp:" + std::to_string(n); }

    static ryn_test::TempDir* dir_;
};
ryn_test::TempDir* MemvexErrors::dir_ = nullptr;

TEST_F(MemvexErrors, EachKindIsFoundWithTheProgramsCallAsFrameZero) {
    struct Case {
        std::string arg, kind;
    };
    const std::vector<Case> cases = {
        {"double-free", "double-free"},          {"invalid-free", "invalid-free"},
        {"interior-free", "interior-free"},      {"new[]-delete", "mismatched-free"},
        {"malloc-delete", "mismatched-free"},    {"new-free", "mismatched-free"},
        {"aligned-new-plain-delete", "mismatched-free"}, {"new-realloc", "mismatched-free"},
        {"overflow-after", "overflow-write"},    {"overflow-before", "overflow-write"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arg);
        const RunResult r = run({c.arg});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "end\n");
        EXPECT_EQ(error_kinds(r.err), std::vector<std::string>{c.kind}) << r.err;
        const auto frames = fault_frames(r.err, c.kind);
        ASSERT_FALSE(frames.empty()) << r.err;
        EXPECT_EQ(frames[0].rfind("    #0 0x", 0), 0u) << frames[0];
        EXPECT_NE(frames[0].find(" in run("), std::string::npos) << frames[0];
        EXPECT_TRUE(frames[0].ends_with(at_line(line("// at:" + c.arg)))) << frames[0];
        EXPECT_NE(r.err.find("memvex: summary: 1 errors (" + c.kind + " 1), 0 suppressed"),
                  std::string::npos)
            << r.err;
    }
}

TEST_F(MemvexErrors, ADoubleFreeShowsWhereTheBlockWasAllocatedAndFirstFreed) {
    const RunResult r = run({"double-free"});
    const std::string allocated = "  allocated at:\n    #0 0x";
    const std::string freed = "  freed at:\n    #0 0x";
    const size_t a = r.err.find(allocated), f = r.err.find(freed);
    ASSERT_NE(a, std::string::npos) << r.err;
    ASSERT_NE(f, std::string::npos) << r.err;
    EXPECT_LT(a, f);
    const std::string alloc_frame = r.err.substr(a + 16, r.err.find('\n', a + 16) - a - 16);
    const std::string free_frame = r.err.substr(f + 12, r.err.find('\n', f + 12) - f - 12);
    EXPECT_TRUE(alloc_frame.ends_with(at_line(line("// alloc:double-free")))) << alloc_frame;
    EXPECT_TRUE(free_frame.ends_with(at_line(line("// first:double-free")))) << free_frame;
}

TEST_F(MemvexErrors, DamageFoundAtExitNamesTheBlocksStacks) {
    RunResult r = run({"write-after-free"});
    EXPECT_EQ(error_kinds(r.err), std::vector<std::string>{"write-after-free"}) << r.err;
    EXPECT_NE(r.err.find("(offset 7)"), std::string::npos) << r.err;
    const size_t f = r.err.find("  freed at:\n");
    ASSERT_NE(f, std::string::npos) << r.err;
    EXPECT_NE(r.err.find(at_line(line("// first:write-after-free")), f), std::string::npos);

    r = run({"overflow-at-exit"});
    EXPECT_EQ(error_kinds(r.err), std::vector<std::string>{"overflow-write"}) << r.err;
    EXPECT_NE(r.err.find("(3 bytes past its end)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(at_line(line("// alloc:overflow-at-exit"))), std::string::npos) << r.err;
}

TEST_F(MemvexErrors, ErrorLimitAndSuppressedKindsStillCountInTheSummary) {
    RunResult r = run({"double-free", "double-free", "invalid-free"}, {"12 1"});
    EXPECT_EQ(error_kinds(r.err), std::vector<std::string>{"double-free"}) << r.err;
    EXPECT_NE(r.err.find("memvex: summary: 3 errors (double-free 2, invalid-free 1), 0 suppressed"),
              std::string::npos)
        << r.err;

    r = run({"double-free", "invalid-free"}, {"27 overflow-write,double-free"});
    EXPECT_EQ(error_kinds(r.err), std::vector<std::string>{"invalid-free"}) << r.err;
    EXPECT_NE(r.err.find("memvex: summary: 1 errors (invalid-free 1), 1 suppressed"),
              std::string::npos)
        << r.err;
}

TEST_F(MemvexErrors, ExitStatusReplacesOnlyASuccessOfAProcessThatFoundErrors) {
    RunResult r = run({"double-free"}, {"14 9"});
    EXPECT_EQ(r.status, 9);
    EXPECT_EQ(r.out, "end\n");  // stdio still flushed
    r = run({"fill"}, {"14 9"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    r = run({"double-free", "status3"}, {"14 9"});
    EXPECT_EQ(r.status, 3);
}

TEST_F(MemvexErrors, CompactReportsAndStackDepthShapeTheStacksShown) {
    RunResult r = run({"double-free"}, {"20 1"});
    EXPECT_EQ(r.err.find("allocated at:"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("freed at:"), std::string::npos) << r.err;
    EXPECT_GE(fault_frames(r.err, "double-free").size(), 2u);

    r = run({"double-free"}, {"10 1"});
    EXPECT_EQ(fault_frames(r.err, "double-free").size(), 1u) << r.err;
    EXPECT_NE(r.err.find("allocated at:\n    #0 "), std::string::npos);
    EXPECT_EQ(r.err.find("    #1 "), std::string::npos) << r.err;
}

TEST_F(MemvexErrors, ReallocIsBothTheOldBlocksFreeAndTheNewBlocksAllocation) {
    // One stack serves both halves of a realloc: each must still be the call.
    const RunResult r = run({"realloc-stacks"});
    EXPECT_EQ(error_kinds(r.err), (std::vector<std::string>{"double-free", "overflow-write"}))
        << r.err;
    const std::string realloc_line = at_line(line("// realloc:stacks"));
    const size_t freed = r.err.find("  freed at:\n    #0 0x");
    ASSERT_NE(freed, std::string::npos) << r.err;
    EXPECT_TRUE(r.err.substr(freed, r.err.find('\n', freed + 12) - freed).ends_with(realloc_line))
        << r.err;
    const size_t overflow = r.err.find("memvex: error: overflow-write:");
    ASSERT_NE(overflow, std::string::npos) << r.err;
    const size_t allocated = r.err.find("  allocated at:\n    #0 0x", overflow);
    ASSERT_NE(allocated, std::string::npos) << r.err;
    EXPECT_TRUE(r.err.substr(allocated, r.err.find('\n', allocated + 16) - allocated)
                    .ends_with(realloc_line))
        << r.err;
    EXPECT_TRUE(fault_frames(r.err, "overflow-write")[0].ends_with(
        at_line(line("// overflow:realloc-stacks"))));
}

TEST_F(MemvexErrors, FillMarksNewBytesButCallocStaysZero) {
    EXPECT_EQ(run({"fill"}, {"18 1"}).out, "fill be 00 be\nend\n");
    const RunResult plain = run({"fill"});
    EXPECT_NE(plain.out.find(" 00 "), std::string::npos);
    EXPECT_EQ(plain.err, "");
}

TEST_F(MemvexErrors, ReportFilesAreWrittenRelativeToTheStartingDirectory) {
    ryn_test::TempDir work;
    const RunResult r = run({"double-free"}, {"17 report.txt", "23 report.html", "29 results"},
                            work.path());
    EXPECT_EQ(ryn_test::read_file(work / "report.txt"), r.err);
    const std::string html = ryn_test::read_file(work / "report.html");
    EXPECT_NE(html.find("double-free"), std::string::npos);
    EXPECT_NE(html.find("</html>"), std::string::npos);
    std::vector<std::string> json_files;
    for (const auto& entry : std::filesystem::directory_iterator(work / "results"))
        json_files.push_back(entry.path().filename());
    ASSERT_EQ(json_files.size(), 1u);
    EXPECT_TRUE(json_files[0].starts_with("memvex.") && json_files[0].ends_with(".json"));
    const std::string json = ryn_test::read_file(work / "results/" + json_files[0]);
    EXPECT_NE(json.find(R"("kind":"double-free")"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("title":"freed at")"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("summary":{"errors":1,"suppressed":0,"kinds":{"double-free":1},)"
                        R"("leaked_bytes":0,"leaked_blocks":0,)"),
              std::string::npos)
        << json;
}

}  // namespace
