// Instrumenting a program changes nothing it does, and the lines ryn reports
// as run are the lines gcc's own coverage reports as run. Every corpus
// program, at -O0 and at -O2, is instrumented with its own libraries and
// named plugins as a user would, and prints the same and exits with the same
// status as the original; at -O0 its report is compared with gcov's for a
// --coverage build run on the same input, on every line both call code.
// Plugins named with -l are measured; the others are logged. ryn's copy
// counts every execution; the coverage front end's copy of the same program
// takes the one-shot way and runs alike too.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/corpus.h"
#include "support/e2e_support.h"
#include "support/test_support.h"

using namespace ryn_test;
using namespace ryn_corpus;

namespace {

struct Case {
    const Program* program;
    std::string opt;
};

using Corpus = ryn_e2e::HermeticSuite<Case>;

// Builds `program` with gcc's coverage, runs it on its input and compares its
// lines of each of `sources` with ryn's.
void expect_gcov_lines(const Program& program, const std::vector<std::string>& sources,
                       const FileLines& ryn, const std::string& output, const std::string& dir) {
    const Build gcc = build_with_gcov(program, dir);
    EXPECT_EQ(run(gcc.input_run(gcc.executable), {}, gcc.dir).out, output);
    const FileLines gcov = gcov_lines(gcc);
    for (const std::string& source : sources) {
        SCOPED_TRACE(source);
        ASSERT_TRUE(ryn.contains(source)) << "missing from ryn's tracefile";
        ASSERT_TRUE(gcov.contains(source)) << "missing from gcov's tracefile";
        LineCoverage gcov_source = gcov.at(source);
        const LineCoverage& ryn_source = ryn.at(source);
        if (source.ends_with("/forkexec.c")) {
            // gcov derives the counts of some lines from the flow of the
            // function and takes every call to return: the line after an
            // exec that replaced the process counts as run there.
            gcov_source.erase(line_holding(source, "execl(") + 1);
        }
        // Whether each line both call code ran, as each saw it.
        LineCoverage gcov_common;
        LineCoverage ryn_common;
        for (const auto& [line, ran] : gcov_source) {
            if (ryn_source.contains(line)) {
                gcov_common[line] = ran;
                ryn_common[line] = ryn_source.at(line);
            }
        }
        // Sets that hardly overlap would agree on nothing worth checking.
        EXPECT_GE(gcov_common.size() * 2, gcov_source.size());
        EXPECT_TRUE(std::ranges::any_of(gcov_common, [](const auto& line) { return line.second; }));
        EXPECT_EQ(ryn_common, gcov_common);
    }
}

// The same program instrumented by the coverage front end: its copy takes
// the one-shot way, runs as the original, and its data says its counts are
// runs from then on.
void expect_coverage_way_runs_alike(const Build& build, const std::vector<std::string>& env,
                                    const RunResult& expected) {
    std::vector<std::string> command = build.ryn_run("instrument");
    command[0] = stage_bin("zentor");
    const RunResult instrumented = run(command, env, build.dir);
    ASSERT_EQ(instrumented.status, 0) << instrumented.err;
    const RunResult actual = run(build.input_run(build.executable + ".instr"), env, build.dir);
    EXPECT_EQ(actual.out, expected.out);
    EXPECT_EQ(actual.err, expected.err);
    EXPECT_EQ(actual.status, expected.status);
    const std::string name = build.executable.substr(build.executable.rfind('/') + 1);
    const std::string data = read_file(build.executable + ".instrdata/" + name + ".instrdata");
    EXPECT_NE(data.find("\ncounts runs\n"), std::string::npos) << data.substr(0, 200);
}

TEST_P(Corpus, RunsAsTheOriginalAndReportsTheLinesGcovReports) {
    const Program& program = *GetParam().program;
    const std::string& opt = GetParam().opt;
    const Build build = build_annotated(program, *work / (program.name + opt), opt);
    ASSERT_FALSE(HasFailure());
    const RunResult instrumented = run(build.ryn_run("instrument"), env, build.dir);
    ASSERT_EQ(instrumented.status, 0) << instrumented.err;

    const RunResult expected = run(build.input_run(build.executable), env, build.dir);
    const RunResult actual = run(build.input_run(build.executable + ".instr"), env, build.dir);
    EXPECT_EQ(actual.out, expected.out);
    EXPECT_EQ(actual.err, expected.err);
    EXPECT_EQ(actual.status, expected.status);
    // A copy that measured nothing would pass the comparison as well; the
    // program's libraries and named plugins are measured from their copies.
    std::vector<std::string> objects{program.name};
    std::vector<std::string> sources{source_path(program.source)};
    for (const Library& lib : program.measured_libraries()) {
        objects.push_back("lib" + lib.name + ".so");
        sources.push_back(source_path(lib.source));
    }
    for (const std::string& object : objects) {
        const std::string data =
            build.dir + "/" + object + ".instrdata/" + program.name + ".instrdata";
        ASSERT_TRUE(exists(data)) << object;
        // ryn counts every execution.
        EXPECT_NE(read_file(data).find("\ncounts exact\n"), std::string::npos) << object;
    }
    if (opt != "-O0") {
        expect_coverage_way_runs_alike(build, env, expected);
        return;
    }

    const RunResult reported = run(build.ryn_run("coverage"), env, build.dir);
    ASSERT_EQ(reported.status, 0) << reported.err;
    const FileLines ryn = lcov_lines(read_file(build.dir + "/test.1.er/coverage.info"));
    expect_gcov_lines(program, sources, ryn, expected.out, *work / (program.name + "-gcov"));
    if (program.name == "plugin") {
        const std::string named = source_path("plugin_double.c");
        EXPECT_TRUE(ryn.at(named).at(line_holding(named, "return value * 2;")));
        EXPECT_FALSE(ryn.contains(source_path("plugin_square.c")));
    }
    // The library log names every library of the program's own, measured or not.
    const auto logs =
        ryn_e2e::files_ending_in(work->path() + "/cache", "/" + program.name + ".original.liblog");
    ASSERT_EQ(logs.size(), 1u);
    for (const auto* libraries : {&program.linked, &program.plugins}) {
        for (const Library& lib : *libraries) {
            EXPECT_NE(read_file(logs[0]).find(build.plugin_path(lib.name) + "\n"),
                      std::string::npos)
                << read_file(logs[0]);
        }
    }
    expect_coverage_way_runs_alike(build, env, expected);
}

std::vector<Case> all_cases() {
    std::vector<Case> cases;
    for (const std::string opt : {"-O0", "-O2"}) {
        for (const Program& program : programs()) {
            cases.push_back({&program, opt});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Corpus, Corpus, testing::ValuesIn(all_cases()),
                         [](const testing::TestParamInfo<Case>& info) {
                             return info.param.program->name + "_" + info.param.opt.substr(1);
                         });

}  // namespace
