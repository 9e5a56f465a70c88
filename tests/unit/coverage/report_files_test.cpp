// The files a report leaves: the gcov-style listing and the lcov tracefile
// with the counts, branches and calls of exact data, and the analytics file.
// (Listings of compiled programs: the gcov counts test; the tracefile
// rendered by genhtml: the experiment tool's test.)
#include <filesystem>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "coverage/analytics_file.h"
#include "coverage/coverage_summary.h"
#include "coverage/gcov_listing.h"
#include "coverage/lcov_tracefile.h"
#include "ryn/probe_format.h"
#include "support/test_support.h"

using coverage::CoverageSummary;

namespace {

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

TEST_F(ExactCounts, ListingAndTracefileHaveLineCountsBranchesAndCalls) {
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
}

TEST_F(ExactCounts, NoBranchesWithoutExactCountsOrForExcludedFunctionsNoListingWithoutSource) {
    // A run that only noted its blocks counted no branch: zeros would lie.
    data.counts_exact = false;
    std::ostringstream runs;
    coverage::write_lcov_tracefile(runs, coverage::summarize({data}, coverage::FunctionFilter()),
                                   "");
    EXPECT_EQ(runs.str().find("BR"), std::string::npos) << runs.str();

    data.counts_exact = true;
    coverage::FunctionFilter no_main;
    no_main.exclude_name("main");
    const CoverageSummary filtered_summary = coverage::summarize({data}, no_main);
    std::ostringstream filtered;
    coverage::write_lcov_tracefile(filtered, filtered_summary, "");
    EXPECT_EQ(filtered.str().find("BR"), std::string::npos) << filtered.str();
    EXPECT_NE(filtered.str().find("FNDA:3,sq\n"), std::string::npos);

    // Without its source a file has no listing; listings of equal names differ.
    std::filesystem::remove(source);
    std::ostringstream none;
    EXPECT_FALSE(
        coverage::write_gcov_listing(none, filtered_summary.files[0], filtered_summary.functions));
    EXPECT_TRUE(none.str().empty());
    std::set<std::string> taken;
    EXPECT_EQ(coverage::gcov_listing_name("/a/x.c", taken), "x.c.gcov");
    EXPECT_EQ(coverage::gcov_listing_name("/b/x.c", taken), "#b#x.c.gcov");
}

CoverageSummary one_function(const char* object, uint64_t count) {
    return coverage::summarize(
        {{object, "d", "x", {coverage::Block{0x10, 4, 2, 1, count, "f", "/p/a.c"}}, {}, {}}},
        coverage::FunctionFilter());
}

const std::string k_analytics_header =
    "ryn-analytics 1\n"
    "kind\tname\tobject\tfunctions_run\tfunctions\tblocks_run\tblocks\t"
    "instructions_run\tinstructions\tlines_run\tlines\n";

TEST(AnalyticsFile, HoldsTheTotalEveryFileAndEveryFunction) {
    std::ostringstream out;
    coverage::write_analytics(out, one_function("/p/prog", 1));
    EXPECT_EQ(out.str(), k_analytics_header +
                             "total\t-\t-\t1\t1\t1\t1\t4\t4\t1\t1\n"
                             "file\t/p/a.c\t-\t1\t1\t1\t1\t4\t4\t1\t1\n"
                             "function\tf\t/p/prog\t1\t1\t1\t1\t4\t4\t1\t1\n");
}

// The engine writes the file one target at a time: each target replaces its
// own rows, and the total adds up the targets.
TEST(AnalyticsFile, TargetsMergeAndAReportedTargetReplacesItsRows) {
    const std::string prog =
        merge_object_analytics("stale text", "/p/prog", one_function("/p/prog", 0));
    const std::string both =
        merge_object_analytics(prog, "/p/lib.so", one_function("/p/lib.so", 3));
    EXPECT_EQ(both, k_analytics_header +
                        "total\t-\t-\t1\t2\t1\t2\t4\t8\t1\t2\n"
                        "object\t-\t/p/prog\t0\t1\t0\t1\t0\t4\t0\t1\n"
                        "object\t-\t/p/lib.so\t1\t1\t1\t1\t4\t4\t1\t1\n"
                        "file\t/p/a.c\t/p/prog\t0\t1\t0\t1\t0\t4\t0\t1\n"
                        "file\t/p/a.c\t/p/lib.so\t1\t1\t1\t1\t4\t4\t1\t1\n"
                        "function\tf\t/p/prog\t0\t1\t0\t1\t0\t4\t0\t1\n"
                        "function\tf\t/p/lib.so\t1\t1\t1\t1\t4\t4\t1\t1\n");
    // Reported again after a run, the program's rows change and the
    // library's stay.
    const std::string again = merge_object_analytics(both, "/p/prog", one_function("/p/prog", 5));
    EXPECT_NE(again.find("total\t-\t-\t2\t2\t2\t2\t8\t8\t2\t2\n"), std::string::npos) << again;
    EXPECT_NE(again.find("object\t-\t/p/lib.so\t1\t1\t"), std::string::npos);
    EXPECT_EQ(again.find("/p/prog\t0\t"), std::string::npos) << again;
}

}  // namespace
