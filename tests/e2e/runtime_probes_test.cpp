// Probes planted by the runtime record exactly the blocks a run reached, the
// program runs as it would without them, and runs of one build add up.
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/e2e_support.h"
#include "support/runtime_support.h"

using namespace ryn_test;

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

const std::vector<std::string> k_functions = {"main", "never_called", "used_a", "used_b"};

class ProbedProgram : public ::testing::Test {
protected:
    void build(const std::string& flags = "-O0 -g") {
        ASSERT_TRUE(compile_c(k_path_source, original, flags));
        add_probe_table(original, copy,
                        main_settings(original, "data.instrdata", {"21 " + original, "33 parent"}));
    }
    std::string data_file() const { return dir / "data.instrdata/prog.instrdata"; }

    TempDir dir;
    std::string original = dir / "prog";
    std::string copy = dir / "prog.copy";
};

TEST_F(ProbedProgram, RecordsExactlyTheReachedFunctionsAndChangesNothing) {
    build();
    const RunResult plain = run({original, "x"});
    const RunResult probed = run({copy, "x"}, {audit_env()}, dir.path());
    EXPECT_EQ(probed.out, plain.out);
    EXPECT_EQ(probed.err, plain.err);
    EXPECT_EQ(probed.status, plain.status);
    ASSERT_EQ(plain.status, 6);

    const InstrData data = read_instrdata(data_file());
    EXPECT_EQ(data.object, original);
    EXPECT_EQ(data.program, "prog");
    EXPECT_EQ(reached(data, k_functions), (std::vector<std::string>{"main", "used_a", "used_b"}));
    EXPECT_EQ(data.counts.at("never_called"), 0u);
}

TEST_F(ProbedProgram, NonPieProgramIsProbedToo) {
    build("-O0 -g -no-pie");
    const RunResult probed = run({copy}, {audit_env()}, dir.path());
    EXPECT_EQ(probed.out, "value 4\n");
    EXPECT_EQ(reached(read_instrdata(data_file()), k_functions),
              (std::vector<std::string>{"main", "used_a", "used_b"}));
}

TEST_F(ProbedProgram, CopyRunsLikeTheOriginalWithoutTheRuntime) {
    build();
    const RunResult alone = run({copy, "a", "b", "c", "d", "e"}, {}, dir.path());
    EXPECT_EQ(alone.out, "value 8\n");
    EXPECT_EQ(alone.status, 1);
    EXPECT_FALSE(exists(data_file()));
}

TEST_F(ProbedProgram, CopyWhoseAuditorWentAwayRunsToCompletion) {
    ASSERT_TRUE(compile_c(k_path_source, original, "-O0 -g"));
    const std::string auditor = dir / "gone.so";
    ASSERT_EQ(run({"cp", stage_lib("amd64/ryndl.so"), auditor}).status, 0);
    const RunResult made = run({stage_lib("morphel"), "-ryn", "-xkalfix=instrument:./data.instrdata",
                                "-add_depaudit=" + auditor, "-o", copy, original});
    ASSERT_EQ(made.status, 0) << made.err;
    // With its auditor the copy measures without any environment variable.
    EXPECT_EQ(run({copy}, {}, dir.path()).out, "value 4\n");
    EXPECT_EQ(read_instrdata(dir / "data.instrdata/prog.copy.instrdata").counts.at("used_b"), 1u);

    ASSERT_EQ(unlink(auditor.c_str()), 0);
    const RunResult alone = run({copy}, {}, dir.path());
    EXPECT_EQ(alone.out, "value 4\n");
    EXPECT_EQ(alone.status, 4);
}

TEST_F(ProbedProgram, RunsOfOneBuildMergeAndAnotherBuildReplaces) {
    build();
    run({copy}, {audit_env()}, dir.path());
    run({copy, "a", "b", "c", "d", "e"}, {audit_env()}, dir.path());
    InstrData data = read_instrdata(data_file());
    EXPECT_EQ(data.counts.at("main"), 2u);
    EXPECT_EQ(data.counts.at("used_a"), 2u);
    EXPECT_EQ(data.counts.at("never_called"), 1u);

    // A copy made from another build of the program starts afresh.
    add_probe_table(original, copy,
                    main_settings(original, "data.instrdata", {"21 " + original}),
                    std::string(32, 'f'));
    run({copy}, {audit_env()}, dir.path());
    data = read_instrdata(data_file());
    EXPECT_EQ(data.digest, std::string(32, 'f'));
    EXPECT_EQ(data.counts.at("main"), 1u);
    EXPECT_EQ(data.counts.at("never_called"), 0u);
}

TEST_F(ProbedProgram, EightConcurrentRunsMergeToTheUnion) {
    build();
    std::string command;
    for (int i = 0; i < 8; ++i) {
        command += audit_env() + " " + copy + (i % 2 ? " a b c d e" : "") + " >/dev/null 2>&1 & ";
    }
    command += "wait";
    run_shell(command, dir.path());
    const InstrData data = read_instrdata(data_file());
    EXPECT_EQ(data.counts.at("main"), 8u);
    EXPECT_EQ(data.counts.at("never_called"), 4u);
    // No lock or temporary file is left beside the data.
    EXPECT_EQ(ryn_e2e::files_ending_in(dir / "data.instrdata", ""),
              std::vector<std::string>{data_file()});
}

}  // namespace
