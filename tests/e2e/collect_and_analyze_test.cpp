// After instrumentation: running the instrumented program, telling its
// path, and the engine and experiment-tool runs over recorded data.
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "support/e2e_support.h"
#include "support/instrdata_fixture.h"

using ryn_test::RunResult;
using Args = std::vector<std::string>;

namespace {

class AfterInstrumentation : public ryn_e2e::DriverTest {
protected:
    void SetUp() override {
        // The second library is walked before the program, so the experiment
        // tool's command shows that the program's block still comes first.
        fixture = ryn_e2e::build_fixture(
            work / "src", "prog",
            {"libuser0.so", ryn_e2e::library_walked_before(work / "src", "prog")});
    }

    // Data that a run of the instrumented program would have left for
    // `target`, every line of its source run once; returns the use option.
    std::string record_data(const std::string& target) {
        const std::string location =
            "./" + std::filesystem::path(target).filename().string() + ".instrdata/prog.instrdata";
        std::vector<coverage::Block> blocks = ryn_test::line_table_blocks(target, target + ".c");
        for (coverage::Block& block : blocks) {
            block.count = 1;
        }
        ryn_test::write_instrdata(work / location, ryn_test::instrdata_for(target, blocks));
        return "-xkalfix=use:" + location;
    }

    // A collect run, and the library log that the instrumented program's
    // runtime leaves beside the cached copy (the stand-ins write none).
    void collect_with_libraries(const std::string& target_argument) {
        ASSERT_EQ(ryn({"collect", "-M", target_argument}).status, 0);
        // The run recorded data for every target; each test decides itself
        // which targets have data.
        for (const auto& entry : std::filesystem::directory_iterator(work.path())) {
            if (entry.path().extension() == ".instrdata") {
                std::filesystem::remove_all(entry.path());
            }
        }
        ryn_test::write_file(cached_copy("prog") + ".original.liblog",
                             fixture.libs[0] + "\n" + fixture.libs[1] + "\n");
    }
};

TEST_F(AfterInstrumentation, CollectRunsTheProgramOnTheOriginalStreams) {
    const RunResult result = ryn({"collect", "-v", "-O", work / "log", fixture.program, "a", "b"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "hello\narg:a\narg:b\nsum:3\n");
    EXPECT_EQ(result.err, "err:hello\n");
    const std::string log = ryn_test::read_file(work / "log");
    EXPECT_NE(log.find("ryn (info): Instrumenting target " + fixture.program), std::string::npos);

    // Reusing the copy still clears data of earlier runs: the program is
    // about to record afresh.
    const std::string stale = work / "prog.instrdata/old.instrdata";
    std::filesystem::create_directories(work / "prog.instrdata");
    ryn_test::write_file(stale, "stale");
    ASSERT_EQ(ryn({"collect", fixture.program}).status, 0);
    EXPECT_TRUE(install.engine_runs().empty());
    EXPECT_FALSE(ryn_test::exists(stale));

    const RunResult told = ryn({"collect", "-t", fixture.program, "x"});
    ASSERT_EQ(told.status, 0) << told.err;
    EXPECT_EQ(told.out, "hello\narg:x\nsum:3\n" + cached_copy("prog") + "\n");
}

TEST_F(AfterInstrumentation, AnalyzeRunsTheEngineOnlyWhereDataWasRecorded) {
    collect_with_libraries(fixture.program);
    const std::string prog_data = record_data(fixture.program);
    const std::string lib_data = record_data(fixture.libs[0]);
    const RunResult result = ryn({"analyze", "-M", "-X", "-a", "bbc", fixture.program});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err,
              "ryn (info): Not analyzing " + fixture.libs[1] + ", no instrdata is found\n");
    const auto runs = install.engine_runs();
    ASSERT_EQ(runs.size(), 2u);
    for (const auto& run : runs) {
        EXPECT_EQ(run.args, run.last() == fixture.program
                                ? (Args{"-ryn", "-bbc", prog_data, "-error_not_optimizable=on",
                                        "-last_fg=0", fixture.program})
                                : (Args{"-ryn", "-bbc", lib_data, "-error_not_optimizable=on",
                                        fixture.libs[0]}));
    }
    // Each report: the table of the target's functions, then its blocks.
    EXPECT_NE(result.out.find("ryn: morphel 1.0 coverage of " + fixture.program + "\n"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("  user_value_0\n"), std::string::npos);
    EXPECT_NE(result.out.find("Total (1/1 functions run)"), std::string::npos);
    EXPECT_NE(result.out.find(fixture.program + ".c:7  main\n"), std::string::npos);

    // Into one file, every target's report once: a second run starts the
    // file afresh rather than adding to it.
    for (int run = 0; run < 2; ++run) {
        const RunResult written =
            ryn({"analyze", "-M", "-a", "bbc", "-o", "report.txt", fixture.program});
        ASSERT_EQ(written.status, 0) << written.err;
        EXPECT_EQ(written.out, "");
    }
    const std::string report = ryn_test::read_file(work / "report.txt");
    for (const std::string& target : {fixture.program, fixture.libs[0]}) {
        const std::string heading = "coverage of " + target + "\n";
        const size_t first = report.find(heading);
        EXPECT_NE(first, std::string::npos) << report;
        EXPECT_EQ(report.find(heading, first + 1), std::string::npos) << report;
    }

    // A library rebuilt since the run: its data describes another build, and
    // no report is made from it.
    std::ofstream(fixture.libs[0], std::ios::app) << "rebuilt";
    const RunResult stale = ryn({"analyze", "-M", "-X", "-a", "bbc", fixture.program});
    EXPECT_EQ(stale.status, 1);
    EXPECT_NE(stale.err.find("morphel: error: the data in " + lib_data.substr(13) +
                             " was recorded from another build of " + fixture.libs[0]),
              std::string::npos)
        << stale.err;
}

TEST_F(AfterInstrumentation, CoverageHandsEveryTargetWithDataToTheExperimentTool) {
    install.wrap(install.experiment_tool());
    ryn_test::write_file(work / ".ryn.rc",
                         "set RYN_IGNORABLE_FUNCTIONS skip_me\n"
                         "set RYN_IGNORABLE_FUNC_PREFIXES skip_\n");
    const std::string check_file = work / "check.txt";
    ryn_test::write_file(check_file, "checks");
    collect_with_libraries(fixture.program + ":" + check_file);
    const std::string prog_data = record_data(fixture.program);
    const std::string lib_data = record_data(fixture.libs[1]);

    const RunResult result =
        ryn({"coverage", "-v", "-v", "-M", fixture.program + ":" + check_file});
    ASSERT_EQ(result.status, 0) << result.err;
    const auto calls = install.calls(install.experiment_tool());
    ASSERT_EQ(calls.size(), 1u);
    const Args requests = {"-ryn",
                           "-v",
                           "-bcc",
                           "-er:ninstrcover",
                           "-er:function",
                           "-er:executed",
                           "-er:blockcover%",
                           "-er:instrcover%"};
    Args expected = {"-v", fixture.program, "-vv"};
    expected.insert(expected.end(), requests.begin(), requests.end());
    expected.insert(expected.end(), {prog_data, "-error_not_optimizable=on",
                                     "-checkfile=" + check_file, fixture.libs[1]});
    expected.insert(expected.end(), requests.begin(), requests.end());
    expected.insert(expected.end(),
                    {lib_data, "-error_not_optimizable=on", calls[0].with_prefix("-blacklist=/"),
                     calls[0].with_prefix("-blacklist_pfx=/")});
    EXPECT_EQ(calls[0].args, expected);
}

TEST_F(AfterInstrumentation, OptimizeWritesHereAndCoverageWithoutDataForTheProgramStops) {
    const RunResult result = ryn({"optimize", fixture.program});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(ryn_test::exists(work / "prog.opt"));
    ASSERT_EQ(install.engine_runs().size(), 1u);
    EXPECT_EQ(install.engine_runs()[0].args,
              (Args{"-ryn", "-o", "./prog.opt", "-xkalfix=use:./prog.instrdata/prog.instrdata",
                    "-error_not_optimizable=on", fixture.program}));

    install.wrap(install.experiment_tool());
    const RunResult stopped = run_front_end("zentor", {"coverage", fixture.program});
    EXPECT_EQ(stopped.status, 1);
    EXPECT_EQ(stopped.err, "zentor (error): No instrdata file for main target.\n\n");
    EXPECT_TRUE(install.calls(install.experiment_tool()).empty());
}

}  // namespace
