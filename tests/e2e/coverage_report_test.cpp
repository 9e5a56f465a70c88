// From a real run to the reports: a program collected with the staged tools,
// then reported on by the experiment tool and by the engine's use mode; with
// QVEN_RYN_INSTRDATA_DIR set, its data goes there and adds up run after run.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/e2e_support.h"
#include "support/runtime_support.h"

using ryn_test::RunResult;

namespace {

const char* const k_source =
    "#include <stdio.h>\n"                 // 1
    "int main(int argc, char **argv) {\n"  // 2
    "    (void)argv;\n"                    // 3
    "    if (argc > 1)\n"                  // 4
    "        puts(\"args\");\n"            // 5
    "    puts(\"done\");\n"                // 6
    "    return 0;\n"                      // 7
    "}\n";                                 // 8

class RealRun : public ryn_e2e::DriverTest {
protected:
    void SetUp() override {
        program = work / "prog";
        ASSERT_TRUE(ryn_test::compile_c(k_source, program, "'" + ryn_test::kalnote_object() + "'"));
    }
    std::string program;
};

TEST_F(RealRun, CollectedDataBecomesTheCoverageReports) {
    const RunResult collected = ryn({"collect", "-M", program});
    ASSERT_EQ(collected.status, 0) << collected.err;
    EXPECT_EQ(collected.out, "done\n");
    // A program that loads no library of its own still leaves its (empty)
    // log, which tells the reports that follow libraries there are none.
    const auto logs = ryn_e2e::files_ending_in(work / "cache", ".liblog");
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(ryn_test::read_file(logs[0]), "");

    const RunResult experiment = ryn({"coverage", "-M", program});
    ASSERT_EQ(experiment.status, 0) << experiment.err;
    EXPECT_NE(experiment.out.find("\nmain "), std::string::npos) << experiment.out;
    EXPECT_NE(experiment.out.find("Coverage table: test.1.er/coverage.txt"), std::string::npos);

    // With an analytics file named, coverage writes that file in place of a
    // stale one, and starts no experiment.
    const std::string analytics = work / "coverage.tsv";
    ryn_test::write_file(analytics, "stale\n");
    for (int run = 0; run < 2; ++run) {
        const RunResult summary =
            ryn({"coverage", "-M", "-Wo,-zentor_analytics_file=" + analytics, program});
        ASSERT_EQ(summary.status, 0) << summary.err;
    }
    const std::string rows = ryn_test::read_file(analytics);
    const std::string key = "\nobject\t-\t" + program + "\t";
    ASSERT_NE(rows.find(key), std::string::npos) << rows;
    const std::string numbers = rows.substr(rows.find(key) + key.size());
    // One target: the total, right under the two header lines, is its row.
    const size_t total = rows.find('\n', rows.find('\n') + 1) + 1;
    EXPECT_EQ(rows.substr(total, rows.find('\n', total) - total),
              "total\t-\t-\t" + numbers.substr(0, numbers.find('\n')))
        << rows;
    EXPECT_NE(rows.find("\nfunction\tmain\t" + program + "\t1\t1\t"), std::string::npos) << rows;
    EXPECT_FALSE(std::filesystem::exists(work / "test.2.er"));

    // A second run with an argument adds to the same data.
    ASSERT_EQ(ryn_test::run({work / "prog.instr", "x"}, env, work.path()).status, 0);
    const RunResult analysis = ryn({"analyze", "-a", "bbc", program});
    ASSERT_EQ(analysis.status, 0) << analysis.err;
    EXPECT_NE(analysis.out.find(program + ".c:5  main\n"), std::string::npos) << analysis.out;
    EXPECT_EQ(analysis.out.find("    0  " + program + ".c:5"), std::string::npos)
        << "the second run reached line 5";
}

TEST_F(RealRun, DataDirectoryFromTheEnvironmentAccumulates) {
    for (int i = 0; i < 2; ++i) {
        const RunResult collected = run_front_end(
            "ryn", {"collect", "-M", program}, {"QVEN_RYN_INSTRDATA_DIR=" + (work / "elsewhere")});
        ASSERT_EQ(collected.status, 0) << collected.err;
    }
    const std::string data = work / "elsewhere/prog.instrdata/prog.instrdata";
    EXPECT_EQ(ryn_test::read_instrdata(data).counts.at("main"), 2u);
    EXPECT_FALSE(ryn_test::exists(work / "prog.instrdata/prog.instrdata"));
}

}  // namespace
