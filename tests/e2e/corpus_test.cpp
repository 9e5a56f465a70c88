// Instrumenting a program changes nothing it does. Every corpus program,
// built at -O2, is instrumented with its own libraries and named plugins as a
// user would, by each front end, and prints the same and exits with the same
// status as the original. ryn's copies count every execution; the coverage
// front end's take the one-shot way and count runs. Plugins named with -l
// are measured; the others are only logged.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/corpus.h"
#include "support/e2e_support.h"
#include "support/test_support.h"

using namespace ryn_test;
using namespace ryn_corpus;

namespace {

using Corpus = ryn_e2e::HermeticSuite<Program>;

TEST_P(Corpus, RunsAsTheOriginalUnderBothFrontEnds) {
    const Program& program = GetParam();
    const Build build = build_annotated(program, *work / program.name, "-O2");
    ASSERT_FALSE(HasFailure());
    const RunResult expected = run(build.input_run(build.executable), env, build.dir);

    for (const auto& [front_end, counts] :
         {std::pair<std::string, std::string>{"ryn", "exact"}, {"zentor", "runs"}}) {
        SCOPED_TRACE(front_end);
        std::vector<std::string> command = build.ryn_run("instrument");
        command[0] = stage_bin(front_end);
        const RunResult instrumented = run(command, env, build.dir);
        ASSERT_EQ(instrumented.status, 0) << instrumented.err;
        const RunResult actual = run(build.input_run(build.executable + ".instr"), env, build.dir);
        EXPECT_EQ(actual.out, expected.out);
        EXPECT_EQ(actual.err, expected.err);
        EXPECT_EQ(actual.status, expected.status);
        // A copy that measured nothing would pass the comparison as well.
        for (const std::string& object : program.measured_objects()) {
            const std::string data =
                build.dir + "/" + object + ".instrdata/" + program.name + ".instrdata";
            ASSERT_TRUE(exists(data)) << object;
            EXPECT_NE(read_file(data).find("\ncounts " + counts + "\n"), std::string::npos)
                << object;
        }
    }
    for (const Library& lib : program.plugins) {
        EXPECT_EQ(exists(build.dir + "/lib" + lib.name + ".so.instrdata"),
                  std::ranges::find(program.named, lib.name) != program.named.end())
            << lib.name;
    }
    // The library log names every library of the program's own, measured or not.
    const auto logs =
        ryn_e2e::files_ending_in(work->path() + "/cache", "/" + program.name + ".original.liblog");
    ASSERT_FALSE(logs.empty());
    for (const std::string& log : logs) {
        for (const auto* libraries : {&program.linked, &program.plugins}) {
            for (const Library& lib : *libraries) {
                EXPECT_NE(read_file(log).find(build.plugin_path(lib.name) + "\n"),
                          std::string::npos)
                    << log << ":\n"
                    << read_file(log);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, Corpus, testing::ValuesIn(programs()),
                         [](const testing::TestParamInfo<Program>& info) {
                             return info.param.name;
                         });

}  // namespace
