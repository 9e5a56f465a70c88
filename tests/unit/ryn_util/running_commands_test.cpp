// Child commands: a run's own commands, tolerated or fatal when they fail,
// echoed and redirected as asked; and probes run without a shell, which see
// what they would have seen through the shell and fall back to it.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/ryn_util/command_output.h"
#include "ryn/exec_util.h"
#include "support/test_support.h"

using namespace ryn;

namespace {

struct Finished {
    std::string output;
    int status;
};

Finished run(const ryn::ProbeCommand& command) {
    ryn::CommandOutput stream(command);
    EXPECT_TRUE(stream);
    Finished done{"", -1};
    char block[512];
    size_t n;
    while (stream && (n = fread(block, 1, sizeof block, stream.get())) > 0) {
        done.output.append(block, n);
    }
    done.status = stream.close();
    return done;
}

std::vector<std::string> sorted_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

// Run directly, then through the shell text by making the program path
// unusable: both must print the same.
void expect_same_as_shell(ryn::ProbeCommand command) {
    const Finished direct = run(command);
    command.args[0] = "/";
    const Finished shell = run(command);
    EXPECT_EQ(sorted_lines(direct.output), sorted_lines(shell.output));
    EXPECT_EQ(direct.status, shell.status);
}

TEST(CommandOutput, EnvironmentMatchesTheShells) {
    ryn_test::TempDir dir;
    const ryn_test::ScopedChdir in(dir.path());
    setenv("RYN_PROBE_GONE", "1", 1);
    setenv("RYN_PROBE_REPLACED", "old", 1);
    ryn::ProbeCommand command;
    command.args = {"/usr/bin/env"};
    command.set_env = {"RYN_PROBE_REPLACED=new", "RYN_PROBE_ADDED=a b"};
    command.unset_env = {"RYN_PROBE_GONE"};
    command.shell_text =
        "unset RYN_PROBE_GONE; RYN_PROBE_REPLACED=new RYN_PROBE_ADDED='a b' /usr/bin/env";
    expect_same_as_shell(command);

    // The shell exports the working directory when PWD names another one.
    const ryn_test::ScopedEnv elsewhere("PWD", "/");
    expect_same_as_shell(command);
    unsetenv("RYN_PROBE_GONE");
    unsetenv("RYN_PROBE_REPLACED");
}

TEST(CommandOutput, ShellTakesOverOnlyWhenTheProgramCannotStart) {
    ryn_test::TempDir dir;
    ryn::ProbeCommand command;
    command.args = {"/bin/sh", "-c", "echo out; echo err >&2; exit 5"};
    command.merge_stderr = true;
    command.shell_text = "false";
    Finished done = run(command);
    EXPECT_EQ(done.output, "out\nerr\n");
    EXPECT_EQ(WEXITSTATUS(done.status), 5);

    command.merge_stderr = false;
    command.shell_text = "echo through the shell; exit 3";
    command.args = {dir / "missing"};
    done = run(command);
    EXPECT_EQ(done.output, "through the shell\n");
    EXPECT_EQ(WEXITSTATUS(done.status), 3);

    // A script without a first line naming its interpreter runs only
    // through the shell.
    const std::string script = dir / "script";
    ryn_test::write_file(script, "echo script ran\n");
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    command.args = {script};
    command.shell_text = script;
    EXPECT_EQ(run(command).output, "script ran\n");
}

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

TEST(RunCommand, AFailingOrMissingChildIsToleratedOrEndsTheRun) {
    ryn_test::TempDir dir;
    ExecUtil util("ryn");
    util.temp_files.add_arg(dir / "temp");
    EXPECT_TRUE(run(util, shell("exit 0"), true));
    EXPECT_FALSE(run(util, shell("exit 3"), true));
    // PATH is not searched.
    ArgCache cmd;
    cmd.add_arg("sh");
    EXPECT_EXIT(run(util, cmd, true), ExitedWithCode(1),
                testing::Eq(std::string("ryn (error): cannot execute sh. (errno = 2) "
                                        "No such file or directory\n")));
    // Temporary files survive the clean-up when tracing at the highest level.
    ryn_test::write_file(dir / "temp", "x");
    util.very_verbose = true;
    EXPECT_EXIT(run(util, shell("exit 3"), false), ExitedWithCode(1), "");
    EXPECT_TRUE(ryn_test::exists(dir / "temp"));
    // A failed wait is fatal only when no SIGCHLD handler may have reaped the child.
    EXPECT_FALSE(util.check_wait_status(-1, 0, false, true));
    EXPECT_EXIT((errno = ECHILD, util.check_wait_status(-1, 0, false, false)), ExitedWithCode(1),
                "^ryn \\(error\\): No child process \\(errno = 10\\)");
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
    EXPECT_EQ(environment.find("LD_AUDIT"), std::string::npos);
}

}  // namespace
