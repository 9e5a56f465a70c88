// The memory checker writes the main program straight to its output file,
// always anew, with the checker runtime put in front of its needed libraries,
// and keeps the program's user libraries in the cache.
#include <regex>

#include <gtest/gtest.h>

#include "support/e2e_support.h"
#include "support/test_support.h"

using ryn_e2e::Call;
using ryn_e2e::InstallCopy;
using ryn_test::RunResult;
using ryn_test::TempDir;

namespace {

class MemvexRun : public ::testing::Test {
protected:
    void SetUp() override {
        install.wrap(install.engine());
        fixture = ryn_e2e::build_fixture(work / "src", "prog", {"libuser1.so"});
        env = ryn_e2e::hermetic_env(work.path());
        output = work / "out";
    }

    // Runs memvex with a soft stack limit of 4 MiB, so that the limit the
    // engine gets can be told apart from the one it would inherit.
    RunResult memvex(const std::vector<std::string>& args,
                     const std::vector<std::string>& extra_env = {}) {
        std::vector<std::string> argv = {"/bin/sh", "-c", "ulimit -S -s 4096; exec \"$0\" \"$@\"",
                                         install.bin("memvex")};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> run_env = env;
        run_env.insert(run_env.end(), extra_env.begin(), extra_env.end());
        install.clear_calls(install.engine());
        return ryn_test::run(argv, run_env, work.path());
    }

    const Call* run_for(const std::vector<Call>& runs, const std::string& input) {
        for (const Call& run : runs) {
            if (run.last() == input) {
                return &run;
            }
        }
        ADD_FAILURE() << "no engine run for " << input;
        return nullptr;
    }

    InstallCopy install;
    TempDir work;
    ryn_e2e::Fixture fixture;
    std::vector<std::string> env;
    std::string output;
};

TEST_F(MemvexRun, ProgramGoesToTheOutputFileAndLibrariesToTheCache) {
    const RunResult result = memvex({"-o", output, fixture.program});
    ASSERT_EQ(result.status, 0) << result.err;
    const auto runs = install.engine_runs();
    ASSERT_EQ(runs.size(), 2u);

    const std::string runtime = install.lib("amd64/libmemvex.so");
    const std::string audit = install.lib("amd64/ryndl.so");
    const Call* main_run = run_for(runs, fixture.program);
    ASSERT_NE(main_run, nullptr);
    const std::string ryninfo = main_run->with_prefix("-ryninfo=");
    ASSERT_FALSE(ryninfo.empty());
    const std::vector<std::string> main_expected = {
        "-ped",
        "-xkalfix=instrument",
        "-prepend_dt_needed=" + runtime,
        "-add_depaudit=" + audit,
        "-global_auditing",
        "-comment=instrumentation args: -ped -xkalfix=instrument -prepend_dt_needed=" + runtime +
            " -add_depaudit=" + audit + " -global_auditing",
        "-error_not_optimizable=on",
        "-printannstat=1",
        ryninfo,
        "-memvex_full_lib_instr",
        "-o",
        output,
        fixture.program};
    EXPECT_EQ(main_run->args, main_expected);
    EXPECT_TRUE(main_run->missing_paths.empty());

    const auto lib_copies = ryn_e2e::files_ending_in(work / "cache", "/libuser1.so");
    ASSERT_EQ(lib_copies.size(), 1u);
    EXPECT_TRUE(std::regex_match(lib_copies[0],
                                 std::regex(".*/cache/memvex[0-9a-f]{32}_w/libuser1.so")))
        << lib_copies[0];
    const Call* lib_run = run_for(runs, fixture.libs[0]);
    ASSERT_NE(lib_run, nullptr);
    const std::string origin = "-replace_origin=" + fixture.dir;
    const std::vector<std::string> lib_expected = {
        "-ped",
        "-xkalfix=instrument",
        "-global_auditing",
        origin,
        "-comment=instrumentation args: -ped -xkalfix=instrument -global_auditing " + origin,
        "-error_not_optimizable=on",
        "-printannstat=1",
        "-o",
        lib_copies[0],
        fixture.libs[0]};
    EXPECT_EQ(lib_run->args, lib_expected);

    // The main program never lands in the cache, and gets no stamp there.
    EXPECT_TRUE(ryn_e2e::files_ending_in(work / "cache", "/prog").empty());
    EXPECT_TRUE(ryn_e2e::files_ending_in(work / "cache", "/prog.cksum_tstamp").empty());
    EXPECT_EQ(ryn_e2e::files_ending_in(work / "cache", "/libuser1.so.cksum_tstamp").size(), 1u);

    // The engine runs with the checker's 8 MiB stack.
    EXPECT_EQ(main_run->stack_limit, "8192");
    EXPECT_EQ(lib_run->stack_limit, "8192");

    const RunResult ran = ryn_test::run({output});
    EXPECT_EQ(ran.status, 0) << ran.err;
    EXPECT_EQ(ran.out, "hello\nsum:1\n");
}

TEST_F(MemvexRun, SecondRunInstrumentsTheProgramAgainButReusesLibraries) {
    ASSERT_EQ(memvex({"-o", output, fixture.program}).status, 0);
    const auto lib_copies = ryn_e2e::files_ending_in(work / "cache", "/libuser1.so");
    ASSERT_EQ(lib_copies.size(), 1u);
    const std::string lib_copy = ryn_test::read_file(lib_copies[0]);
    unlink(output.c_str());

    const RunResult second = memvex({"-v", "-o", output, fixture.program});
    ASSERT_EQ(second.status, 0) << second.err;
    const auto runs = install.engine_runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].last(), fixture.program);
    EXPECT_NE(second.err.find("memvex (info): No need to instrument " + fixture.libs[0] +
                              ", using cached copy\n"),
              std::string::npos)
        << second.err;
    EXPECT_NE(second.err.find("memvex (info): Instrumented file output: " + output + "."),
              std::string::npos);
    EXPECT_TRUE(ryn_test::exists(output));
    EXPECT_EQ(ryn_test::read_file(lib_copies[0]), lib_copy);
}

TEST_F(MemvexRun, EngineStackLimitComesFromTheEnvironmentInKilobytes) {
    ASSERT_EQ(memvex({"-o", output, fixture.program}, {"QVEN_RYN_STACK_RLIMIT=64"}).status, 0);
    auto runs = install.engine_runs();
    ASSERT_FALSE(runs.empty());
    EXPECT_EQ(runs[0].stack_limit, "64");

    // 2^31 - 1 bytes, shown in whole KiB.
    ASSERT_EQ(memvex({"-o", output, fixture.program}, {"QVEN_RYN_STACK_RLIMIT=unlimited"}).status,
              0);
    runs = install.engine_runs();
    ASSERT_FALSE(runs.empty());
    EXPECT_EQ(runs[0].stack_limit, "2097151");

    // A value that is no number leaves the driver's own limit alone.
    ASSERT_EQ(memvex({"-o", output, fixture.program}, {"QVEN_RYN_STACK_RLIMIT=lots"}).status, 0);
    runs = install.engine_runs();
    ASSERT_FALSE(runs.empty());
    EXPECT_EQ(runs[0].stack_limit, "4096");
}

}  // namespace
