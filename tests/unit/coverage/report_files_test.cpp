// The files a report leaves: the lcov tracefile (read by the real genhtml),
// gcov-style annotated listings of a compiled fixture, and the analytics file.
#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>

#include "coverage/analytics_file.h"
#include "coverage/coverage_summary.h"
#include "coverage/gcov_listing.h"
#include "coverage/lcov_tracefile.h"
#include "support/instrdata_fixture.h"
#include "support/test_support.h"

using coverage::CoverageSummary;

namespace {

const std::string k_source =
    "#include <stdio.h>\n"                  // 1
    "static int sq(int x) {\n"              // 2
    "    return x * x;\n"                   // 3
    "}\n"                                   // 4
    "int main(int argc, char **argv) {\n"   // 5
    "    if (argc > 1)\n"                   // 6
    "        puts(\"many\");\n"             // 7
    "    else\n"                            // 8
    "        puts(\"one\");\n"              // 9
    "    return sq(argc) > 100;\n"          // 10
    "}\n";                                  // 11

// The fixture compiled, and the summary of three runs without arguments.
class CompiledFixture : public ::testing::Test {
protected:
    void SetUp() override {
        // The compiler leaves the source at <program>.c, where listings read it.
        ASSERT_TRUE(ryn_test::compile_c(k_source, program));
        s = coverage::summarize({ryn_test::instrdata_for(program, ryn_test::run_lines(
                                     ryn_test::line_table_blocks(program, source), {2, 3, 4, 5, 6, 9, 10, 11}, 3))},
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
    ASSERT_TRUE(coverage::write_gcov_listing(listing, s.files[0]));
    EXPECT_EQ(listing.str(),
              "        -:    0:Source:" + source + "\n"
              "        -:    1:#include <stdio.h>\n"
              "        3:    2:static int sq(int x) {\n"
              "        3:    3:    return x * x;\n"
              "        3:    4:}\n"
              "        3:    5:int main(int argc, char **argv) {\n"
              "        3:    6:    if (argc > 1)\n"
              "    #####:    7:        puts(\"many\");\n"
              "        -:    8:    else\n"
              "        3:    9:        puts(\"one\");\n"
              "        3:   10:    return sq(argc) > 100;\n"
              "        3:   11:}\n");

    std::filesystem::remove(source);
    std::ostringstream none;
    EXPECT_FALSE(coverage::write_gcov_listing(none, s.files[0]));
    EXPECT_TRUE(none.str().empty());

    std::set<std::string> taken;
    EXPECT_EQ(coverage::gcov_listing_name("/a/x.c", taken), "x.c.gcov");
    EXPECT_EQ(coverage::gcov_listing_name("/b/x.c", taken), "#b#x.c.gcov");
}

TEST_F(CompiledFixture, TracefileListsFunctionsAndLinesAndGenhtmlRendersIt) {
    std::ostringstream info;
    coverage::write_lcov_tracefile(info, s, "");
    EXPECT_EQ(info.str(),
              "TN:\nSF:" + source + "\n"
              "FN:5,main\nFN:2,sq\nFNDA:3,main\nFNDA:3,sq\nFNF:2\nFNH:2\n"
              "DA:2,3\nDA:3,3\nDA:4,3\nDA:5,3\nDA:6,3\nDA:7,0\nDA:9,3\nDA:10,3\nDA:11,3\n"
              "LF:9\nLH:8\nend_of_record\n");

    if (ryn_test::run_shell("command -v genhtml").status != 0) {
        GTEST_SKIP() << "genhtml is not installed (package lcov); the tracefile was not rendered";
    }
    ryn_test::write_file(dir / "run.info", info.str());
    const ryn_test::RunResult html =
        ryn_test::run({"genhtml", "--output-directory", dir / "html", dir / "run.info"});
    ASSERT_EQ(html.status, 0) << html.out << html.err;
    EXPECT_NE(html.out.find("lines......: 88.9% (8 of 9 lines)"), std::string::npos) << html.out;
    EXPECT_NE(html.out.find("functions..: 100.0% (2 of 2 functions)"), std::string::npos);
    EXPECT_TRUE(ryn_test::exists(dir / "html/index.html"));
}

TEST(AnalyticsFile, HoldsTheTotalEveryFileAndEveryFunction) {
    const CoverageSummary s = coverage::summarize(
        {{"/p/prog", "d", "prog",
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

}  // namespace
