// The run's settings reach the thread checker inside the main program's copy:
// the stack depth, the exit status of a run that found errors, and the kinds
// not to report. The engine's probed copy carries the same settings table as
// a checker copy, and runs unchanged without the audit library.
#include <gtest/gtest.h>

#include "support/vek_programs.h"

using ryn_test::RunResult;
using ryn_test::TempDir;

namespace {

const std::string k_inversion = R"(#include <pthread.h>
#include <stdio.h>
static pthread_mutex_t a = PTHREAD_MUTEX_INITIALIZER, b = PTHREAD_MUTEX_INITIALIZER;
static void take(pthread_mutex_t *outer, pthread_mutex_t *inner) {
    pthread_mutex_lock(outer);
    pthread_mutex_lock(inner);
    pthread_mutex_unlock(inner);
    pthread_mutex_unlock(outer);
}
int main(void) {
    take(&a, &b);
    take(&b, &a);
    printf("buffered output\n");
    return 0;
}
)";

class VekSettings : public ::testing::Test {
protected:
    void SetUp() override {
        program = ryn_vek::build_checked(dir.path(), "inversion", k_inversion);
        ASSERT_FALSE(program.empty());
    }

    // Runs a copy of the program carrying the run-information records given.
    RunResult run_with(const std::string& records) {
        const std::string info = dir / "info";
        const std::string copy = dir / "copy";
        ryn_test::write_file(info, records);
        const RunResult made = ryn_test::run({ryn_test::stage_lib("morphel"), "-ryn", "-xkalfix=instrument:./",
                                              "-ryninfo=" + info, "-o", copy, program});
        EXPECT_EQ(made.status, 0) << made.err;
        return ryn_vek::run_limited(copy);
    }

    TempDir dir;
    std::string program;
};

TEST_F(VekSettings, ExitStatusReplacesACleanOneOnlyWhenErrorsWereReported) {
    const RunResult found = run_with("14 9\n");
    EXPECT_EQ(found.status, 9);
    // Output still buffered at exit is written before the status changes.
    EXPECT_EQ(found.out, "buffered output\n");
    EXPECT_EQ(ryn_vek::count_errors(found.err, "lock-order-inversion"), 1) << found.err;

    // A suppressed kind is counted, not reported, and is no reason to fail.
    const RunResult suppressed = run_with("14 9\n27 unlock-not-held,lock-order-inversion\n");
    EXPECT_EQ(suppressed.status, 0);
    EXPECT_EQ(suppressed.out, "buffered output\n");
    EXPECT_EQ(suppressed.err, "vek: summary: 0 errors, 1 suppressed\n");
}

TEST_F(VekSettings, StackDepthLimitsEveryStack) {
    const RunResult result = run_with("10 1\n");
    EXPECT_EQ(result.status, 0);
    ASSERT_EQ(ryn_vek::count_errors(result.err, "lock-order-inversion"), 1) << result.err;
    EXPECT_EQ(result.err.find("    #1 "), std::string::npos) << result.err;
    // Frame #0 of both orders is the call in take(), never the checker's.
    EXPECT_NE(ryn_vek::first_frame_after(result.err, "lock-order-inversion").find(" in take "), std::string::npos)
        << result.err;
    EXPECT_NE(ryn_vek::first_frame_after(result.err, "  acquired ").find(" in take "), std::string::npos)
        << result.err;
}

}  // namespace
