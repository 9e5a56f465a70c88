// Instrumenting a program changes nothing it does: every corpus program, at
// -O0 and at -O2, instrumented with its own libraries and named plugins as a
// user would, prints the same and exits with the same status as the
// original.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/corpus.h"
#include "support/e2e_support.h"
#include "support/test_support.h"

using namespace ryn_test;

namespace {

struct Case {
    std::string program;
    std::string opt;
};

std::string case_name(const testing::TestParamInfo<Case>& info) {
    return info.param.program + "_" + info.param.opt.substr(1);
}

class SameBehaviour : public testing::TestWithParam<Case> {
protected:
    static void SetUpTestSuite() {
        work = std::make_unique<TempDir>();
        env = ryn_e2e::hermetic_env(work->path());
    }
    static void TearDownTestSuite() { work.reset(); }

    static inline std::unique_ptr<TempDir> work;
    static inline std::vector<std::string> env;
};

TEST_P(SameBehaviour, OutputAndStatusMatchTheOriginal) {
    const ryn_corpus::Program& program = ryn_corpus::program(GetParam().program);
    const ryn_corpus::Build build =
        ryn_corpus::build_annotated(program, *work / (program.name + GetParam().opt), GetParam().opt);
    ASSERT_FALSE(HasFailure());
    std::vector<std::string> instrument{stage_bin("ryn"), "instrument", "-M"};
    for (const std::string& plugin : build.named_plugins) {
        instrument.insert(instrument.end(), {"-l", plugin});
    }
    instrument.push_back(build.executable);
    const RunResult instrumented = run(instrument, env, build.dir);
    ASSERT_EQ(instrumented.status, 0) << instrumented.err;

    std::vector<std::string> original{build.executable};
    original.insert(original.end(), build.args.begin(), build.args.end());
    std::vector<std::string> copy = original;
    copy[0] = build.executable + ".instr";
    ASSERT_TRUE(exists(copy[0]));

    const RunResult expected = run(original, env, build.dir);
    const RunResult actual = run(copy, env, build.dir);
    EXPECT_EQ(actual.out, expected.out);
    EXPECT_EQ(actual.err, expected.err);
    EXPECT_EQ(actual.status, expected.status);
    // A copy that measured nothing would pass the comparison as well; the
    // program's libraries and named plugins are measured from their copies.
    std::vector<std::string> measured{program.name};
    for (const ryn_corpus::Library& lib : program.linked) {
        measured.push_back("lib" + lib.name + ".so");
    }
    for (const std::string& plugin : program.named) {
        measured.push_back("lib" + plugin + ".so");
    }
    for (const std::string& object : measured) {
        EXPECT_TRUE(exists(build.dir + "/" + object + ".instrdata/" + program.name + ".instrdata"))
            << object;
    }
}

std::vector<Case> all_cases() {
    std::vector<Case> cases;
    for (const std::string opt : {"-O0", "-O2"}) {
        for (const ryn_corpus::Program& program : ryn_corpus::programs()) {
            cases.push_back({program.name, opt});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Corpus, SameBehaviour, testing::ValuesIn(all_cases()), case_name);

}  // namespace
