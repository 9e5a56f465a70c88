// Coverage per function, per source file and in total, the functions left
// out, and the table that shows what the experiment asked for (the measures
// of each row).
#include <algorithm>
#include <sstream>

#include <gtest/gtest.h>

#include "coverage/coverage_summary.h"
#include "coverage/coverage_table.h"
#include "coverage/function_filter.h"
#include "support/test_support.h"

using coverage::Block;
using coverage::CoverageSummary;
using coverage::FunctionFilter;
using coverage::InstrData;

namespace {

// Two objects; a.c line 3 holds two blocks of which only one ran.
std::vector<InstrData> two_objects() {
    InstrData prog{
        "/p/prog",
        "d1",
        "prog",
        {Block{0x10, 4, 2, 1, 1, "main", "/p/a.c"}, Block{0x20, 2, 3, 0, 1, "main", "/p/a.c"},
         Block{0x28, 3, 3, 0, 0, "main", "/p/a.c"}, Block{0x30, 5, 7, 1, 0, "skip_me", "/p/a.c"},
         Block{0x40, 1, 8, 1, 0, "skip_also", "/p/a.c"}, Block{0x50, 2, 0, 0, 1, "", ""}},
        {},
        {}};
    InstrData lib{
        "/p/libq.so",
        "d2",
        "prog",
        {Block{0x100, 6, 4, 1, 2, "helper", "/p/q.c"}, Block{0x110, 2, 5, 0, 0, "helper", "/p/q.c"},
         Block{0x200, 3, 9, 1, 0, "unused", "/p/q.c"}},
        {},
        {}};
    return {prog, lib};
}

const coverage::FunctionCoverage& function(const CoverageSummary& s, const std::string& name) {
    const auto it = std::ranges::find(s.functions, name, &coverage::FunctionCoverage::name);
    return it != s.functions.end() ? *it : throw std::runtime_error("no function " + name);
}

// A level's blocks, instructions, lines and functions, each as "run/all".
std::string text(const coverage::Measures& m) {
    const auto ratio = [](uint64_t run, uint64_t all) {
        return std::to_string(run) + "/" + std::to_string(all);
    };
    return ratio(m.blocks_executed, m.blocks) + " " + ratio(m.insns_executed, m.insns) + " " +
           ratio(m.lines_executed, m.lines) + " " + ratio(m.functions_executed, m.functions);
}

TEST(CoverageSummary, CountsBlocksInstructionsLinesAndFunctionsAtEachLevel) {
    const CoverageSummary s = coverage::summarize(two_objects(), FunctionFilter());
    const auto& main = function(s, "main");
    EXPECT_EQ(main.file, "/p/a.c");
    EXPECT_EQ(main.line, 2u);
    // Line 3 ran although one of its blocks did not.
    EXPECT_EQ(text(main.measures), "2/3 6/9 2/2 1/1");
    EXPECT_EQ(function(s, "helper").entry_count, 2u);
    ASSERT_EQ(s.files.size(), 2u);
    EXPECT_EQ(s.files[0].lines, (std::map<uint32_t, uint64_t>{{2, 1}, {3, 1}, {7, 0}, {8, 0}}));
    EXPECT_EQ(text(s.files[0].measures), "2/5 6/15 2/4 1/3");
    // The block of no known function counts in the total, not as a function.
    EXPECT_EQ(text(s.total), "4/9 14/28 3/7 2/5");
}

TEST(CoverageSummary, ExcludedFunctionsCountNowhere) {
    ryn_test::TempDir dir;
    // The driver writes its lists as one text with ':' between items.
    ryn_test::write_file(dir / "names", "unused:main_not");
    ryn_test::write_file(dir / "prefixes", "skip_\n");
    FunctionFilter filter;
    filter.exclude_names_in(dir / "names");
    filter.exclude_prefixes_in(dir / "prefixes");
    EXPECT_TRUE(filter.excludes("skip_me"));
    EXPECT_FALSE(filter.excludes("main"));
    EXPECT_FALSE(filter.excludes("unused2"));

    const CoverageSummary s = coverage::summarize(two_objects(), filter);
    EXPECT_EQ(s.functions.size(), 2u);
    EXPECT_EQ(text(s.total), "4/6 14/19 3/4 2/2");

    EXPECT_EQ(coverage::split_function_list(" a : b\n\nc:"),
              (std::vector<std::string>{"a", "b", "c"}));
}

TEST(CoverageTable, ShowsTheRequestedMeasuresInAlignedColumns) {
    const CoverageSummary s = coverage::summarize(two_objects(), FunctionFilter());
    std::ostringstream out;
    coverage::print_coverage_table(
        out, s,
        coverage::layout_for_requests(
            {"-ryn", "-er:blockcover%", "-er:function", "-er:ninstrcover", "-er:blockcover%"}));
    EXPECT_EQ(out.str(),
              "Block%  Instrs run  Lines run  Function / source file\n"
              "-----------------------------------------------------\n"
              "  50.0         6/8        1/2  helper (libq.so)\n"
              "   0.0         0/3        0/1  unused (libq.so)\n"
              "  66.7         6/9        2/2  main (prog)\n"
              "   0.0         0/1        0/1  skip_also (prog)\n"
              "   0.0         0/5        0/1  skip_me (prog)\n"
              "\n"
              "  40.0        6/15        2/4  /p/a.c\n"
              "  33.3        6/11        1/3  /p/q.c\n"
              "\n"
              "  44.4       14/28        3/7  Total (2/5 functions run)\n");

    // Without -er:function only files and the total are shown.
    std::ostringstream files_only;
    coverage::print_coverage_table(files_only, s, coverage::layout_for_requests({"-er:executed"}));
    EXPECT_EQ(files_only.str().find("main"), std::string::npos);
    EXPECT_NE(files_only.str().find("Blocks run"), std::string::npos);
    EXPECT_EQ(coverage::percent_text(0, 0), "-");

    // C++ functions by the names their source gives them.
    const InstrData cxx{
        "/p/app", "d3", "app", {Block{0x10, 4, 2, 1, 1, "_ZN2ns4workEi", "/p/w.cc"}}, {}, {}};
    std::ostringstream named;
    coverage::print_coverage_table(named, coverage::summarize({cxx}, FunctionFilter()),
                                   coverage::layout_for_requests({}));
    EXPECT_NE(named.str().find("  ns::work(int)\n"), std::string::npos) << named.str();
}

}  // namespace
