// The lines ryn reports as run are the lines gcc's own coverage reports as
// run: every corpus program is collected with ryn and, built again with
// --coverage, run on the same input; on every line both call code, the two
// agree. Plugins named with -l are measured; the others are logged.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/corpus.h"
#include "support/e2e_support.h"
#include "support/test_support.h"

using namespace ryn_test;

namespace {

// Both measurements of one program.
struct Measured {
    ryn_corpus::Build annotated;
    RunResult original;   // the annotated program run on its own
    RunResult collected;  // ryn collect
    RunResult reported;   // ryn coverage
    ryn_corpus::FileLines ryn;
    ryn_corpus::FileLines gcov;
};

class Corpus : public testing::Test {
protected:
    static void SetUpTestSuite() {
        work = std::make_unique<TempDir>();
        env = ryn_e2e::hermetic_env(work->path());
    }
    static void TearDownTestSuite() {
        measured.clear();
        work.reset();
    }

    // Each program is built and measured once, by the first test that asks.
    static const Measured& measure(const std::string& name) {
        if (const auto it = measured.find(name); it != measured.end()) {
            return it->second;
        }
        const ryn_corpus::Program& program = ryn_corpus::program(name);
        Measured m;
        m.annotated = ryn_corpus::build_annotated(program, *work / (name + "-ryn"), "-O0");
        const ryn_corpus::Build gcc = ryn_corpus::build_with_gcov(program, *work / (name + "-gcov"));

        std::vector<std::string> plain{m.annotated.executable};
        plain.insert(plain.end(), m.annotated.args.begin(), m.annotated.args.end());
        m.original = run(plain, env, m.annotated.dir);
        std::vector<std::string> with_gcov{gcc.executable};
        with_gcov.insert(with_gcov.end(), gcc.args.begin(), gcc.args.end());
        EXPECT_EQ(run(with_gcov, env, gcc.dir).out, m.original.out);

        std::vector<std::string> options{"-M"};
        for (const std::string& plugin : m.annotated.named_plugins) {
            options.insert(options.end(), {"-l", plugin});
        }
        auto ryn = [&](const std::string& mode, bool with_args) {
            std::vector<std::string> args{stage_bin("ryn"), mode};
            args.insert(args.end(), options.begin(), options.end());
            args.push_back(m.annotated.executable);
            if (with_args) {
                args.insert(args.end(), m.annotated.args.begin(), m.annotated.args.end());
            }
            return run(args, env, m.annotated.dir);
        };
        m.collected = ryn("collect", true);
        m.reported = ryn("coverage", false);
        m.ryn = ryn_corpus::lcov_lines(read_file(m.annotated.dir + "/test.1.er/coverage.info"));
        m.gcov = ryn_corpus::gcov_lines(program, gcc);
        return measured.emplace(name, std::move(m)).first->second;
    }

    static inline std::unique_ptr<TempDir> work;
    static inline std::vector<std::string> env;
    static inline std::map<std::string, Measured> measured;
};

class SameLinesAsGcov : public Corpus, public testing::WithParamInterface<std::string> {};

TEST_P(SameLinesAsGcov, OnTheLinesBothCallCode) {
    const ryn_corpus::Program& program = ryn_corpus::program(GetParam());
    const Measured& m = measure(GetParam());
    ASSERT_FALSE(HasFailure());
    EXPECT_EQ(m.collected.out, m.original.out) << m.collected.err;
    ASSERT_EQ(m.reported.status, 0) << m.reported.err;

    for (const std::string& source : program.measured_sources()) {
        SCOPED_TRACE(source);
        ASSERT_TRUE(m.ryn.contains(source)) << "missing from the tracefile";
        ryn_corpus::LineCoverage gcov = m.gcov.at(source);
        const ryn_corpus::LineCoverage& ryn = m.ryn.at(source);
        if (source.ends_with("/forkexec.c")) {
            // gcov derives the counts of some lines from the flow of the
            // function and takes every call to return: the line after an
            // exec that replaced the process counts as run there.
            gcov.erase(ryn_corpus::line_holding(source, "execl(") + 1);
        }
        size_t common = 0;
        size_t ran = 0;
        for (const auto& [line, was_run] : gcov) {
            common += ryn.contains(line);
            ran += ryn.contains(line) && was_run;
        }
        // Sets that hardly overlap would agree on nothing worth checking.
        EXPECT_GE(common * 2, gcov.size());
        EXPECT_GT(ran, 0u);
        EXPECT_EQ(ryn_corpus::disagreements(gcov, ryn), "");
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, SameLinesAsGcov,
                         testing::Values("libs", "threads", "forkexec", "plugin", "jumptable",
                                         "recursion", "exceptions"));

TEST_F(Corpus, NamedPluginIsCoveredAndTheOtherIsLogged) {
    const Measured& m = measure("plugin");
    ASSERT_FALSE(HasFailure());
    const std::string named = ryn_corpus::source_path("plugin_double.c");
    ASSERT_TRUE(m.ryn.contains(named));
    EXPECT_TRUE(m.ryn.at(named).at(ryn_corpus::line_holding(named, "return value * 2;")));
    EXPECT_FALSE(m.ryn.contains(ryn_corpus::source_path("plugin_square.c")));

    const auto logs = ryn_e2e::files_ending_in(work->path() + "/cache", "/plugin.original.liblog");
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_NE(read_file(logs[0]).find(m.annotated.plugin_path("square") + "\n"), std::string::npos)
        << read_file(logs[0]);
}

}  // namespace
