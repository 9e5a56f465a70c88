// Optimize mode of the engine: beside a runnable clean copy it lists the
// functions that ran, most executed instructions first, in the forms the
// linkers read, and says how few of them did most of the work; without
// counts nothing is ordered and no list of an earlier run stays behind.
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/engine_support.h"
#include "support/instrdata_fixture.h"
#include "support/test_support.h"

using namespace ryn_test;

namespace {

const std::string k_source =
    "#include <stdio.h>\n"
    "int spin(int n) {\n"
    "    int s = 0;\n"
    "    for (int i = 0; i < n; ++i)\n"
    "        s += i * 3;\n"
    "    return s;\n"
    "}\n"
    "int stepper(int x) { return x - 1; }\n"
    "int never(int x) { return x + 1; }\n"
    "int main(int argc, char **argv) {\n"
    "    int t = 0;\n"
    "    (void)argv;\n"
    "    for (int i = 0; i < 100; ++i)\n"
    "        t += spin(50) + stepper(i);\n"
    "    if (argc > 5)\n"
    "        t += never(argc);\n"
    "    printf(\"%d\\n\", t);\n"
    "    return 0;\n"
    "}\n";

class Optimize : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(compile_c(k_source, program, "-ffunction-sections"));
        blocks = line_table_blocks(program, source);
        std::set<std::string> names;
        // Per call spin runs about ten times the instructions of stepper; main
        // once, with fewer instructions than stepper's hundred calls.
        const std::map<std::string, uint64_t> counts = {
            {"spin", 5000}, {"stepper", 100}, {"main", 1}};
        for (coverage::Block& block : blocks) {
            names.insert(block.function);
            block.count = counts.contains(block.function) ? counts.at(block.function) : 0;
            executed[block.function] += block.count * block.insn_count;
        }
        functions = names.size();
        ASSERT_TRUE(names.contains("spin") && names.contains("never"));
        ASSERT_GT(executed["stepper"], executed["main"]);
        ASSERT_EQ(run({"mkdir", "-p", dir / "out"}).status, 0);
    }

    RunResult optimize(const std::string& target, const std::string& location) {
        return run_morphel({"-ryn", "-o", output, "-xkalfix=use:" + location,
                            "-error_not_optimizable=on", target});
    }

    TempDir dir;
    const std::string source = dir / "work.c";
    const std::string program = dir / "work";
    const std::string output = dir / "out/work.opt";
    std::vector<coverage::Block> blocks;
    std::map<std::string, uint64_t> executed;
    size_t functions = 0;
};

TEST_F(Optimize, ListsFunctionsThatRanInTheLinkersFormsAndWithoutCountsLeavesTheOrder) {
    write_instrdata(dir / "data/work.instrdata", instrdata_for(program, blocks));
    const RunResult result = optimize(program, dir / "data");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");

    // spin alone does more than 90% of the work.
    const uint64_t share =
        executed["spin"] * 100 / (executed["spin"] + executed["stepper"] + executed["main"]);
    ASSERT_GE(share, 90u);
    EXPECT_EQ(result.out, std::to_string(share) + "% of the executed instructions lie in 1 of " +
                              std::to_string(functions) + " functions (the first 1 of " + output +
                              ".symbol-order)\n");
    // never did not run: it has no place in either list.
    EXPECT_EQ(read_file(output + ".symbol-order"), "spin\nstepper\nmain\n");
    EXPECT_EQ(read_file(output + ".section-order"),
              "# Hot functions first: link with -ffunction-sections objects and\n"
              "# -fuse-ld=gold -Wl,--section-ordering-file,<this file>\n"
              ".text.spin\n.text.stepper\n.text.main\n");
    EXPECT_EQ(run({output}).out, run({program}).out);
    EXPECT_NE(
        run({"readelf", "-p", ".comment", output}).out.find("kalfix: optimized from " + program),
        std::string::npos);

    // No data; data in which no block ran; counts of another build, which
    // would order the wrong code. The lists of the run above go.
    coverage::InstrData stale = instrdata_for(program, blocks);
    stale.digest = std::string(32, '0');
    write_instrdata(dir / "stale/work.instrdata", stale);
    for (coverage::Block& block : blocks) {
        block.count = 0;
    }
    write_instrdata(dir / "idle/work.instrdata", instrdata_for(program, blocks));
    for (const std::string data : {"nothing-here", "idle", "stale"}) {
        SCOPED_TRACE(data);
        ASSERT_EQ(optimize(program, dir / "data").status, 0);
        const RunResult left = optimize(program, dir / data);
        ASSERT_EQ(left.status, 0) << left.err;
        EXPECT_EQ(left.out,
                  "no execution counts for " + program + ": the function order is left as it is\n");
        EXPECT_TRUE(
            data == "stale"
                ? std::regex_search(left.err, std::regex("^morphel: warning: .*another build"))
                : left.err.empty())
            << left.err;
        EXPECT_EQ(run({output}).out, run({program}).out);
        EXPECT_FALSE(exists(output + ".symbol-order"));
        EXPECT_FALSE(exists(output + ".section-order"));
    }
}

// A library target of the same -o gets a copy of its own name beside it, and
// the engine says where; counts of runs (the coverage way) order it, but only
// approximately, which the summary says.
TEST_F(Optimize, ALibraryGoesBesideTheOutputAndCountsOfRunsOrderItApproximately) {
    const std::string library = dir / "libwork.so";
    ASSERT_TRUE(compile_c(k_source, library, "-shared -fPIC -ffunction-sections"));
    std::vector<coverage::Block> lib_blocks = line_table_blocks(library, library + ".c");
    for (coverage::Block& block : lib_blocks) {
        block.count = block.function == "stepper" ? 1 : 0;
    }
    coverage::InstrData runs = instrdata_for(library, lib_blocks);
    runs.counts_exact = false;
    write_instrdata(dir / "libdata/work.instrdata", runs);

    const RunResult result = optimize(library, dir / "libdata");
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string copy = dir / "out/libwork.so.opt";
    EXPECT_EQ(result.out, "optimized copy of " + library + ": " + copy +
                              "\n100% of the executed instructions lie in 1 of " +
                              std::to_string(functions) + " functions (the first 1 of " + copy +
                              ".symbol-order)\nthe counts are runs that reached each block, not "
                              "executions: the order is approximate\n");
    EXPECT_FALSE(exists(output));
    EXPECT_EQ(read_file(copy + ".symbol-order"), "stepper\n");
    // The copy still loads in place of the library.
    EXPECT_EQ(run_shell("cp " + copy +
                            " libwork.so && printf 'int stepper(int);\\nint main(void) "
                            "{ return stepper(8); }\\n' > use.c && cc -o use use.c -L. -lwork "
                            "-Wl,-rpath,$PWD && ./use",
                        dir.path())
                  .status,
              7);
}

}  // namespace
