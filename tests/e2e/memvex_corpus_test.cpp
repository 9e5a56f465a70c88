// The checkers on small programs of our own (tests/fixtures/memvex): each
// program with an error is reported with the error's kind at the source line
// marked "expect: <kind>", on standard error and in the text report; clean
// programs run exactly as they do natively; the report files and the exit
// status follow the options.
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "support/corpus.h"
#include "support/e2e_support.h"
#include "support/test_support.h"

using ryn_test::RunResult;
using Args = std::vector<std::string>;

namespace {

const std::string k_fixtures = std::string(RYN_SOURCE_DIR) + "/tests/fixtures/memvex/";

struct Row {
    const char* source;
    const char* kind;            // "" for a clean program
    Args options = {};           // memvex options besides -o
    // The stack that holds the marked line: "" the error's own, else the
    // header it comes under ("freed at:"), or "*" any of the entry's.
    const char* stack = "";
};

// Names the row in failure messages.
void PrintTo(const Row& row, std::ostream* out) { *out << row.source; }

// A corpus program built as a user builds for the checker, and its checked
// copy made by the installed front end.
class CheckedProgram {
public:
    CheckedProgram(const ryn_test::TempDir& work, const std::string& source, const std::string& opt,
                   const Args& options)
        : work_(work), source_(k_fixtures + source) {
        const std::string compiler = source.ends_with(".cpp") ? "c++" : RYN_TEST_CC;
        const RunResult built = ryn_test::run_shell(compiler + " " + opt + " -g -pthread -o " +
                                                    native() + " " + source_ + " " +
                                                    ryn_test::kalnote_object());
        EXPECT_EQ(built.status, 0) << built.err;
        std::filesystem::create_directories(run_dir());
        std::filesystem::create_directories(work / "copies");
        Args args{ryn_test::stage_bin("memvex")};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), {"-o", copy(), native()});
        instrumented_ = ryn_test::run(args, ryn_e2e::hermetic_env(work.path()), work.path());
        EXPECT_EQ(instrumented_.status, 0) << instrumented_.err;
    }

    std::string native() const { return work_ / "prog"; }
    std::string copy() const { return work_ / "copies/out"; }
    std::string run_dir() const { return work_ / "run"; }
    std::string in_run_dir(const std::string& name) const { return run_dir() + "/" + name; }

    // A bounded run, so that a hang or deadlock fails instead of blocking.
    RunResult run(const std::string& program) const {
        return ryn_test::run({"timeout", "60", program}, {}, run_dir());
    }
    // "<source file name>:<line>" of the line marked for `kind`.
    std::string marked(const std::string& kind) const {
        const int line = ryn_corpus::line_holding(source_, "/* expect: " + kind + " */");
        EXPECT_GT(line, 0) << "no mark for " << kind << " in " << source_;
        return std::filesystem::path(source_).filename().string() + ":" + std::to_string(line);
    }

private:
    const ryn_test::TempDir& work_;
    std::string source_;
    RunResult instrumented_;
};

using Case = std::tuple<Row, std::string>;  // the program, the optimisation level

std::string case_name(const ::testing::TestParamInfo<Case>& info) {
    std::string name = std::filesystem::path(std::get<0>(info.param).source).stem().string() + "_" +
                       std::get<1>(info.param).substr(1);
    return name;
}

const std::vector<Row> k_clean = {
    {"clean_threads.c", ""},   {"clean_fork.c", ""},    {"clean_containers.cpp", ""},
    {"clean_realloc.c", ""},   {"clean_aligned.c", ""},
};

class MemvexCorpusClean : public ::testing::TestWithParam<Case> {};

TEST_P(MemvexCorpusClean, RunsExactlyAsNativeAndSaysNothingEvenWithAnErrorExitStatus) {
    const auto& [row, opt] = GetParam();
    ryn_test::TempDir work;
    const CheckedProgram program(work, row.source, opt, {"-E", "9"});
    const RunResult native = program.run(program.native());
    const RunResult checked = program.run(program.copy());
    EXPECT_EQ(checked.out, native.out);
    EXPECT_EQ(checked.err, native.err);
    EXPECT_EQ(checked.status, native.status);
}

INSTANTIATE_TEST_SUITE_P(Builds, MemvexCorpusClean,
                         ::testing::Combine(::testing::ValuesIn(k_clean), ::testing::Values("-O0", "-O2")),
                         case_name);

}  // namespace
