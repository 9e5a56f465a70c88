// The coverage front end instruments the program straight into its output
// file on every run, like the memory checker, and speaks under its own name;
// check mode of the general front end only examines the program.
#include <filesystem>

#include <gtest/gtest.h>

#include "support/e2e_support.h"
#include "support/test_support.h"

using ryn_e2e::InstallCopy;
using ryn_test::RunResult;
using ryn_test::TempDir;

namespace {

class CoverageFrontEnd : public ::testing::Test {
protected:
    void SetUp() override {
        install.wrap(install.engine());
        fixture = ryn_e2e::build_fixture(work / "src", "prog", {"libuser1.so"});
        env = ryn_e2e::hermetic_env(work.path());
    }

    RunResult run(const std::string& front_end, std::vector<std::string> args) {
        args.insert(args.begin(), install.bin(front_end));
        install.clear_calls(install.engine());
        return ryn_test::run(args, env, work.path());
    }

    InstallCopy install;
    TempDir work;
    ryn_e2e::Fixture fixture;
    std::vector<std::string> env;
};

TEST_F(CoverageFrontEnd, CollectWritesTheProgramStraightToItsOutputEveryTime) {
    const std::string output = fixture.program + ".instr";
    const RunResult first = run("zentor", {"collect", "-v", "-M", fixture.program, "a"});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out, "hello\narg:a\nsum:1\n");
    EXPECT_NE(first.err.find("zentor (info): Instrumenting target " + fixture.program),
              std::string::npos)
        << first.err;
    EXPECT_NE(first.err.find("zentor (info): Instrumented file output: " + output + "."),
              std::string::npos);

    auto runs = install.engine_runs();
    ASSERT_EQ(runs.size(), 2u);
    for (const auto& call : runs) {
        const int o = call.index_of("-o");
        ASSERT_GE(o, 0);
        if (call.last() == fixture.program) {
            EXPECT_EQ(call.args[o + 1], output);
            // The copy is written where the program lives, so its origin
            // needs no replacing.
            EXPECT_EQ(call.with_prefix("-replace_origin="), "");
        } else {
            EXPECT_NE(call.args[o + 1].find("/cache/count"), std::string::npos);
        }
    }
    EXPECT_TRUE(ryn_e2e::files_ending_in(work / "cache", "/prog").empty());
    EXPECT_TRUE(ryn_e2e::files_ending_in(work / "cache", "/prog.cksum_tstamp").empty());

    const RunResult second = run("zentor", {"collect", "-M", fixture.program});
    ASSERT_EQ(second.status, 0) << second.err;
    runs = install.engine_runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].last(), fixture.program);
}

TEST_F(CoverageFrontEnd, MissingProgramDataIsReportedUnderTheFrontEndsName) {
    install.wrap(install.experiment_tool());
    const RunResult result = run("zentor", {"coverage", fixture.program});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "zentor (error): No instrdata file for main target.\n\n");

    std::filesystem::create_directories(work / "prog.instrdata");
    ryn_test::write_file(work / "prog.instrdata/prog.instrdata", "counts");
    const RunResult with_data = run("zentor", {"coverage", fixture.program});
    EXPECT_EQ(with_data.status, 0) << with_data.err;
    const auto calls = install.calls(install.experiment_tool());
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args.front(), fixture.program);
    EXPECT_TRUE(install.engine_runs().empty());
}

TEST_F(CoverageFrontEnd, CheckModeOnlyExaminesTheProgram) {
    const RunResult result = run("ryn", {"check", fixture.program});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "ryn (info): Prepared binary " + fixture.program + "\n");
    EXPECT_TRUE(install.engine_runs().empty());
    EXPECT_FALSE(ryn_test::exists(work / "cache"));
}

}  // namespace
