#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>
#include <string>

#include "ryn/exec_util.h"
#include "support/test_support.h"

namespace {

using testing::ExitedWithCode;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

ArgCache command(std::initializer_list<const char*> words) {
    ArgCache list;
    for (const char* word : words) {
        list.add_arg(word);
    }
    return list;
}

ArgCache shell(const std::string& script) { return command({"/bin/sh", "-c", script.c_str()}); }

bool run_plain(ExecUtil& util, const ArgCache& cmd, bool tolerate_failure) {
    return util.run_command(&cmd, false, tolerate_failure, false, -1, -1, 0, false);
}

int open_for_writing(const std::string& path) {
    return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
}

TEST(RunCommand, ExitStatusDecidesTheResultWhenFailureIsTolerated) {
    ExecUtil util("ryn");
    EXPECT_TRUE(run_plain(util, shell("exit 0"), true));
    EXPECT_FALSE(run_plain(util, shell("exit 3"), true));
    EXPECT_FALSE(run_plain(util, shell("kill -TERM $$"), true));
}

TEST(RunCommandDeath, AnUntoleratedFailureCleansUpAndExitsSilently) {
    ryn_test::TempDir dir;
    const std::string temp = dir / "ryn_tmp";
    ryn_test::write_file(temp, "x");
    ExecUtil util("ryn");
    util.temp_files.add_arg(temp);
    const ArgCache failing = shell("exit 3");
    EXPECT_EXIT(run_plain(util, failing, false), ExitedWithCode(1), testing::Eq(std::string()));
    EXPECT_FALSE(ryn_test::exists(temp));
}

TEST(RunCommandDeath, AMissingProgramCannotBeExecuted) {
    ExecUtil util("ryn");
    const ArgCache missing = command({"/nonexistent/prog", "-x"});
    EXPECT_EXIT(run_plain(util, missing, true), ExitedWithCode(1),
                testing::Eq(std::string("ryn (error): cannot execute /nonexistent/prog. "
                                        "(errno = 2) No such file or directory\n")));
    // The program path is used as given, never searched along PATH.
    const ArgCache bare = command({"sh", "-c", "exit 0"});
    EXPECT_EXIT(run_plain(util, bare, true), ExitedWithCode(1),
                testing::Eq(std::string("ryn (error): cannot execute sh. "
                                        "(errno = 2) No such file or directory\n")));
}

TEST(RunCommand, OutputDescriptorsAreRedirectedForTheChildOnly) {
    ryn_test::TempDir dir;
    ExecUtil util("ryn");
    const int out = open_for_writing(dir / "out");
    const int err = open_for_writing(dir / "err");
    const ArgCache chatty = shell("echo to-out; echo to-err >&2");
    CaptureStdout();
    CaptureStderr();
    EXPECT_TRUE(util.run_command(&chatty, false, false, false, out, err, 0, false));
    EXPECT_TRUE(util.run_command(&chatty, false, false, false, out, -1, 0, false));
    fflush(stdout);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(GetCapturedStderr(), "to-err\n");
    close(out);
    close(err);
    EXPECT_EQ(ryn_test::read_file(dir / "out"), "to-out\nto-out\n");
    EXPECT_EQ(ryn_test::read_file(dir / "err"), "to-err\n");
}

TEST(RunCommand, TheStackLimitReachesTheChildButNotTheDriver) {
    ryn_test::TempDir dir;
    ExecUtil util("ryn");
    struct rlimit before {};
    ASSERT_EQ(getrlimit(RLIMIT_STACK, &before), 0);
    const int out = open_for_writing(dir / "limit");
    const ArgCache query = shell("ulimit -s");
    EXPECT_TRUE(util.run_command(&query, false, false, false, out, -1, 16UL << 20, false));
    EXPECT_TRUE(util.run_command(&query, false, false, false, out, -1, 0, false));
    close(out);
    struct rlimit after {};
    ASSERT_EQ(getrlimit(RLIMIT_STACK, &after), 0);
    EXPECT_EQ(after.rlim_cur, before.rlim_cur);
    const std::string own = before.rlim_cur == RLIM_INFINITY
                                ? "unlimited"
                                : std::to_string(before.rlim_cur / 1024);
    EXPECT_EQ(ryn_test::read_file(dir / "limit"), "16384\n" + own + "\n");
}

TEST(RunCommandDeath, ALimitAboveTheHardLimitWarnsAndStillRuns) {
    ExecUtil util("ryn");
    const ArgCache ok = shell("exit 0");
    EXPECT_EXIT(
        {
            // A process may always lower its own hard limit.
            struct rlimit limit {};
            getrlimit(RLIMIT_STACK, &limit);
            if (limit.rlim_cur == RLIM_INFINITY) {
                limit.rlim_cur = 8UL << 20;
            }
            limit.rlim_max = limit.rlim_cur;
            if (setrlimit(RLIMIT_STACK, &limit) != 0) {
                _exit(2);
            }
            const unsigned long above = limit.rlim_cur + 4096;
            _exit(util.run_command(&ok, false, false, false, -1, -1, above, false) ? 0 : 3);
        },
        ExitedWithCode(0),
        testing::Eq(std::string(
            "ryn (warning): error calling setrlimit(): warning:  (errno = 22) Invalid argument\n")));
}

TEST(RunCommand, DryRunOnlyEchoesWhenVerbose) {
    ryn_test::TempDir dir;
    const std::string made = dir / "made";
    ExecUtil util("ryn");
    util.dry_run = true;
    const ArgCache touch = command({"/bin/touch", made.c_str(), "-comment=a b"});
    CaptureStderr();
    EXPECT_TRUE(run_plain(util, touch, false));
    EXPECT_EQ(GetCapturedStderr(), "");
    util.verbose = true;
    CaptureStderr();
    EXPECT_TRUE(run_plain(util, touch, false));
    EXPECT_EQ(GetCapturedStderr(), "/bin/touch " + made + " -comment=\"a b\" \n");
    EXPECT_FALSE(ryn_test::exists(made));

    // Outside a dry run only the highest verbosity echoes, then runs.
    util.dry_run = false;
    const ArgCache plain_touch = command({"/bin/touch", made.c_str()});
    CaptureStderr();
    EXPECT_TRUE(run_plain(util, plain_touch, false));
    EXPECT_EQ(GetCapturedStderr(), "");
    util.very_verbose = true;
    CaptureStderr();
    EXPECT_TRUE(run_plain(util, plain_touch, false));
    EXPECT_EQ(GetCapturedStderr(), "/bin/touch " + made + " \n");
    EXPECT_TRUE(ryn_test::exists(made));
}

TEST(RunCommand, TheShellFormIgnoresStatusAndOutputAndDropsTheAuditor) {
    ryn_test::TempDir dir;
    const std::string env_dump = dir / "env";
    ryn_test::ScopedEnv audit("LD_AUDIT", "");
    ExecUtil util("ryn");
    const ArgCache failing = command({"echo", "noise;", "exit", "7"});
    const ArgCache dump = command({"/usr/bin/env", ">", env_dump.c_str()});
    CaptureStdout();
    EXPECT_TRUE(util.run_command(&failing, false, false, false, -1, -1, 0, true));
    EXPECT_TRUE(util.run_command(&dump, false, false, false, -1, -1, 0, true));
    EXPECT_EQ(GetCapturedStdout(), "");
    const std::string environment = ryn_test::read_file(env_dump);
    EXPECT_NE(environment.find("PATH="), std::string::npos);
    EXPECT_EQ(environment.find("LD_AUDIT"), std::string::npos);
}

TEST(RunCommandDeath, InterruptsAreIgnoredWhileWaitingAndRestoredAfterwards) {
    ExecUtil util("ryn");
    const ArgCache interrupting = shell("kill -INT $PPID; sleep 0.1");
    EXPECT_EXIT(
        {
            const bool ok = util.run_command(&interrupting, false, false, true, -1, -1, 0, false);
            struct sigaction now {};
            sigaction(SIGINT, nullptr, &now);
            _exit(ok && now.sa_handler == SIG_DFL ? 0 : 2);
        },
        ExitedWithCode(0), "");
    EXPECT_EXIT(run_plain(util, interrupting, false), testing::KilledBySignal(SIGINT), "");
}

TEST(RunCommand, WithoutWaitingTheChildRunsOn) {
    ryn_test::TempDir dir;
    const std::string done = dir / "done";
    ExecUtil util("ryn");
    const ArgCache slow = shell("sleep 0.3; touch " + done);
    EXPECT_TRUE(util.run_command(&slow, true, false, false, -1, -1, 0, false));
    EXPECT_FALSE(ryn_test::exists(done));
    int status = 0;
    ASSERT_GT(wait(&status), 0);
    EXPECT_TRUE(ryn_test::exists(done));
}

TEST(CheckWaitStatus, AFailedWaitIsFatalOnlyWithoutASigchldHandler) {
    ExecUtil util("ryn");
    EXPECT_TRUE(util.check_wait_status(42, 0, false, false));
    EXPECT_FALSE(util.check_wait_status(42, 1 << 8, true, false));
    EXPECT_FALSE(util.check_wait_status(-1, 0, true, false));
    EXPECT_FALSE(util.check_wait_status(-1, 0, false, true));
    EXPECT_EXIT(
        {
            errno = ECHILD;
            util.check_wait_status(-1, 0, false, false);
        },
        ExitedWithCode(1),
        testing::Eq(std::string("ryn (error): No child process (errno = 10) No child processes\n")));
}

TEST(Cleanup, TemporaryFilesGoUnlessTracingAtTheHighestLevel) {
    ryn_test::TempDir dir;
    ExecUtil util("ryn");
    ryn_test::write_file(dir / "a", "a");
    ryn_test::write_file(dir / "b", "b");
    util.temp_files.add_arg(dir / "a");
    util.temp_files.add_arg(dir / "missing");
    util.temp_files.add_arg(dir / "b");
    util.very_verbose = true;
    util.cleanup();
    EXPECT_TRUE(ryn_test::exists(dir / "a"));
    EXPECT_TRUE(ryn_test::exists(dir / "b"));
    util.very_verbose = false;
    util.cleanup();
    EXPECT_FALSE(ryn_test::exists(dir / "a"));
    EXPECT_FALSE(ryn_test::exists(dir / "b"));
}

TEST(SignalHandlers, FatalSignalsGetTheLockHandlerOnce) {
    EXPECT_EXIT(
        {
            ExecUtil util("ryn");
            util.setup_handler();
            for (const int sig : {SIGINT, SIGILL, SIGFPE, SIGBUS, SIGSEGV, SIGTERM, SIGHUP}) {
                struct sigaction now {};
                sigaction(sig, nullptr, &now);
                if (now.sa_handler != __filelock_signal_handler__ ||
                    !(now.sa_flags & SA_RESETHAND)) {
                    _exit(2);
                }
            }
            // The handler re-raises, so the signal's default action ends the process.
            raise(SIGTERM);
            _exit(3);
        },
        testing::KilledBySignal(SIGTERM), "");
}

}  // namespace
