// What only the engine's own runs show about the analyses: refusals that stop
// before any report, C++ names accepted in each spelling, an import called
// through its slot, and JSON rows whose names are escaped and which say when
// the counts are runs. The counts and ranking of every form are pinned by the
// analyze test over a real run.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/engine_support.h"
#include "support/instrdata_fixture.h"
#include "support/test_support.h"

using namespace ryn_test;

namespace {

class Analyses : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(compile_c(k_analysed_source, program));
        data = ran_once(program);
        write_instrdata(location, data);
    }

    // Data in which every block of `target` ran once.
    static coverage::InstrData ran_once(const std::string& target) {
        std::vector<coverage::Block> blocks = line_table_blocks(target, target + ".c");
        EXPECT_FALSE(blocks.empty());
        for (coverage::Block& block : blocks) {
            block.count = 1;
        }
        return instrdata_for(target, blocks);
    }

    RunResult analyze(const std::string& analysis, const std::string& target) {
        return run_morphel(
            {"-ryn", analysis, "-xkalfix=use:" + location, "-error_not_optimizable=on", target});
    }

    TempDir dir;
    std::string program = dir / "prog";
    std::string location = dir / "d/prog.instrdata";
    coverage::InstrData data;
};

TEST_F(Analyses, UnknownFunctionsAndMalformedWordsStopBeforeAnyReport) {
    const RunResult unknown =
        run_morphel({"-ryn", "-bbc", "-cc=nope", "-xkalfix=use:" + location, program});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.out, "");
    EXPECT_EQ(unknown.err, "morphel: error: no function named 'nope' in " + program + "\n");
    EXPECT_FALSE(exists(dir / "d/prog.analysis.jsonl"));

    for (const std::string bad : {"-bbcx", "-bbc=", "-cc=0", "-dis=", "-functions=3"}) {
        const RunResult result = analyze(bad, program);
        EXPECT_EQ(result.status, 2) << bad;
        EXPECT_EQ(result.out, "") << bad;
        EXPECT_TRUE(result.err.starts_with("morphel: error: malformed analysis " + bad + ": "))
            << result.err;
        EXPECT_FALSE(exists(dir / "d/prog.analysis.jsonl")) << bad;
    }
}

TEST_F(Analyses, CxxNamesInEverySpellingAndRowsThatEscapeNamesAndSayWhatTheyCount) {
    for (const std::string name : {"ns::twice", "_ZN2ns5twiceEi", "ns::twice(int)"}) {
        ASSERT_EQ(analyze("-function=" + name, program).status, 0) << name;
        const std::string json = read_file(dir / "d/prog.analysis.jsonl");
        EXPECT_EQ(json_texts(json, "function"), std::vector<std::string>{"ns::twice(int)"})
            << name << ": " << json;
    }

    // The same build under a path with a quote and a backslash, with counts
    // of runs, which the rows and the text say they are.
    const std::string odd = dir / "we\"ird\\prog";
    ASSERT_EQ(run({"cp", program, odd}).status, 0);
    data.counts_exact = false;
    write_instrdata(location, data);
    const RunResult runs = analyze("-bbc=1", odd);
    ASSERT_EQ(runs.status, 0) << runs.err;
    EXPECT_NE(runs.out.find(
                  "a count is the number of processes that reached the block, not its executions"),
              std::string::npos)
        << runs.out;
    const std::string json = read_file(dir / "d/we\"ird\\prog.analysis.jsonl");
    EXPECT_TRUE(json.starts_with("{\"target\":\"" + dir.path() +
                                 "/we\\\"ird\\\\prog\",\"analysis\":\"bbc=1\","
                                 "\"counts\":\"runs\""))
        << json;
    EXPECT_EQ(json_numbers(json, "count").size(), 1u) << "the top 1 only";
}

TEST_F(Analyses, AnImportCalledThroughItsSlotIsNamed) {
    // Built without the PLT, the call to printf goes through the import's slot.
    const std::string direct = dir / "noplt";
    ASSERT_TRUE(compile_c(k_analysed_source, direct, "-fno-plt"));
    write_instrdata(dir / "noplt.instrdata", ran_once(direct));
    const RunResult result =
        run_morphel({"-ryn", "-cc=main", "-xkalfix=use:" + dir / "noplt.instrdata", direct});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("main -> printf (imported)\n"), std::string::npos) << result.out;
}

}  // namespace
