#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "ryn/exec_util.h"
#include "support/test_support.h"

using namespace ryn;

namespace {

using testing::ExitedWithCode;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

ArgCache shell(const std::string& script) {
    ArgCache list;
    for (const char* word : {"/bin/sh", "-c", script.c_str()}) {
        list.add_arg(word);
    }
    return list;
}

bool run(ExecUtil& util, const ArgCache& cmd, bool tolerate, int out = -1, int err = -1,
         bool unset_ldaudit = false) {
    return util.run_command(&cmd, {.tolerate_failure = tolerate,
                                   .stdout_fd = out,
                                   .stderr_fd = err,
                                   .unset_ldaudit = unset_ldaudit});
}

TEST(RunCommand, AFailingChildIsToleratedOrEndsTheRun) {
    ryn_test::TempDir dir;
    ryn_test::write_file(dir / "temp", "x");
    ExecUtil util("ryn");
    util.temp_files.add_arg(dir / "temp");
    EXPECT_TRUE(run(util, shell("exit 0"), true));
    EXPECT_FALSE(run(util, shell("exit 3"), true));
    // Temporary files survive the clean-up when tracing at the highest level.
    util.very_verbose = true;
    EXPECT_EXIT(run(util, shell("exit 3"), false), ExitedWithCode(1), "");
    EXPECT_TRUE(ryn_test::exists(dir / "temp"));
    // A failed wait is fatal only when no SIGCHLD handler may have reaped the child.
    EXPECT_FALSE(util.check_wait_status(-1, 0, false, true));
    EXPECT_EXIT((errno = ECHILD, util.check_wait_status(-1, 0, false, false)), ExitedWithCode(1),
                "^ryn \\(error\\): No child process \\(errno = 10\\)");
}

TEST(RunCommandDeath, AMissingProgramEndsTheRunAndPathIsNotSearched) {
    ExecUtil util("ryn");
    ArgCache cmd;
    cmd.add_arg("sh");
    EXPECT_EXIT(run(util, cmd, true), ExitedWithCode(1),
                testing::Eq(std::string("ryn (error): cannot execute sh. (errno = 2) "
                                        "No such file or directory\n")));
}

TEST(RunCommand, OutputGoesToTheGivenDescriptors) {
    ryn_test::TempDir dir;
    ExecUtil util("ryn");
    const int out = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    CaptureStderr();
    EXPECT_TRUE(run(util, shell("echo to-out; echo to-err >&2"), false, out, err));
    EXPECT_TRUE(run(util, shell("echo to-out; echo to-err >&2"), false, out));
    EXPECT_EQ(GetCapturedStderr(), "to-err\n");
    close(out);
    close(err);
    EXPECT_EQ(ryn_test::read_file(dir / "out"), "to-out\nto-out\n");
    EXPECT_EQ(ryn_test::read_file(dir / "err"), "to-err\n");
}

TEST(RunCommand, DryRunEchoesOnlyWhenVerboseAndTheShellFormIgnoresTheStatus) {
    ryn_test::TempDir dir;
    ExecUtil util("ryn");
    const ArgCache touch = shell("touch " + dir / "made");
    util.dry_run = true;
    CaptureStderr();
    EXPECT_TRUE(run(util, touch, false));
    util.verbose = true;
    EXPECT_TRUE(run(util, touch, false));
    util.dry_run = false;  // outside a dry run only the highest verbosity echoes
    EXPECT_TRUE(run(util, shell("exit 0"), false));
    EXPECT_EQ(GetCapturedStderr(), "/bin/sh -c touch " + dir / "made" + " \n");
    EXPECT_FALSE(ryn_test::exists(dir / "made"));
    // The shell sees the words unquoted, after the audit library is dropped.
    const ryn_test::ScopedEnv audit("LD_AUDIT", "");
    EXPECT_TRUE(run(util, shell("true; env > " + dir / "env" + "; exit 7"), false, -1, -1, true));
    const std::string environment = ryn_test::read_file(dir / "env");
    EXPECT_NE(environment.find("PATH="), std::string::npos);
    EXPECT_EQ(environment.find("LD_AUDIT"), std::string::npos);
}

}  // namespace
