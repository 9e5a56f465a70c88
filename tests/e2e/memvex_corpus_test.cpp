// The checkers on small programs of our own (tests/fixtures/memvex): each
// program with an error is reported with the error's kind at the source line
// marked "expect: <kind>", on standard error and in the text report; clean
// programs run exactly as they do natively; the report files and the exit
// status follow the options.
#include <csignal>
#include <filesystem>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "support/corpus.h"
#include "support/e2e_support.h"
#include "support/memvex_support.h"
#include "support/test_support.h"

using ryn_test::RunResult;
using Args = std::vector<std::string>;

namespace {

const std::string k_fixtures = std::string(RYN_SOURCE_DIR) + "/tests/fixtures/memvex/";

struct Row {
    const char* source;
    const char* kind;   // "" for a clean program
    Args options = {};  // memvex options besides -o
    // The stack that holds the marked line: "" the error's own, else the
    // header it comes under ("freed at:"), or "*" any of the entry's.
    const char* stack = "";
    const char* summary = "";  // more the summary line must hold
    int status = 0;            // the run ends normally unless the error kills it
};

// Names the row in failure messages.
void PrintTo(const Row& row, std::ostream* out) { *out << row.source; }

// Whether the entry of the row's kind in `report` has the marked location
// in the stack the row names.
::testing::AssertionResult reports_at(const std::string& report, const Row& row,
                                      const std::string& location) {
    const ryn_test::ReportEntry entry = ryn_test::entry_of(report, row.kind);
    for (const auto& [header, frames] : entry.stacks) {
        const bool chosen = std::string(row.stack) == "*" || header == row.stack;
        if (chosen && entry.top(header) == location) {
            return ::testing::AssertionSuccess();
        }
    }
    return ::testing::AssertionFailure() << "no " << row.kind << " with frame #0 at " << location
                                         << " under \"" << row.stack << "\" in:\n"
                                         << report;
}

// A corpus program built as a user builds for the checker, and its checked
// copy made by the installed front end.
class CheckedProgram {
public:
    CheckedProgram(const ryn_test::TempDir& work, const std::string& source, const std::string& opt,
                   const Args& options)
        : work_(work), source_(k_fixtures + source) {
        const std::string compiler = source.ends_with(".cpp") ? "c++" : RYN_TEST_CC;
        const RunResult built =
            ryn_test::run_shell(compiler + " " + opt + " -g -pthread -o " + native() + " " +
                                source_ + " " + ryn_test::kalnote_object());
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
    return std::filesystem::path(std::get<0>(info.param).source).stem().string() + "_" +
           std::get<1>(info.param).substr(1);
}

const std::vector<Row> k_errors = {
    {"overflow_write_after.c", "overflow-write"},
    {"overflow_write_before.c", "overflow-write"},
    {"double_free.c", "double-free"},
    {"invalid_free.c", "invalid-free"},
    {"interior_free.c", "interior-free"},
    {"mismatched_array_free.cpp", "mismatched-free"},
    {"mismatched_malloc_delete.cpp", "mismatched-free"},
    {"mismatched_new_array_delete.cpp", "mismatched-free"},
    {"mismatched_new_free.cpp", "mismatched-free"},
    {"mismatched_aligned_delete.cpp", "mismatched-free"},
    {"mismatched_new_realloc.cpp", "mismatched-free"},
    {"overflow_write_at_exit.c", "overflow-write", {}, "allocated at:"},
    {"write_after_free.c", "write-after-free", {}, "freed at:"},
    {"leak.c", "leak"},
    {"leak_thread_roots.c", "leak", {}, "", "; leaked 33 bytes in 1 blocks;"},
    {"overflow_access_large.c", "overflow-access", {}, "", "", 128 + SIGSEGV},
    {"access_after_free.c", "access-after-free", {"-Wd,-z"}, "", "", 128 + SIGSEGV},
    {"vek_lock_order.c", "lock-order-inversion", {"-i", "datarace"}, "*"},
    {"vek_unlock_not_held.c", "unlock-not-held", {"-i", "datarace"}},
};

// Where the optimiser moves calls and merges code, the call site must still
// be the marked line.
const std::vector<Row> k_errors_optimised = {
    {"overflow_write_after.c", "overflow-write"},
    {"double_free.c", "double-free"},
    {"mismatched_malloc_delete.cpp", "mismatched-free"},
    {"leak.c", "leak"},
};

const std::vector<Row> k_clean = {
    {"clean_threads.c", ""},
    {"clean_fork.c", ""},
    {"clean_containers.cpp", ""},
    {"clean_realloc.c", ""},
    {"clean_aligned.c", ""},
    {"clean_lifetimes.cpp", ""},
    {"clean_deaf_thread.c", ""},
    {"clean_busy_threads.c", ""},
    {"vek_clean_locking.c", "", {"-i", "datarace"}},
};

class MemvexCorpusErrors : public ::testing::TestWithParam<Case> {};

TEST_P(MemvexCorpusErrors, ReportedWithItsKindAtTheMarkedLineOnStandardErrorAndInTheTextFile) {
    const auto& [row, opt] = GetParam();
    ryn_test::TempDir work;
    Args options = row.options;
    options.insert(options.end(), {"-w", "report.txt"});
    const CheckedProgram program(work, row.source, opt, options);
    const RunResult checked = program.run(program.copy());
    EXPECT_EQ(checked.status, row.status) << checked.err;

    const std::string location = program.marked(row.kind);
    EXPECT_TRUE(reports_at(checked.err, row, location));
    // The text file is named relative to the directory the program starts in.
    ASSERT_TRUE(ryn_test::exists(program.in_run_dir("report.txt"))) << checked.err;
    EXPECT_TRUE(reports_at(ryn_test::read_file(program.in_run_dir("report.txt")), row, location));
    // Counted under its kind in the summary at exit.
    const std::string summary = ryn_test::summary_line(checked.err);
    EXPECT_TRUE(
        std::regex_search(summary, std::regex(std::string("[(] *(.*, )?") + row.kind + " [1-9]")))
        << checked.err;
    EXPECT_NE(summary.find(row.summary), std::string::npos) << checked.err;
}

INSTANTIATE_TEST_SUITE_P(Unoptimised, MemvexCorpusErrors,
                         ::testing::Combine(::testing::ValuesIn(k_errors),
                                            ::testing::Values("-O0")),
                         case_name);
INSTANTIATE_TEST_SUITE_P(Optimised, MemvexCorpusErrors,
                         ::testing::Combine(::testing::ValuesIn(k_errors_optimised),
                                            ::testing::Values("-O2")),
                         case_name);

class MemvexCorpusClean : public ::testing::TestWithParam<Case> {};

TEST_P(MemvexCorpusClean, RunsExactlyAsNativeAndSaysNothingEvenWithAnErrorExitStatus) {
    const auto& [row, opt] = GetParam();
    ryn_test::TempDir work;
    Args options = row.options;
    options.insert(options.end(), {"-E", "9"});
    const CheckedProgram program(work, row.source, opt, options);
    const RunResult native = program.run(program.native());
    const RunResult checked = program.run(program.copy());
    EXPECT_EQ(checked.out, native.out);
    EXPECT_EQ(checked.err, native.err);
    EXPECT_EQ(checked.status, native.status);
}

INSTANTIATE_TEST_SUITE_P(Builds, MemvexCorpusClean,
                         ::testing::Combine(::testing::ValuesIn(k_clean),
                                            ::testing::Values("-O0", "-O2")),
                         case_name);

TEST(MemvexCorpusReports, NamedFilesReplaceTheDefaultAndMinusEChangesACleanExit) {
    ryn_test::TempDir work;
    const CheckedProgram program(
        work, "interior_free.c", "-O0",
        {"-E", "7", "-H", "page.html", "-w", "text.txt", "-Wd,-a=results"});
    const RunResult checked = program.run(program.copy());
    EXPECT_EQ(checked.status, 7) << checked.err;
    const std::string html = ryn_test::read_file(program.in_run_dir("page.html"));
    EXPECT_NE(html.find("interior-free"), std::string::npos) << html;
    EXPECT_NE(html.find("</html>"), std::string::npos) << html;
    EXPECT_EQ(ryn_test::read_file(program.in_run_dir("text.txt")), checked.err);
    EXPECT_FALSE(ryn_test::exists(program.in_run_dir("out.html")));

    // The JSON result goes to the analyzer directory, named by the process.
    const Args results = ryn_e2e::files_ending_in(program.in_run_dir("results"), ".json");
    ASSERT_EQ(results.size(), 1u) << checked.err;
    EXPECT_TRUE(std::filesystem::path(results[0]).filename().string().starts_with("memvex."));
    const std::string json = ryn_test::read_file(results[0]);
    EXPECT_NE(json.find(R"("kind":"interior-free")"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("title":"allocated at")"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("summary":{"errors":1,"suppressed":0,"kinds":{"interior-free":1},)"
                        R"("leaked_bytes":0,"leaked_blocks":0,)"),
              std::string::npos)
        << json;
}

TEST(MemvexCorpusReports, ASuppressedKindIsOnlyCountedInTheSummaryAndTheDefaultHtmlFile) {
    ryn_test::TempDir work;
    const CheckedProgram program(work, "interior_free.c", "-O0",
                                 {"-b", "double-free,interior-free"});
    const RunResult checked = program.run(program.copy());
    // The copy lies in another directory; the report's name keeps only "out".
    EXPECT_TRUE(ryn_test::exists(program.in_run_dir("out.html"))) << checked.err;
    EXPECT_EQ(checked.err.find("memvex: error: "), std::string::npos) << checked.err;
    const std::string summary = ryn_test::summary_line(checked.err);
    EXPECT_TRUE(summary.starts_with("memvex: summary: 0 errors")) << checked.err;
    EXPECT_NE(summary.find(", 1 suppressed"), std::string::npos) << checked.err;
    EXPECT_EQ(checked.out, "done\n");
}

}  // namespace
