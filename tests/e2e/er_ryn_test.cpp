// The experiment tool stand-in records its command line in the experiment
// directory and refuses a malformed one.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

using ryn_test::read_file;
using ryn_test::run;
using ryn_test::TempDir;

std::string er_ryn() { return ryn_test::stage_dir() + "/lib/analyzer/er_ryn"; }

std::string lines(const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& arg : args) {
        text += arg + "\n";
    }
    return text;
}

class ErRyn : public ::testing::Test {
protected:
    void SetUp() override {
        ryn_test::write_file(prog_, "");
        ryn_test::write_file(lib_, "");
    }

    TempDir dir_;
    const std::string prog_ = dir_ / "prog";
    const std::string lib_ = dir_ / "libq.so";
};

TEST_F(ErRyn, RecordsEachRunInTheNextFreeExperiment) {
    const std::vector<std::string> first = {
        "-d", "exp", "-C", "on", "-v", prog_, "-vv", "-Yo,/opt/bin", "-ryn", "-er:function",
        "-xkalfix=use:./prog.instrdata/prog.instrdata", "-error_not_optimizable=off",
        "-last_fg=0", "-checkfile=chk", lib_, "-ryn", "-xkalfix=use:./libq.so.instrdata",
        "-error_not_optimizable=off", "-blacklist=/tmp/f", "-blacklist_pfx=/tmp/p"};
    std::vector<std::string> argv = {er_ryn()};
    argv.insert(argv.end(), first.begin(), first.end());
    const auto run1 = run(argv, {}, dir_.path());
    ASSERT_EQ(run1.status, 0) << run1.err;
    EXPECT_EQ(run1.err, "");
    EXPECT_EQ(read_file(dir_ / "test.1.er/command"), lines(first));

    const std::vector<std::string> second = {prog_, "-error_not_optimizable=on"};
    ASSERT_EQ(run({er_ryn(), second[0], second[1]}, {}, dir_.path()).status, 0);
    EXPECT_EQ(read_file(dir_ / "test.2.er/command"), lines(second));
    EXPECT_EQ(read_file(dir_ / "test.1.er/command"), lines(first));
}

TEST_F(ErRyn, HonoursTheExperimentName) {
    const std::vector<std::string> args = {"-o", "mine.er", "-A", "on", prog_, "-bcc",
                                           "-error_not_optimizable=off"};
    std::vector<std::string> argv = {er_ryn()};
    argv.insert(argv.end(), args.begin(), args.end());
    ASSERT_EQ(run(argv, {}, dir_.path()).status, 0);
    EXPECT_EQ(read_file(dir_ / "mine.er/command"), lines(args));
    EXPECT_FALSE(ryn_test::exists(dir_ / "test.1.er"));
}

TEST_F(ErRyn, RejectsAMalformedCommandLine) {
    const std::vector<std::vector<std::string>> malformed = {
        {"-v"},                                                // no target block
        {"-d"},                                                // setting without its value
        {dir_ / "absent", "-error_not_optimizable=off"},       // target that does not exist
        {prog_, lib_, "-error_not_optimizable=off"},           // file where an option belongs
        {prog_, "-ryn", lib_},                                 // last target without options
        {"-o", "notanexperiment", prog_, "-ryn"},              // -o without .er
    };
    for (const std::vector<std::string>& args : malformed) {
        std::vector<std::string> argv = {er_ryn()};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto result = run(argv, {}, dir_.path());
        EXPECT_EQ(result.status, 2) << lines(args);
        EXPECT_EQ(result.err.rfind("er_ryn: error: ", 0), 0u) << result.err;
    }
    EXPECT_FALSE(ryn_test::exists(dir_ / "test.1.er"));
}

}  // namespace
