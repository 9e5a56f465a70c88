// Every analysis form over the exact counts of a real run: the analyses'
// program collected through the launcher, then analysed, whose loop trip
// count, call count and branch outcomes the test knows from its source.
#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/e2e_support.h"
#include "support/engine_support.h"

using ryn_test::RunResult;

namespace {

using ryn_test::json_by;
using ryn_test::json_numbers;
using ryn_test::json_texts;

class AnalyzeCounts : public ryn_e2e::DriverTest {
protected:
    void SetUp() override {
        program = work / "prog";
        ASSERT_TRUE(ryn_test::compile_c(ryn_test::k_analysed_source, program,
                                        "'" + ryn_test::kalnote_object() + "'"));
    }
    std::string program;
};

TEST_F(AnalyzeCounts, EveryFormReportsTheCountsTheProgramMakes) {
    const RunResult collected = ryn({"collect", program});
    ASSERT_EQ(collected.status, 0) << collected.err;
    EXPECT_EQ(collected.out, std::to_string(999 * 1000 * 1999 / 6) + "\n");

    const std::vector<std::string> forms = {
        "bbc", "bbc=add_up", "branch",   "branch=add_up",   "ifreq", "ifreq=square",
        "cc",  "cc=square",  "function", "function=square", "dis",   "dis=square"};
    std::vector<std::string> args = {"analyze"};
    for (const std::string& form : forms) {
        args.insert(args.end(), {"-a", form});
    }
    args.insert(args.end(), {"-o", "report.txt", program});
    const RunResult analysed = ryn(args);
    ASSERT_EQ(analysed.status, 0) << analysed.err;
    const std::string report = ryn_test::read_file(work / "report.txt");
    EXPECT_NE(report.find("counts: executions\n"), std::string::npos) << report;

    std::map<std::string, std::string> json;
    std::istringstream lines(ryn_test::read_file(work / "report.txt.jsonl"));
    for (std::string line; std::getline(lines, line);) {
        const std::vector<std::string> analysis = json_texts(line, "analysis");
        ASSERT_FALSE(analysis.empty()) << line;
        json[analysis[0]] = line;
    }
    ASSERT_EQ(json.size(), forms.size());

    // The loop's test runs once more than its body; the body calls square.
    EXPECT_EQ(json_numbers(json["bbc"], "count")[0], 1001u) << json["bbc"];
    EXPECT_EQ(json_numbers(json["bbc"], "line")[0], 11u);
    EXPECT_EQ(json_by(json["bbc=add_up"], "function", "count").size(), 1u);
    const std::vector<uint64_t> lines_of_add_up = json_numbers(json["bbc=add_up"], "line");
    const std::vector<uint64_t> counts_of_add_up = json_numbers(json["bbc=add_up"], "count");
    ASSERT_EQ(lines_of_add_up.size(), counts_of_add_up.size());
    for (size_t i = 0; i < lines_of_add_up.size(); ++i) {
        if (lines_of_add_up[i] == 12) {
            EXPECT_EQ(counts_of_add_up[i], 1000u) << "line 12 runs once per iteration";
        } else if (lines_of_add_up[i] != 11) {
            EXPECT_EQ(counts_of_add_up[i], 1u) << "line " << lines_of_add_up[i];
        }
    }

    // The loop's test branches back 1000 times and falls out once.
    for (const std::string form : {"branch", "branch=add_up"}) {
        EXPECT_EQ(json_numbers(json[form], "taken")[0] + json_numbers(json[form], "not_taken")[0],
                  1001u)
            << json[form];
        EXPECT_EQ(std::min(json_numbers(json[form], "taken")[0],
                           json_numbers(json[form], "not_taken")[0]),
                  1u);
        EXPECT_EQ(json_texts(json[form], "function")[0], "add_up");
    }

    for (const std::string form : {"ifreq", "ifreq=square"}) {
        std::string square;
        for (const std::string& row : ryn_test::json_objects(json[form])) {
            square += row.starts_with("{\"function\":\"square\"") ? row : "";
        }
        const std::map<std::string, uint64_t> mix = json_by(square, "mnemonic", "count");
        EXPECT_EQ(mix.at("imul"), 1000u) << form << ": " << json[form];
        EXPECT_EQ(mix.at("ret"), 1000u) << form;
    }

    EXPECT_EQ(json_texts(json["cc"], "caller")[0], "add_up");
    EXPECT_EQ(json_texts(json["cc"], "callee")[0], "square");
    EXPECT_EQ(json_numbers(json["cc"], "count")[0], 1000u);
    EXPECT_EQ(json_by(json["cc=square"], "caller", "count"),
              (std::map<std::string, uint64_t>{{"add_up", 1000}}));
    EXPECT_NE(
        json["cc"].find(
            "{\"caller\":\"main\",\"callee\":\"printf\",\"callee_kind\":\"import\",\"count\":1}"),
        std::string::npos)
        << json["cc"];

    const std::map<std::string, uint64_t> calls = json_by(json["function"], "function", "calls");
    EXPECT_EQ(calls.at("square"), 1000u);
    EXPECT_EQ(calls.at("add_up"), 1u);
    EXPECT_EQ(calls.at("main"), 1u);
    EXPECT_EQ(json_numbers(json["function=square"], "calls"), std::vector<uint64_t>{1000});
    EXPECT_EQ(json_numbers(json["function=square"], "instructions_executed")[0] % 1000, 0u);

    // The disassembly of square: every instruction ran 1000 times; in the
    // hottest functions' one, the multiply does too.
    for (const uint64_t count : json_numbers(json["dis=square"], "count")) {
        EXPECT_EQ(count, 1000u);
    }
    EXPECT_NE(json["dis"].find("{\"function\":\"square\",\"address\":"), std::string::npos);
    EXPECT_NE(report.find("  ; square\n"), std::string::npos) << report;
}

}  // namespace
