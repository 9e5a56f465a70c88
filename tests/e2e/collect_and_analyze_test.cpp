// After instrumentation: running the instrumented program, telling its
// path, and the engine and experiment-tool runs over recorded data.
#include <filesystem>

#include <gtest/gtest.h>

#include "support/e2e_support.h"
#include "support/test_support.h"

using ryn_e2e::Call;
using ryn_e2e::InstallCopy;
using ryn_test::RunResult;
using ryn_test::TempDir;

namespace {

const std::vector<std::string> k_coverage_requests = {
    "-er:ninstrcover", "-er:function", "-er:executed", "-er:blockcover%", "-er:instrcover%"};

class AfterInstrumentation : public ::testing::Test {
protected:
    void SetUp() override {
        install.wrap(install.engine());
        // The second library is walked before the program, so the experiment
        // tool's command shows that the program's block still comes first.
        const std::string dir = work / "src";
        std::string second;
        for (int i = 2; second.empty(); ++i) {
            const std::string name = "libuser" + std::to_string(i) + ".so";
            if (ryn_e2e::walk_bucket(dir + "/" + name) <= ryn_e2e::walk_bucket(dir + "/prog")) {
                second = name;
            }
        }
        fixture = ryn_e2e::build_fixture(dir, "prog", {"libuser1.so", second});
        second_data = "-xkalfix=use:./" + second + ".instrdata/prog.instrdata";
        env = ryn_e2e::hermetic_env(work.path());
    }

    RunResult ryn(std::vector<std::string> args) {
        args.insert(args.begin(), install.bin("ryn"));
        install.clear_calls(install.engine());
        return ryn_test::run(args, env, work.path());
    }

    std::string cached_copy(const std::string& name) {
        const auto copies = ryn_e2e::files_ending_in(work / "cache", "/" + name);
        EXPECT_EQ(copies.size(), 1u);
        return copies.empty() ? "" : copies[0];
    }

    // Data that a run of the instrumented program would have left for
    // `target`: a plain file for the program, a directory of data files for
    // a library.
    void record_data(const std::string& target, bool as_directory) {
        const std::string location = work / (target + ".instrdata/prog.instrdata");
        if (as_directory) {
            std::filesystem::create_directories(location);
            ryn_test::write_file(location + "/run1.instrdata", "counts");
        } else {
            std::filesystem::create_directories(work / (target + ".instrdata"));
            ryn_test::write_file(location, "counts");
        }
    }

    // A collect run, and the library log that the instrumented program's
    // runtime leaves beside the cached copy (the stand-ins write none).
    void collect_with_libraries(const std::string& target_argument) {
        const RunResult collected = ryn({"collect", "-M", target_argument});
        ASSERT_EQ(collected.status, 0) << collected.err;
        std::string log;
        for (const std::string& lib : fixture.libs) {
            log += lib + "\n";
        }
        ryn_test::write_file(cached_copy("prog") + ".original.liblog", log);
    }

    InstallCopy install;
    TempDir work;
    ryn_e2e::Fixture fixture;
    std::string second_data;  // use option of the second library
    std::vector<std::string> env;
};

TEST_F(AfterInstrumentation, CollectRunsTheProgramOnTheOriginalStreams) {
    // Data of an earlier copy is removed; other files in its directory stay.
    std::filesystem::create_directories(work / "prog.instrdata");
    ryn_test::write_file(work / "prog.instrdata/old.instrdata", "stale");
    ryn_test::write_file(work / "prog.instrdata/notes.txt", "keep");

    const RunResult result = ryn({"collect", "-v", "-O", work / "log", fixture.program, "a", "b"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "hello\narg:a\narg:b\nsum:3\n");
    EXPECT_EQ(result.err, "err:hello\n");
    const std::string log = ryn_test::read_file(work / "log");
    EXPECT_NE(log.find("ryn (info): Instrumenting target " + fixture.program), std::string::npos)
        << log;
    EXPECT_EQ(log.find("hello"), std::string::npos);
    EXPECT_EQ(install.engine_runs().size(), 1u);
    EXPECT_FALSE(ryn_test::exists(work / "prog.instrdata/old.instrdata"));
    EXPECT_TRUE(ryn_test::exists(work / "prog.instrdata/notes.txt"));

    // A collect run that reuses the copy still clears the old data, since the
    // program is about to record fresh data.
    ryn_test::write_file(work / "prog.instrdata/old.instrdata", "stale");
    const RunResult again = ryn({"collect", fixture.program});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(install.engine_runs().empty());
    EXPECT_FALSE(ryn_test::exists(work / "prog.instrdata/old.instrdata"));
}

TEST_F(AfterInstrumentation, TellModePrintsThePathOfTheCachedCopy) {
    const RunResult told = ryn({"instrument", "-t", fixture.program});
    ASSERT_EQ(told.status, 0) << told.err;
    const std::string cached = cached_copy("prog");
    EXPECT_EQ(told.out, cached + "\n");
    EXPECT_FALSE(ryn_test::exists(fixture.program + ".instr"));
    ASSERT_EQ(install.engine_runs().size(), 1u);

    const RunResult collected = ryn({"collect", "-t", fixture.program, "x"});
    ASSERT_EQ(collected.status, 0) << collected.err;
    EXPECT_EQ(collected.out, "hello\narg:x\nsum:3\n" + cached + "\n");
    EXPECT_TRUE(install.engine_runs().empty());
}

TEST_F(AfterInstrumentation, AnalyzeRunsTheEngineOnlyWhereDataWasRecorded) {
    const RunResult nothing = ryn({"analyze", "-a", "bbc", fixture.program});
    ASSERT_EQ(nothing.status, 0) << nothing.err;
    EXPECT_EQ(nothing.err,
              "ryn (info): Not analyzing " + fixture.program + ", no instrdata is found\n");
    EXPECT_TRUE(install.engine_runs().empty());

    // Without instrumentation there is no data to look for: every target is
    // analysed, and no use option is passed. The stand-in engine has no
    // analysis without data, so only the call is recorded.
    install.wrap(install.engine(), ryn_e2e::WrapperOptions::exiting_with(0));
    const RunResult static_run = ryn({"analyze", "-i", "off", "-a", "bbc", fixture.program});
    ASSERT_EQ(static_run.status, 0) << static_run.err;
    const auto static_runs = install.engine_runs();
    ASSERT_EQ(static_runs.size(), 1u);
    EXPECT_EQ(static_runs[0].args, (std::vector<std::string>{"-ryn", "-bbc",
                                                             "-error_not_optimizable=on",
                                                             fixture.program}));
    install.wrap(install.engine());

    collect_with_libraries(fixture.program);
    record_data("prog", false);
    record_data("libuser1.so", true);
    const RunResult result = ryn({"analyze", "-M", "-X", "-a", "bbc", fixture.program});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("ryn (info): Not analyzing " + fixture.libs[1] +
                              ", no instrdata is found\n"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(result.err.find("Not analyzing " + fixture.program), std::string::npos);

    const auto runs = install.engine_runs();
    ASSERT_EQ(runs.size(), 2u);
    for (const Call& run : runs) {
        if (run.last() == fixture.program) {
            EXPECT_EQ(run.args, (std::vector<std::string>{
                                    "-ryn", "-bbc", "-xkalfix=use:./prog.instrdata/prog.instrdata",
                                    "-error_not_optimizable=on", "-last_fg=0", fixture.program}));
        } else {
            EXPECT_EQ(run.args,
                      (std::vector<std::string>{
                          "-ryn", "-bbc", "-xkalfix=use:./libuser1.so.instrdata/prog.instrdata",
                          "-error_not_optimizable=on", fixture.libs[0]}));
        }
    }
    // The engine's reports reach the driver's standard output.
    EXPECT_NE(result.out.find("analyses: -bbc"), std::string::npos) << result.out;
}

TEST_F(AfterInstrumentation, CoverageHandsEveryTargetWithDataToTheExperimentTool) {
    install.wrap(install.experiment_tool());
    ryn_test::write_file(work / ".ryn.rc",
                         "set RYN_IGNORABLE_FUNCTIONS skip_me\n"
                         "set RYN_IGNORABLE_FUNC_PREFIXES skip_\n");
    const std::string check_file = work / "check.txt";
    ryn_test::write_file(check_file, "checks");
    collect_with_libraries(fixture.program + ":" + check_file);
    record_data("prog", false);
    record_data(std::filesystem::path(fixture.libs[1]).filename(), true);

    const RunResult result =
        ryn({"coverage", "-v", "-v", "-M", fixture.program + ":" + check_file});
    ASSERT_EQ(result.status, 0) << result.err;
    const auto calls = install.calls(install.experiment_tool());
    ASSERT_EQ(calls.size(), 1u);
    const Call& call = calls[0];

    std::vector<std::string> expected = {"-v", fixture.program, "-vv", "-ryn", "-v", "-bcc"};
    expected.insert(expected.end(), k_coverage_requests.begin(), k_coverage_requests.end());
    expected.insert(expected.end(), {"-xkalfix=use:./prog.instrdata/prog.instrdata",
                                     "-error_not_optimizable=on", "-checkfile=" + check_file,
                                     fixture.libs[1], "-ryn", "-v", "-bcc"});
    expected.insert(expected.end(), k_coverage_requests.begin(), k_coverage_requests.end());
    expected.insert(expected.end(), {second_data,
                                     "-error_not_optimizable=on"});
    const std::string blacklist = call.with_prefix("-blacklist=");
    const std::string prefixes = call.with_prefix("-blacklist_pfx=");
    ASSERT_FALSE(blacklist.empty());
    ASSERT_FALSE(prefixes.empty());
    expected.push_back(blacklist);
    expected.push_back(prefixes);
    EXPECT_EQ(call.args, expected);
    EXPECT_TRUE(call.missing_paths.empty());
    // The real tool recorded the experiment.
    EXPECT_TRUE(ryn_test::exists(work / "test.1.er/command"));
}

TEST_F(AfterInstrumentation, CoverageWithoutDataForTheProgramStops) {
    install.wrap(install.experiment_tool());
    collect_with_libraries(fixture.program);
    record_data("libuser1.so", true);
    const RunResult result = ryn({"coverage", "-M", fixture.program});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "ryn (error): No instrdata file for main target.\n\n");
    EXPECT_TRUE(install.calls(install.experiment_tool()).empty());
}

TEST_F(AfterInstrumentation, OptimizeWritesTheOptimisedProgramHere) {
    const RunResult result = ryn({"optimize", fixture.program});
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string optimised = work / "prog.opt";
    ASSERT_TRUE(ryn_test::exists(optimised));
    const auto records = ryn_e2e::comment_strings(optimised);
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back(), "kalfix: optimized from " + fixture.program);

    const auto runs = install.engine_runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].args, (std::vector<std::string>{
                                "-ryn", "-o", "./prog.opt",
                                "-xkalfix=use:./prog.instrdata/prog.instrdata",
                                "-error_not_optimizable=on", fixture.program}));
}

}  // namespace
