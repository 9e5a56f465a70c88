// Every analysis form over the exact counts of a real run: a program
// collected through the launcher, then analysed, whose loop trip count,
// call count and branch outcomes the test knows from its source.
#include <algorithm>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/e2e_support.h"

using ryn_test::RunResult;

namespace {

using ryn_test::json_numbers;
using ryn_test::json_texts;

const char* const k_source =
    "#include <stdio.h>\n"                                     // 1
    "__attribute__((noinline)) static int square(int v) {\n"   // 2
    "    return v * v;\n"                                      // 3
    "}\n"                                                      // 4
    "__attribute__((noinline)) int add_up(int n) {\n"          // 5
    "    int total = 0;\n"                                     // 6
    "    for (int i = 0; i < n; ++i)\n"                        // 7
    "        total += square(i);\n"                            // 8
    "    return total;\n"                                      // 9
    "}\n"                                                      // 10
    "int main(void) {\n"                                       // 11
    "    printf(\"%d\\n\", add_up(700));\n"                    // 12
    "    return 0;\n"                                          // 13
    "}\n";                                                     // 14

// The rows of one object of `text` as (key, number) pairs keyed by a text
// field, for rows that have both.
std::map<std::string, uint64_t> by(const std::string& text, const std::string& name, const std::string& number) {
    std::map<std::string, uint64_t> found;
    const std::regex row("\\{[^{}]*\\}");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), row); it != std::sregex_iterator(); ++it) {
        const std::string object = it->str();
        const std::vector<std::string> names = json_texts(object, name);
        const std::vector<uint64_t> values = json_numbers(object, number);
        if (names.size() == 1 && values.size() == 1) {
            found[names[0]] = values[0];
        }
    }
    return found;
}

class AnalyzeCounts : public ryn_e2e::DriverTest {
protected:
    void SetUp() override {
        program = work / "prog";
        ASSERT_TRUE(ryn_test::compile_c(k_source, program, "'" + ryn_test::kalnote_object() + "'"));
    }
    std::string program;
};

TEST_F(AnalyzeCounts, EveryFormReportsTheCountsTheProgramMakes) {
    const RunResult collected = ryn({"collect", program});
    ASSERT_EQ(collected.status, 0) << collected.err;
    EXPECT_EQ(collected.out, std::to_string(699 * 700 * 1399 / 6) + "\n");

    const std::vector<std::string> forms = {"bbc",  "bbc=add_up", "branch",   "branch=add_up",
                                            "ifreq", "ifreq=square", "cc",    "cc=square",
                                            "function", "function=square", "dis", "dis=square"};
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
    EXPECT_EQ(json_numbers(json["bbc"], "count")[0], 701u) << json["bbc"];
    EXPECT_EQ(json_numbers(json["bbc"], "line")[0], 7u);
    EXPECT_EQ(by(json["bbc=add_up"], "function", "count").size(), 1u);
    const std::vector<uint64_t> lines_of_add_up = json_numbers(json["bbc=add_up"], "line");
    const std::vector<uint64_t> counts_of_add_up = json_numbers(json["bbc=add_up"], "count");
    ASSERT_EQ(lines_of_add_up.size(), counts_of_add_up.size());
    for (size_t i = 0; i < lines_of_add_up.size(); ++i) {
        if (lines_of_add_up[i] == 8) {
            EXPECT_EQ(counts_of_add_up[i], 700u) << "line 8 runs once per iteration";
        } else if (lines_of_add_up[i] == 5 || lines_of_add_up[i] == 6 || lines_of_add_up[i] >= 9) {
            EXPECT_EQ(counts_of_add_up[i], 1u) << "line " << lines_of_add_up[i];
        }
    }

    // The loop's test branches back 700 times and falls out once.
    for (const std::string form : {"branch", "branch=add_up"}) {
        EXPECT_EQ(json_numbers(json[form], "taken")[0] + json_numbers(json[form], "not_taken")[0], 701u) << json[form];
        EXPECT_EQ(std::min(json_numbers(json[form], "taken")[0], json_numbers(json[form], "not_taken")[0]), 1u);
        EXPECT_EQ(json_texts(json[form], "function")[0], "add_up");
    }

    for (const std::string form : {"ifreq", "ifreq=square"}) {
        std::map<std::string, uint64_t> mix;
        const std::regex row("\\{\"function\":\"square\"[^{}]*\\}");
        for (auto it = std::sregex_iterator(json[form].begin(), json[form].end(), row);
             it != std::sregex_iterator(); ++it) {
            mix[json_texts(it->str(), "mnemonic")[0]] = json_numbers(it->str(), "count")[0];
        }
        EXPECT_EQ(mix["imul"], 700u) << form << ": " << json[form];
        EXPECT_EQ(mix["ret"], 700u) << form;
    }

    EXPECT_EQ(json_texts(json["cc"], "caller")[0], "add_up");
    EXPECT_EQ(json_texts(json["cc"], "callee")[0], "square");
    EXPECT_EQ(json_numbers(json["cc"], "count")[0], 700u);
    EXPECT_EQ(by(json["cc=square"], "caller", "count"), (std::map<std::string, uint64_t>{{"add_up", 700}}));
    EXPECT_NE(json["cc"].find("{\"caller\":\"main\",\"callee\":\"printf\",\"callee_kind\":\"import\",\"count\":1}"),
              std::string::npos)
        << json["cc"];

    const std::map<std::string, uint64_t> calls = by(json["function"], "function", "calls");
    EXPECT_EQ(calls.at("square"), 700u);
    EXPECT_EQ(calls.at("add_up"), 1u);
    EXPECT_EQ(calls.at("main"), 1u);
    EXPECT_EQ(json_numbers(json["function=square"], "calls"), std::vector<uint64_t>{700});
    EXPECT_EQ(json_numbers(json["function=square"], "instructions_executed")[0] % 700, 0u);

    // The disassembly of square: every instruction ran 700 times; in the
    // hottest functions' one, the multiply does too.
    for (const uint64_t count : json_numbers(json["dis=square"], "count")) {
        EXPECT_EQ(count, 700u);
    }
    EXPECT_NE(json["dis"].find("{\"function\":\"square\",\"address\":"), std::string::npos);
    EXPECT_NE(report.find("  ; square\n"), std::string::npos) << report;
}

}  // namespace
