// The files a report leaves: gcov-style annotated listings of a compiled
// fixture, the listing and the lcov tracefile (read by the real genhtml) with
// the counts, branches and calls of exact data, and the analytics file.
#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>

#include "coverage/analytics_file.h"
#include "coverage/coverage_summary.h"
#include "coverage/gcov_listing.h"
#include "coverage/lcov_tracefile.h"
#include "ryn/probe_format.h"
#include "support/instrdata_fixture.h"
#include "support/test_support.h"

using coverage::CoverageSummary;

namespace {

const std::string k_source =
    "#include <stdio.h>\n"                 // 1
    "static int sq(int x) {\n"             // 2
    "    return x * x;\n"                  // 3
    "}\n"                                  // 4
    "int main(int argc, char **argv) {\n"  // 5
    "    if (argc > 1)\n"                  // 6
    "        puts(\"many\");\n"            // 7
    "    else\n"                           // 8
    "        puts(\"one\");\n"             // 9
    "    return sq(argc) > 100;\n"         // 10
    "}\n";                                 // 11

// The fixture compiled, and the summary of three runs without arguments.
class CompiledFixture : public ::testing::Test {
protected:
    void SetUp() override {
        // The compiler leaves the source at <program>.c, where listings read it.
        ASSERT_TRUE(ryn_test::compile_c(k_source, program));
        s = coverage::summarize(
            {ryn_test::instrdata_for(
                program, ryn_test::run_lines(ryn_test::line_table_blocks(program, source),
                                             {2, 3, 4, 5, 6, 9, 10, 11}, 3))},
            coverage::FunctionFilter());
    }
    ryn_test::TempDir dir;
    const std::string source = dir / "calc.c";
    const std::string program = dir / "calc";
    CoverageSummary s;
};

TEST_F(CompiledFixture, ListingMarksRunLinesUnrunCodeAndOtherLines) {
    ASSERT_EQ(s.files.size(), 1u);
    std::ostringstream listing;
    ASSERT_TRUE(coverage::write_gcov_listing(listing, s.files[0], s.functions));
    EXPECT_EQ(listing.str(), "        -:    0:Source:" + source +
                                 "\n"
                                 "        -:    1:#include <stdio.h>\n"
                                 "function sq called 3\n"
                                 "        3:    2:static int sq(int x) {\n"
                                 "        3:    3:    return x * x;\n"
                                 "        3:    4:}\n"
                                 "function main called 3\n"
                                 "        3:    5:int main(int argc, char **argv) {\n"
                                 "        3:    6:    if (argc > 1)\n"
                                 "    #####:    7:        puts(\"many\");\n"
                                 "        -:    8:    else\n"
                                 "        3:    9:        puts(\"one\");\n"
                                 "        3:   10:    return sq(argc) > 100;\n"
                                 "        3:   11:}\n");

    std::filesystem::remove(source);
    std::ostringstream none;
    EXPECT_FALSE(coverage::write_gcov_listing(none, s.files[0], s.functions));
    EXPECT_TRUE(none.str().empty());

    std::set<std::string> taken;
    EXPECT_EQ(coverage::gcov_listing_name("/a/x.c", taken), "x.c.gcov");
    EXPECT_EQ(coverage::gcov_listing_name("/b/x.c", taken), "#b#x.c.gcov");
}

// Exact counts of a small program: sq called 3 times though its entry block
// ran 9 times (a loop back to it), a line with two blocks, a branch whose
// block never ran.
class ExactCounts : public ::testing::Test {
protected:
    void SetUp() override {
        ryn_test::write_file(source,
                             "int sq(int x) {\n"                     // 1
                             "    return x * x;\n"                   // 2
                             "}\n"                                   // 3
                             "int main(int argc) {\n"                // 4
                             "    for (int i = 0; i < argc; ++i)\n"  // 5
                             "        sq(i);\n"                      // 6
                             "    if (argc > 9)\n"                   // 7
                             "        return 1;\n"                   // 8
                             "    return 0;\n"                       // 9
                             "}\n");                                 // 10
        const uint32_t entry = RYN_PROBE_FUNCTION_ENTRY;
        data = {"/p/prog",
                "d",
                "prog",
                {{0x10, 3, 1, entry, 9, "sq", source},
                 {0x20, 2, 2, 0, 9, "sq", source},
                 {0x40, 2, 4, entry, 1, "main", source},
                 {0x48, 1, 5, 0, 1, "main", source},
                 {0x50, 2, 5, 0, 4, "main", source},
                 {0x58, 2, 6, 0, 3, "main", source},
                 {0x60, 2, 7, 0, 1, "main", source},
                 {0x70, 2, 8, 0, 0, "main", source},
                 {0x80, 2, 9, 0, 1, "main", source}},
                {{0x53, 0x50, 3, 1}, {0x63, 0x60, 1, 0}, {0x72, 0x70, 0, 0}},
                // main has no calls line: its entry block's count stands in.
                {{0x10, 3}}};
    }
    ryn_test::TempDir dir;
    const std::string source = dir / "loop.c";
    coverage::InstrData data;
};

TEST_F(ExactCounts, ListingAndTracefileHaveLineCountsBranchesAndCallsThatGenhtmlReads) {
    const CoverageSummary s = coverage::summarize({data}, coverage::FunctionFilter());
    std::ostringstream listing;
    ASSERT_TRUE(coverage::write_gcov_listing(listing, s.files.at(0), s.functions));
    EXPECT_EQ(listing.str(), "        -:    0:Source:" + source +
                                 "\n"
                                 "function sq called 3\n"
                                 "        9:    1:int sq(int x) {\n"
                                 "        9:    2:    return x * x;\n"
                                 "        -:    3:}\n"
                                 "function main called 1\n"
                                 "        1:    4:int main(int argc) {\n"
                                 "        4:    5:    for (int i = 0; i < argc; ++i)\n"
                                 "branch  0 taken 3\n"
                                 "branch  1 taken 1 (fallthrough)\n"
                                 "        3:    6:        sq(i);\n"
                                 "        1:    7:    if (argc > 9)\n"
                                 "branch  0 taken 1\n"
                                 "branch  1 taken 0 (fallthrough)\n"
                                 "    #####:    8:        return 1;\n"
                                 "branch  0 never executed\n"
                                 "branch  1 never executed\n"
                                 "        1:    9:    return 0;\n"
                                 "        -:   10:}\n");

    std::ostringstream info;
    coverage::write_lcov_tracefile(info, s, "t");
    EXPECT_EQ(info.str(), "TN:t\nSF:" + source +
                              "\n"
                              "FN:4,main\nFN:1,sq\nFNDA:1,main\nFNDA:3,sq\nFNF:2\nFNH:2\n"
                              "BRDA:5,0,0,3\nBRDA:5,0,1,1\nBRDA:7,0,0,1\nBRDA:7,0,1,0\n"
                              "BRDA:8,0,0,-\nBRDA:8,0,1,-\nBRF:6\nBRH:3\n"
                              "DA:1,9\nDA:2,9\nDA:4,1\nDA:5,4\nDA:6,3\nDA:7,1\nDA:8,0\nDA:9,1\n"
                              "LF:8\nLH:7\nend_of_record\n");

    if (ryn_test::run_shell("command -v genhtml").status != 0) {
        GTEST_SKIP() << "genhtml is not installed (package lcov); the tracefile was not rendered";
    }
    ryn_test::write_file(dir / "run.info", info.str());
    const ryn_test::RunResult html = ryn_test::run(
        {"genhtml", "--branch-coverage", "--output-directory", dir / "html", dir / "run.info"});
    ASSERT_EQ(html.status, 0) << html.out << html.err;
    EXPECT_NE(html.out.find("lines......: 87.5% (7 of 8 lines)"), std::string::npos) << html.out;
    EXPECT_NE(html.out.find("branches...: 50.0% (3 of 6 branches)"), std::string::npos) << html.out;
}

TEST_F(ExactCounts, RunsOnlyDataClaimsNoBranchesAndExcludedFunctionsNone) {
    // A run that only noted its blocks counted no branch: zeros would lie.
    data.counts_exact = false;
    std::ostringstream runs;
    coverage::write_lcov_tracefile(runs, coverage::summarize({data}, coverage::FunctionFilter()),
                                   "");
    EXPECT_EQ(runs.str().find("BR"), std::string::npos) << runs.str();

    data.counts_exact = true;
    coverage::FunctionFilter no_main;
    no_main.exclude_name("main");
    std::ostringstream filtered;
    coverage::write_lcov_tracefile(filtered, coverage::summarize({data}, no_main), "");
    EXPECT_EQ(filtered.str().find("BR"), std::string::npos) << filtered.str();
    EXPECT_NE(filtered.str().find("FNDA:3,sq\n"), std::string::npos);
}

TEST(AnalyticsFile, HoldsTheTotalEveryFileAndEveryFunction) {
    const CoverageSummary s =
        coverage::summarize({{"/p/prog",
                              "d",
                              "prog",
                              {coverage::Block{0x10, 4, 2, 1, 1, "main", "/p/a.c"},
                               coverage::Block{0x20, 2, 3, 1, 0, "idle", "/p/a.c"}},
                              {},
                              {}}},
                            coverage::FunctionFilter());
    std::ostringstream out;
    coverage::write_analytics(out, s);
    EXPECT_EQ(out.str(),
              "ryn-analytics 1\n"
              "kind\tname\tobject\tfunctions_run\tfunctions\tblocks_run\tblocks\t"
              "instructions_run\tinstructions\tlines_run\tlines\n"
              "total\t-\t-\t1\t2\t1\t2\t4\t6\t1\t2\n"
              "file\t/p/a.c\t-\t1\t2\t1\t2\t4\t6\t1\t2\n"
              "function\tidle\t/p/prog\t0\t1\t0\t1\t0\t2\t0\t1\n"
              "function\tmain\t/p/prog\t1\t1\t1\t1\t4\t4\t1\t1\n");
}

// The engine writes the file one target at a time: each target replaces its
// own rows, and the total adds up the targets.
TEST(AnalyticsFile, TargetsMergeAndAReportedTargetReplacesItsRows) {
    const auto summary_of = [](const char* object, uint64_t count) {
        return coverage::summarize(
            {{object, "d", "x", {coverage::Block{0x10, 4, 2, 1, count, "f", "/p/a.c"}}, {}, {}}},
            coverage::FunctionFilter());
    };
    const std::string header =
        "ryn-analytics 1\n"
        "kind\tname\tobject\tfunctions_run\tfunctions\tblocks_run\tblocks\t"
        "instructions_run\tinstructions\tlines_run\tlines\n";
    const std::string prog =
        merge_object_analytics("stale text", "/p/prog", summary_of("/p/prog", 0));
    const std::string both = merge_object_analytics(prog, "/p/lib.so", summary_of("/p/lib.so", 3));
    EXPECT_EQ(both, header +
                        "total\t-\t-\t1\t2\t1\t2\t4\t8\t1\t2\n"
                        "object\t-\t/p/prog\t0\t1\t0\t1\t0\t4\t0\t1\n"
                        "object\t-\t/p/lib.so\t1\t1\t1\t1\t4\t4\t1\t1\n"
                        "file\t/p/a.c\t/p/prog\t0\t1\t0\t1\t0\t4\t0\t1\n"
                        "file\t/p/a.c\t/p/lib.so\t1\t1\t1\t1\t4\t4\t1\t1\n"
                        "function\tf\t/p/prog\t0\t1\t0\t1\t0\t4\t0\t1\n"
                        "function\tf\t/p/lib.so\t1\t1\t1\t1\t4\t4\t1\t1\n");
    // Reported again after a run, the program's rows change and the
    // library's stay.
    const std::string again = merge_object_analytics(both, "/p/prog", summary_of("/p/prog", 5));
    EXPECT_NE(again.find("total\t-\t-\t2\t2\t2\t2\t8\t8\t2\t2\n"), std::string::npos) << again;
    EXPECT_NE(again.find("object\t-\t/p/lib.so\t1\t1\t"), std::string::npos);
    EXPECT_EQ(again.find("/p/prog\t0\t"), std::string::npos) << again;
}

}  // namespace
