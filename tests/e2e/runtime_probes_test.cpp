// Probes planted by the runtime record exactly the blocks a run reached, the
// program runs as it would without them, runs of one build add up and a
// copy of another build starts afresh.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "coverage/file_digest.h"
#include "support/e2e_support.h"
#include "support/runtime_support.h"

using namespace ryn_test;
using Strings = std::vector<std::string>;

namespace {

const char* const k_path_source = R"(#include <stdio.h>
int used_a(int x) { return x + 1; }
int used_b(int x) { return x * 2; }
int never_called(int x) { return x - 3; }
int main(int argc, char **argv) {
    (void)argv;
    int v = used_a(argc);
    if (argc > 5)
        v = never_called(v);
    v = used_b(v);
    printf("value %d\n", v);
    fprintf(stderr, "done\n");
    return v % 7;
}
)";

TEST_P(ProbedRuns, RecordExactlyTheReachedFunctionsAndChangeNothing) { check(GetParam()); }

const RunCase k_builds[] = {
    {"pie",
     k_path_source,
     "x",
     "value 6\n",
     6,
     {{"main", 1}, {"never_called", 0}, {"used_a", 1}, {"used_b", 1}}},
    {"no_pie",
     k_path_source,
     "x",
     "value 6\n",
     6,
     {{"main", 1}, {"never_called", 0}, {"used_a", 1}, {"used_b", 1}},
     {},
     "",
     "-no-pie"},
};

INSTANTIATE_TEST_SUITE_P(Builds, ProbedRuns, ::testing::ValuesIn(k_builds), case_name);

using ProbedProgram = ProbedProgramTest;

TEST_F(ProbedProgram, RunsOfOneBuildMergeAndAnotherBuildReplaces) {
    build(k_path_source);
    run_alike();
    run_alike("a b c d e");
    InstrData recorded = data();
    EXPECT_EQ(recorded.counts.at("main"), 2u);
    EXPECT_EQ(recorded.counts.at("used_a"), 2u);
    EXPECT_EQ(recorded.counts.at("never_called"), 1u);

    // Another build with the same blocks: only its digest tells it apart.
    build(std::string(k_path_source) + "const char *build_tag = \"second\";\n");
    run_alike();
    recorded = data();
    EXPECT_EQ(recorded.digest, coverage::file_digest(original));
    EXPECT_EQ(recorded.counts.at("main"), 1u);
    EXPECT_EQ(recorded.counts.at("never_called"), 0u);
}

TEST_F(ProbedProgram, EightConcurrentRunsMergeToTheUnion) {
    build(k_path_source);
    std::string command;
    for (int i = 0; i < 8; ++i) {
        command += copy + (i % 2 ? " a b c d e" : "") + " >/dev/null 2>&1 & ";
    }
    run_shell(command + "wait", dir.path());
    const InstrData recorded = data();
    EXPECT_EQ(recorded.counts.at("main"), 8u);
    EXPECT_EQ(recorded.counts.at("never_called"), 4u);
    // No lock or temporary file is left beside the data.
    EXPECT_EQ(ryn_e2e::files_ending_in(dir / "d", ""), Strings{dir / "d/prog.instrdata"});
}

}  // namespace
