// However a run ends badly, every replaced file is back before the process
// goes, also when a hook leaves the ending and the process runs on.
#include <signal.h>
#include <unistd.h>

#include <csetjmp>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "driver/ryn_util/file_replacement.h"
#include "driver/ryn_util/kept_originals.h"
#include "driver/ryn_util/run_ending.h"
#include "ryn/exec_util.h"
#include "support/test_support.h"

using namespace ryn;

namespace {

class RunEnding : public ::testing::Test {
protected:
    void SetUp() override {
        ryn_test::write_file(dir / "prog", "original");
        ryn_test::write_file(dir / "new", "instrumented");
    }
    // What a run does before its risky part: keep, then replace.
    void replace_in_place() {
        ASSERT_EQ(ryn::keep_original((dir / "prog").c_str(), false), 0);
        ASSERT_EQ(ryn::replace_file((dir / "new").c_str(), (dir / "prog").c_str(), true), 0);
    }
    ryn_test::TempDir dir;
};

// A hook that leaves the ending by a jump, as a build that runs many runs in
// one process does.
jmp_buf g_after_run;
void hook_jumping_back(int status) { longjmp(g_after_run, status); }

TEST_F(RunEnding, AfterAHookLeftTheEndingTheNextRunEndsAndRestoresAgain) {
    ryn::set_run_end_hook(hook_jumping_back);
    testing::internal::CaptureStderr();
    for (int run = 0; run < 2; ++run) {
        // Each run of such a build has its own utility object.
        std::optional<ExecUtil> util;
        util.emplace("ryn");
        ryn_test::write_file(dir / "prog", "original");
        replace_in_place();
        if (setjmp(g_after_run) == 0) {
            util->report_error(MSG_ERROR, 0, "broken");
        }
        EXPECT_EQ(ryn_test::read_file(dir / "prog"), "original") << "run " << run;
    }
    testing::internal::GetCapturedStderr();
    ryn::set_run_end_hook(nullptr);
    // Fatal signals are not left blocked.
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    EXPECT_FALSE(sigismember(&mask, SIGTERM));
}

}  // namespace
