// Every analysis form over the exact counts of a real run: a program
// collected through the launcher, then analysed, whose loop trip count, call
// count and branch outcomes the test knows from its source. The engine's own
// runs over the same data show refusals that stop before any report, C++
// names accepted in each spelling, and rows that escape names and say when
// the counts are runs.
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

// A program for the analyses: one call through the PLT (printf), one through
// a pointer, a loop of 1000 calls, and a function whose symbol is a C++ one.
const char* const k_source =
    "#include <stdio.h>\n"                                    // 1
    "int twice(int v) __asm__(\"_ZN2ns5twiceEi\");\n"         // 2
    "__attribute__((noinline)) int twice(int v) {\n"          // 3
    "    return v * 2;\n"                                     // 4
    "}\n"                                                     // 5
    "__attribute__((noinline)) static int square(int v) {\n"  // 6
    "    return v * v;\n"                                     // 7
    "}\n"                                                     // 8
    "__attribute__((noinline)) int add_up(int n) {\n"         // 9
    "    int total = 0;\n"                                    // 10
    "    for (int i = 0; i < n; ++i)\n"                       // 11
    "        total += square(i);\n"                           // 12
    "    return total;\n"                                     // 13
    "}\n"                                                     // 14
    "int main(int argc, char **argv) {\n"                     // 15
    "    (void)argv;\n"                                       // 16
    "    int (*fp)(int) = argc > 5 ? square : twice;\n"       // 17
    "    printf(\"%d\\n\", add_up(1000));\n"                  // 18
    "    return fp(3) > 0 ? 0 : 1;\n"                         // 19
    "}\n";                                                    // 20

using ryn_test::json_by;
using ryn_test::json_numbers;
using ryn_test::json_texts;

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
    EXPECT_EQ(collected.out, std::to_string(999 * 1000 * 1999 / 6) + "\n");
    const std::string data = work / "prog.instrdata/prog.instrdata";
    const auto engine = [&](const std::string& analysis, const std::string& location,
                            const std::string& target) {
        return ryn_test::run_morphel(
            {"-ryn", analysis, "-xkalfix=use:" + location, "-error_not_optimizable=on", target});
    };

    // Refusals of the engine stop before any report.
    const RunResult unknown = engine("-cc=nope", data, program);
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.out, "");
    EXPECT_EQ(unknown.err, "morphel: error: no function named 'nope' in " + program + "\n");
    for (const std::string bad : {"-bbcx", "-bbc=", "-cc=0", "-dis=", "-functions=3"}) {
        const RunResult result = engine(bad, data, program);
        EXPECT_EQ(result.status, 2) << bad;
        EXPECT_EQ(result.out, "") << bad;
        EXPECT_TRUE(result.err.starts_with("morphel: error: malformed analysis " + bad + ": "))
            << result.err;
    }
    EXPECT_FALSE(ryn_test::exists(work / "prog.instrdata/prog.analysis.jsonl"));

    // The same build under a path with a quote and a backslash, with counts
    // of runs, which the rows and the text say they are.
    const std::string odd = work / "we\"ird\\prog";
    ASSERT_EQ(ryn_test::run({"cp", program, odd}).status, 0);
    std::string runs_data = ryn_test::read_file(data);
    ASSERT_NE(runs_data.find("\ncounts exact\n"), std::string::npos);
    runs_data.replace(runs_data.find("\ncounts exact\n"), 14, "\ncounts runs\n");
    ryn_test::write_file(work / "runs.instrdata", runs_data);
    const RunResult runs = engine("-bbc=1", work / "runs.instrdata", odd);
    ASSERT_EQ(runs.status, 0) << runs.err;
    EXPECT_NE(runs.out.find(
                  "a count is the number of processes that reached the block, not its executions"),
              std::string::npos)
        << runs.out;
    const std::string odd_json = ryn_test::read_file(odd + ".analysis.jsonl");
    EXPECT_TRUE(odd_json.starts_with("{\"target\":\"" + work.path() +
                                     "/we\\\"ird\\\\prog\",\"analysis\":\"bbc=1\","
                                     "\"counts\":\"runs\""))
        << odd_json;
    EXPECT_EQ(json_numbers(odd_json, "count").size(), 1u) << "the top 1 only";

    const std::vector<std::string> forms = {
        "bbc", "bbc=add_up", "branch", "branch=add_up", "ifreq", "ifreq=square", "cc", "cc=square",
        "function", "function=square", "dis", "dis=square",
        // C++ names in every spelling
        "function=ns::twice", "function=_ZN2ns5twiceEi", "function=ns::twice(int)"};
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

    for (const std::string form :
         {"function=ns::twice", "function=_ZN2ns5twiceEi", "function=ns::twice(int)"}) {
        EXPECT_EQ(json_texts(json[form], "function"), std::vector<std::string>{"ns::twice(int)"})
            << json[form];
    }
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

    // Built without the PLT, the call to printf goes through the import's slot.
    const std::string direct = work / "noplt";
    ASSERT_TRUE(
        ryn_test::compile_c(k_source, direct, "-fno-plt '" + ryn_test::kalnote_object() + "'"));
    ASSERT_EQ(ryn({"collect", direct}).status, 0);
    const RunResult noplt = ryn({"analyze", "-a", "cc=main", direct});
    EXPECT_NE(noplt.out.find("main -> printf (imported)\n"), std::string::npos) << noplt.out;
}

}  // namespace
