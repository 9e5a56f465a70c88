// The experiment tool records its command line in the experiment directory,
// refuses a command line the driver could not have meant, and reports the
// coverage of every target whose recorded data it can use.
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/instrdata_fixture.h"
#include "support/test_support.h"

using namespace ryn_test;
using Args = std::vector<std::string>;

namespace {

RunResult er_ryn(Args args, const std::string& cwd) {
    args.insert(args.begin(), stage_dir() + "/lib/analyzer/er_ryn");
    return run(args, {}, cwd);
}

TEST(ErRyn, RecordsEachRunInItsExperimentAndRefusesMalformedCommands) {
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

    for (const Args& bad :
         {Args{"-v"}, Args{"-d"}, Args{dir / "absent", "-bcc"}, Args{prog, prog, "-bcc"},
          Args{prog, "-bcc", prog}, Args{"-o", "x", prog, "-bcc"}}) {
        const RunResult refused = er_ryn(bad, dir.path());
        EXPECT_EQ(refused.status, 2);
        EXPECT_EQ(refused.err.rfind("er_ryn: error: ", 0), 0u) << refused.err;
    }
    EXPECT_FALSE(exists(dir / "test.3.er"));
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

}  // namespace
