// The engine's analyses over data written for a compiled fixture, with
// counts the tests choose: block and branch counts, the instruction mix,
// call edges, function totals and the disassembly, each as text and as JSON
// lines; the top-N cut and order, the "=<function>" restriction, and the
// refusals of unknown functions and malformed analysis words.
#include <algorithm>
#include <map>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/engine_support.h"
#include "support/instrdata_fixture.h"
#include "support/test_support.h"

using namespace ryn_test;

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

class Analyses : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(compile_c(k_analysed_source, program));
        blocks = line_table_blocks(program, program + ".c");
        ASSERT_FALSE(blocks.empty());
        // The run the counts describe: add_up(1000), then twice through the
        // pointer.
        blocks = run_lines(blocks, {3, 4, 5, 9, 10, 13, 14, 15, 16, 17, 18, 19, 20}, 1);
        blocks = run_lines(blocks, {6, 7, 8, 12}, 1000);
        blocks = run_lines(blocks, {11}, 1001);
        data = instrdata_for(program, blocks);
        for (const coverage::Block& block : blocks) {
            if (block.is_function_entry()) {
                data.calls.push_back({block.addr, block.count});
            }
        }
        // The loop's test in add_up, the pointer choice in main, and a
        // branch of add_up no run reached.
        add_branch(11, "add_up", 1000, 1);
        add_branch(17, "main", 0, 1);
        add_branch(13, "add_up", 0, 0);
        std::sort(data.branches.begin(), data.branches.end(),
                  [](const auto& a, const auto& b) { return a.addr < b.addr; });
        save();
    }

    void add_branch(uint32_t line, const std::string& function, uint64_t taken, uint64_t not_taken) {
        for (const coverage::Block& block : blocks) {
            if (block.line == line && block.function == function) {
                data.branches.push_back({block.addr, block.addr, taken, not_taken});
                return;
            }
        }
        ADD_FAILURE() << "no block on line " << line << " of " << function;
    }

    void save() { write_instrdata(location, data); }

    RunResult analyze(const std::vector<std::string>& analyses, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {"-ryn"};
        args.insert(args.end(), analyses.begin(), analyses.end());
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), {"-xkalfix=use:" + location, "-error_not_optimizable=on", program});
        return run_morphel(args);
    }

    // The JSON line of the one analysis asked for, from a run without -out=.
    std::string json_of(const std::string& analysis) {
        const RunResult result = analyze({"-" + analysis});
        EXPECT_EQ(result.status, 0) << result.err;
        const std::vector<std::string> lines = lines_of(read_file(dir / "d/prog.analysis.jsonl"));
        EXPECT_EQ(lines.size(), 1u);
        return lines.empty() ? "" : lines[0];
    }

    // The executed instructions of each function as the data gives them.
    std::map<std::string, uint64_t> executed_by_function() const {
        std::map<std::string, uint64_t> executed;
        for (const coverage::Block& block : data.blocks) {
            executed[block.function] += block.count * block.insn_count;
        }
        return executed;
    }

    TempDir dir;
    std::string program = dir / "prog";
    std::string location = dir / "d/prog.instrdata";
    std::vector<coverage::Block> blocks;
    coverage::InstrData data;
};

TEST_F(Analyses, BlockCountsTopNCutsTheMostExecutedAndAFunctionListsEveryBlock) {
    std::vector<uint64_t> counts;
    for (const coverage::Block& block : blocks) {
        if (block.count > 0) {
            counts.push_back(block.count);
        }
    }
    std::sort(counts.rbegin(), counts.rend());

    const std::string top4 = json_of("bbc=4");
    EXPECT_EQ(json_numbers(top4, "count"), std::vector<uint64_t>(counts.begin(), counts.begin() + 4));

    // The default cut is 20, and says so.
    const RunResult all = analyze({"-bbc"});
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_NE(all.out.find("== bbc: the most executed blocks, top 20 (N not given: 20 by default) ==\n" +
                           std::to_string(counts.size()) + " of " + std::to_string(blocks.size()) +
                           " blocks ran; 20 shown\n"),
              std::string::npos)
        << all.out;
    ASSERT_GT(counts.size(), 20u) << "the fixture must have more blocks than the default cut";
    EXPECT_EQ(json_numbers(read_file(dir / "d/prog.analysis.jsonl"), "count"),
              std::vector<uint64_t>(counts.begin(), counts.begin() + 20));
    // The coverage table stays above the analyses.
    EXPECT_LT(all.out.find("Total ("), all.out.find("== bbc"));

    // Every block of the function, run or not, in address order; the symbol
    // and the C++ name without parameters both name it.
    const size_t twice_blocks = std::ranges::count(blocks, "_ZN2ns5twiceEi", &coverage::Block::function);
    for (const std::string name : {"ns::twice", "_ZN2ns5twiceEi", "ns::twice(int)"}) {
        const std::string json = json_of("bbc=" + name);
        EXPECT_EQ(json_numbers(json, "count"), std::vector<uint64_t>(twice_blocks, 1)) << name;
        EXPECT_EQ(json_by(json, "function", "count").size(), 1u) << json;
        EXPECT_NE(json.find("\"function\":\"ns::twice(int)\""), std::string::npos) << json;
    }
    const std::vector<std::string> addresses = json_texts(json_of("bbc=add_up"), "address");
    EXPECT_TRUE(std::ranges::is_sorted(addresses, [](const std::string& a, const std::string& b) {
        return std::stoull(a, nullptr, 16) < std::stoull(b, nullptr, 16);
    }));
    EXPECT_GT(addresses.size(), 4u);
}

TEST_F(Analyses, BranchCountsRankByExecutionsAndKeepUnreachedOnesForTheirFunction) {
    const std::string top = json_of("branch");
    EXPECT_EQ(json_numbers(top, "taken"), (std::vector<uint64_t>{1000, 0}));
    EXPECT_EQ(json_numbers(top, "not_taken"), (std::vector<uint64_t>{1, 1}));
    EXPECT_EQ(json_texts(top, "function"), (std::vector<std::string>{"add_up", "main"}));
    EXPECT_NE(top.find("\"taken_ratio\":0.999001"), std::string::npos) << top;
    EXPECT_NE(top.find("\"taken_ratio\":0,"), std::string::npos) << top;

    const std::string own = json_of("branch=add_up");
    EXPECT_EQ(json_numbers(own, "taken"), (std::vector<uint64_t>{1000, 0}));
    EXPECT_EQ(json_numbers(own, "line"), (std::vector<uint64_t>{11, 13}));
    EXPECT_NE(own.find("\"taken_ratio\":null"), std::string::npos) << "a branch never reached has no ratio";

    const RunResult text = analyze({"-branch=add_up"});
    EXPECT_NE(text.out.find("1000                1   99.9%  " + program + ".c:11  add_up\n"), std::string::npos)
        << text.out;
}

TEST_F(Analyses, InstructionMixMultipliesEachInstructionByItsBlocksCount) {
    // Every instruction of square counted as often as its block ran, most
    // executed first.
    const std::vector<uint64_t> counts = json_numbers(json_of("ifreq=square"), "count");
    EXPECT_EQ(std::accumulate(counts.begin(), counts.end(), uint64_t{0}), executed_by_function()["square"]);
    EXPECT_TRUE(std::ranges::is_sorted(counts, std::greater<>()));

    // Only the hottest function with N = 1.
    const auto executed = executed_by_function();
    const auto hottest = std::ranges::max_element(executed, {}, [](const auto& e) { return e.second; });
    const std::string top = json_of("ifreq=1");
    EXPECT_EQ(json_by(top, "function", "count").size(), 1u) << top;
    EXPECT_EQ(json_texts(top, "function")[0], hottest->first);
}

TEST_F(Analyses, CallEdgesCountEachCallAsOftenAsItsBlockRan) {
    // From main: a direct call, the import through the PLT, and the call
    // through the pointer, whose target is not known.
    const std::string from_main = json_of("cc=main");
    std::map<std::string, std::string> kinds;
    for (const std::string& row : json_objects(from_main)) {
        kinds[json_texts(row, "callee").at(0)] = json_texts(row, "callee_kind").at(0);
    }
    EXPECT_EQ(kinds, (std::map<std::string, std::string>{
                         {"add_up", "function"}, {"printf", "import"}, {"<indirect>", "indirect"}}));
    EXPECT_EQ(json_numbers(from_main, "count"), (std::vector<uint64_t>{1, 1, 1}));

    const RunResult text = analyze({"-cc=main"});
    EXPECT_NE(text.out.find("main -> printf (imported)\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("the executions whose target was not recorded"), std::string::npos);

    // Built without the PLT, the call goes through the import's slot.
    const std::string direct = dir / "noplt";
    ASSERT_TRUE(compile_c(k_analysed_source, direct, "-fno-plt"));
    std::vector<coverage::Block> direct_blocks = line_table_blocks(direct, direct + ".c");
    for (coverage::Block& block : direct_blocks) {
        block.count = 1;
    }
    write_instrdata(dir / "noplt.instrdata", instrdata_for(direct, direct_blocks));
    const RunResult through_slot =
        run_morphel({"-ryn", "-cc=main", "-xkalfix=use:" + dir / "noplt.instrdata", direct});
    EXPECT_NE(through_slot.out.find("main -> printf (imported)\n"), std::string::npos) << through_slot.out;
}

TEST_F(Analyses, FunctionTotalsTakeCallsFromTheDataAndRankByInstructions) {
    // A loop back to square's entry block: 1500 entries, 1000 of them calls.
    for (coverage::Block& block : data.blocks) {
        if (block.function == "square" && block.is_function_entry()) {
            block.count = 1500;
        }
    }
    for (coverage::EntryCalls& calls : data.calls) {
        if (data.block_at(calls.addr)->function == "square") {
            calls.calls = 1000;
        }
    }
    save();
    const auto executed = executed_by_function();

    const std::string square = json_of("function=square");
    EXPECT_EQ(json_numbers(square, "calls"), std::vector<uint64_t>{1000});
    EXPECT_EQ(json_numbers(square, "instructions_executed"), std::vector<uint64_t>{executed.at("square")});

    const std::string all = json_of("function");
    const std::vector<uint64_t> ranked = json_numbers(all, "instructions_executed");
    EXPECT_EQ(ranked.size(), 4u) << "every function ran";
    EXPECT_TRUE(std::ranges::is_sorted(ranked, std::greater<>()));
    EXPECT_EQ(json_texts(all, "function").back(), executed.at("main") < executed.at("_ZN2ns5twiceEi")
                                                  ? "main" : "ns::twice(int)");
    // Blocks run of blocks, and the share of everything executed.
    const std::string twice = json_of("function=ns::twice");
    const uint64_t twice_blocks = std::ranges::count(data.blocks, "_ZN2ns5twiceEi", &coverage::Block::function);
    EXPECT_EQ(json_numbers(twice, "blocks"), std::vector<uint64_t>{twice_blocks});
    EXPECT_EQ(json_numbers(twice, "blocks_executed"), std::vector<uint64_t>{twice_blocks});
    const RunResult text = analyze({"-function=add_up"});
    const uint64_t total = std::accumulate(executed.begin(), executed.end(), uint64_t{0},
                                           [](uint64_t sum, const auto& e) { return sum + e.second; });
    const double share = 100.0 * static_cast<double>(executed.at("add_up")) / static_cast<double>(total);
    char shown[16];
    snprintf(shown, sizeof shown, "%.1f%%  add_up\n", share);
    EXPECT_NE(text.out.find(shown), std::string::npos) << text.out;
}

TEST_F(Analyses, DisassemblyShowsEachInstructionWithItsBlocksCountAndLine) {
    const std::string square = json_of("dis=square");
    const std::vector<std::string> instructions = json_texts(square, "instruction");
    ASSERT_FALSE(instructions.empty());
    EXPECT_NE(std::ranges::find(instructions, "imul eax, eax"), instructions.end()) << square;
    const std::vector<uint64_t> lines = json_numbers(square, "line");
    EXPECT_EQ(std::set<uint64_t>(lines.begin(), lines.end()), (std::set<uint64_t>{6, 7, 8}));
    // Calls name their callee, imports and calls through a pointer included.
    const std::vector<std::string> main_code = json_texts(json_of("dis=main"), "instruction");
    for (const std::string callee : {"printf", "<indirect>"}) {
        EXPECT_EQ(std::ranges::count_if(main_code, [&](const std::string& text) {
                      return text.starts_with("call ") && text.ends_with("  ; " + callee);
                  }), 1) << callee;
    }
}

TEST_F(Analyses, UnknownFunctionsAndMalformedWordsStopWithoutAReport) {
    const RunResult unknown = analyze({"-bbc", "-cc=nope"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.out, "");
    EXPECT_EQ(unknown.err, "morphel: error: no function named 'nope' in " + program + "\n");
    EXPECT_FALSE(exists(dir / "d/prog.analysis.jsonl"));

    for (const std::string bad : {"-bbcx", "-bbc=", "-cc=0", "-dis=", "-functions=3"}) {
        const RunResult result = analyze({bad});
        EXPECT_EQ(result.status, 2) << bad;
        EXPECT_EQ(result.out, "") << bad;
        EXPECT_TRUE(result.err.starts_with("morphel: error: malformed analysis " + bad + ": ")) << result.err;
    }
    // The coverage front end's own word still gives the table alone.
    const RunResult table = analyze({"-bcc"});
    EXPECT_EQ(table.status, 0) << table.err;
    EXPECT_EQ(table.out.find("machine-readable"), std::string::npos);
}

TEST_F(Analyses, RowsGoBesideTheReportFileAndRunsDataSaysWhatItCounts) {
    const std::string report = dir / "report.txt";
    ASSERT_EQ(analyze({"-bbc=2", "-cc=square"}, {"-out=" + report}).status, 0);
    std::vector<std::string> rows = lines_of(read_file(report + ".jsonl"));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_TRUE(rows[0].starts_with("{\"target\":\"" + program + "\",\"analysis\":\"bbc=2\",\"counts\":\"exact\","
                                    "\"rows\":[{\"address\":\"0x"))
        << rows[0];
    EXPECT_TRUE(rows[1].starts_with("{\"target\":\"" + program + "\",\"analysis\":\"cc=square\","));
    EXPECT_NE(read_file(report).find("machine-readable rows: " + report + ".jsonl (JSON Lines)\n"),
              std::string::npos);

    // A second target of the same run adds its rows; a new run (the driver
    // removed the report first) starts them afresh.
    ASSERT_EQ(analyze({"-function=1"}, {"-out=" + report}).status, 0);
    EXPECT_EQ(lines_of(read_file(report + ".jsonl")).size(), 3u);
    std::remove(report.c_str());
    ASSERT_EQ(analyze({"-function=1"}, {"-out=" + report}).status, 0);
    rows = lines_of(read_file(report + ".jsonl"));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_NE(rows[0].find("\"analysis\":\"function=1\""), std::string::npos);

    // Names are escaped: the same build under a path with a quote and a
    // backslash.
    const std::string odd = dir / "we\"ird\\prog";
    ASSERT_EQ(run({"cp", program, odd}).status, 0);
    ASSERT_EQ(run_morphel({"-ryn", "-bbc=1", "-xkalfix=use:" + location, odd}).status, 0);
    EXPECT_TRUE(read_file(dir / "d/we\"ird\\prog.analysis.jsonl")
                    .starts_with("{\"target\":\"" + dir.path() + "/we\\\"ird\\\\prog\",\"analysis\":\"bbc=1\""));

    data.counts_exact = false;
    save();
    const RunResult runs = analyze({"-bbc=1"});
    ASSERT_EQ(runs.status, 0) << runs.err;
    EXPECT_NE(runs.out.find("a count is the number of processes that reached the block, not its executions"),
              std::string::npos)
        << runs.out;
    EXPECT_NE(read_file(dir / "d/prog.analysis.jsonl").find("\"counts\":\"runs\""), std::string::npos);
}

}  // namespace
