// The reports. The experiment tool records its command line in the
// experiment directory and reports the coverage of every target whose
// recorded data it can use. From a real run: a program collected with the
// staged tools, then reported on by the experiment tool and by the engine's
// use mode; with QVEN_RYN_INSTRDATA_DIR set, its data goes there and adds up
// run after run.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/e2e_support.h"
#include "support/instrdata_fixture.h"
#include "support/runtime_support.h"

using namespace ryn_test;
using Args = std::vector<std::string>;

namespace {

RunResult er_ryn(Args args, const std::string& cwd) {
    args.insert(args.begin(), stage_dir() + "/lib/analyzer/er_ryn");
    return run(args, {}, cwd);
}

TEST(ErRyn, RecordsEachRunInItsExperiment) {
    TempDir dir;
    const std::string prog = dir / "prog";
    write_file(prog, "");
    const Args blocks = {"-d", "exp", "-v", prog, "-vv", "-ryn", "-checkfile=c", prog, "-bcc"};
    ASSERT_EQ(er_ryn(blocks, dir.path()).status, 0);
    ASSERT_EQ(er_ryn({"-o", "mine.er", prog, "-bcc"}, dir.path()).status, 0);
    ASSERT_EQ(er_ryn({prog, "-bcc"}, dir.path()).status, 0);
    EXPECT_EQ(read_file(dir / "test.1.er/command"),
              "-d\nexp\n-v\n" + prog + "\n-vv\n-ryn\n-checkfile=c\n" + prog + "\n-bcc\n");
    EXPECT_EQ(read_file(dir / "mine.er/command"), "-o\nmine.er\n" + prog + "\n-bcc\n");
    EXPECT_EQ(read_file(dir / "test.2.er/command"), prog + "\n-bcc\n");
}

// A program and its library, both run without arguments, with the data such
// a run leaves.
class ExperimentReports : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(
            compile_c("int lib_used(int x) { return x + 1; }\n"
                      "int lib_unused(int x) { return x * 2; }\n",
                      lib, "-shared -fPIC"));
        ASSERT_TRUE(
            compile_c("#include <stdio.h>\n"
                      "int lib_used(int);\n"
                      "static int skip_helper(void) { return 2; }\n"
                      "int main(int argc, char **argv) {\n"
                      "    if (argc > 1)\n"
                      "        return skip_helper();\n"
                      "    printf(\"%d\\n\", lib_used(argc));\n"
                      "    return 0;\n"
                      "}\n",
                      prog, "'" + lib + "'"));
        write_instrdata(
            prog_data,
            instrdata_for(prog, run_lines(line_table_blocks(prog, prog + ".c"), {4, 5, 7, 8, 9})));
        write_instrdata(lib_data,
                        instrdata_for(lib, run_lines(line_table_blocks(lib, lib + ".c"), {1})));
        write_file(dir / "skip.list", "skip_helper");
    }

    // Both targets with the same requests; skip_helper is excluded.
    Args command() const {
        return {prog,
                "-vv",
                "-ryn",
                "-er:function",
                "-er:executed",
                "-er:blockcover%",
                "-xkalfix=use:" + prog_data,
                "-error_not_optimizable=on",
                lib,
                "-ryn",
                "-er:function",
                "-er:executed",
                "-er:blockcover%",
                "-xkalfix=use:" + lib_data,
                "-error_not_optimizable=on",
                "-blacklist=" + dir / "skip.list"};
    }

    TempDir dir;
    const std::string prog = dir / "prog";
    const std::string lib = dir / "libtwo.so";
    const std::string prog_data = dir / "prog.instrdata/prog.instrdata";
    const std::string lib_data = dir / "libtwo.so.instrdata/prog.instrdata";
};

TEST_F(ExperimentReports, EveryUsableTargetsReportsLandInTheExperimentAndTheRestAreNamed) {
    RunResult result = er_ryn(command(), dir.path());
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const std::string exp = dir / "test.1.er";
    const std::string table = read_file(exp + "/coverage.txt");
    EXPECT_EQ(result.out.rfind(table, 0), 0u) << result.out;
    EXPECT_NE(table.find("lib_unused (libtwo.so)"), std::string::npos) << table;
    EXPECT_EQ(table.find("skip_helper"), std::string::npos) << table;
    EXPECT_NE(table.find("Total (2/3 functions run)"), std::string::npos) << table;

    std::string info = read_file(exp + "/coverage.info");
    EXPECT_NE(info.find("SF:" + prog + ".c\n"), std::string::npos) << info;
    EXPECT_NE(info.find("SF:" + lib + ".c\n"), std::string::npos);
    EXPECT_EQ(info.find("DA:3,"), std::string::npos) << "the line of an excluded function";

    const std::string listing = read_file(exp + "/prog.c.gcov");
    EXPECT_NE(listing.find("        -:    3:static int skip_helper"), std::string::npos) << listing;
    EXPECT_NE(listing.find("    #####:    6:        return skip_helper();\n"), std::string::npos);
    EXPECT_NE(read_file(exp + "/libtwo.so.c.gcov").find("    #####:    2:int lib_unused"),
              std::string::npos);
    if (run_shell("command -v genhtml").status == 0) {
        EXPECT_TRUE(exists(exp + "/html/index.html")) << read_file(exp + "/genhtml.log");
        EXPECT_NE(result.out.find("HTML report: test.1.er/html/index.html\n"), std::string::npos);
    } else {
        EXPECT_NE(result.out.find("genhtml (package lcov) is not installed"), std::string::npos);
    }

    // The library was rebuilt after the run.
    std::ofstream(lib, std::ios::app) << "rebuilt";
    result = er_ryn(command(), dir.path());
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err.rfind("er_ryn: " + lib + " left out of the report: the data in " +
                                   lib_data + " was recorded from another build of " + lib,
                               0),
              0u)
        << result.err;
    info = read_file(dir / "test.2.er/coverage.info");
    EXPECT_NE(info.find("SF:" + prog + ".c\n"), std::string::npos);
    EXPECT_EQ(info.find("lib_used"), std::string::npos);

    // With no usable data at all there is no report, and the run says so.
    write_file(prog_data, "counts");
    result = er_ryn(command(), dir.path());
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("er_ryn: " + prog + " left out of the report: " + prog_data +
                              ": malformed instrumentation data: line 1"),
              std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("no usable instrumentation data; no coverage report written\n"),
              std::string::npos);
    EXPECT_TRUE(exists(dir / "test.3.er/command"));
    EXPECT_FALSE(exists(dir / "test.3.er/coverage.info"));
}

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
        ASSERT_TRUE(compile_c(k_source, program, "'" + kalnote_object() + "'"));
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
    EXPECT_EQ(read_file(logs[0]), "");

    const RunResult experiment = ryn({"coverage", "-M", program});
    ASSERT_EQ(experiment.status, 0) << experiment.err;
    EXPECT_NE(experiment.out.find("  main\n"), std::string::npos) << experiment.out;
    EXPECT_NE(experiment.out.find("Coverage table: test.1.er/coverage.txt"), std::string::npos);

    // With an analytics file named, coverage writes that file in place of a
    // stale one, and starts no experiment.
    const std::string analytics = work / "coverage.tsv";
    write_file(analytics, "stale\n");
    for (int run = 0; run < 2; ++run) {
        const RunResult summary =
            ryn({"coverage", "-M", "-Wo,-zentor_analytics_file=" + analytics, program});
        ASSERT_EQ(summary.status, 0) << summary.err;
    }
    const std::string rows = read_file(analytics);
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
    ASSERT_EQ(run({work / "prog.instr", "x"}, env, work.path()).status, 0);
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
    EXPECT_EQ(read_instrdata(data).counts.at("main"), 2u);
    EXPECT_FALSE(exists(work / "prog.instrdata/prog.instrdata"));
}

}  // namespace
