// A probe run without a shell sees what it would have seen through the shell:
// the same environment, and the shell's own handling when it cannot start.
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/ryn_util/command_output.h"
#include "support/test_support.h"

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
    const std::vector<std::string> lines = sorted_lines(run(command).output);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "RYN_PROBE_REPLACED=new"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "RYN_PROBE_ADDED=a b"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "RYN_PROBE_GONE=1"), 0);
    expect_same_as_shell(command);

    // The shell exports the working directory when PWD names another one,
    // and keeps a PWD that names it by another path.
    setenv("PWD", "/", 1);
    expect_same_as_shell(command);
    ASSERT_EQ(symlink(dir.path().c_str(), (dir / "alias").c_str()), 0);
    setenv("PWD", (dir / "alias").c_str(), 1);
    expect_same_as_shell(command);
    unsetenv("PWD");
    expect_same_as_shell(command);
    unsetenv("RYN_PROBE_GONE");
    unsetenv("RYN_PROBE_REPLACED");
}

TEST(CommandOutput, ShellTakesOverWhenTheProgramCannotStart) {
    ryn_test::TempDir dir;
    ryn::ProbeCommand command;
    command.shell_text = "echo through the shell; exit 3";
    command.args = {dir / "missing"};
    Finished done = run(command);
    EXPECT_EQ(done.output, "through the shell\n");
    ASSERT_TRUE(WIFEXITED(done.status));
    EXPECT_EQ(WEXITSTATUS(done.status), 3);

    // A script without a first line naming its interpreter runs only
    // through the shell.
    const std::string script = dir / "script";
    ryn_test::write_file(script, "echo script ran\n");
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    command.args = {script};
    command.shell_text = script;
    EXPECT_EQ(run(command).output, "script ran\n");

    // The shell's complaint about a missing program goes where the shell
    // sent it: here into the pipe through the command's own redirection.
    command.args = {dir / "missing"};
    command.merge_stderr = true;
    command.shell_text = "'" + dir / "missing" + "' 2>&1";
    done = run(command);
    EXPECT_NE(done.output.find("not found"), std::string::npos) << done.output;
    EXPECT_EQ(WEXITSTATUS(done.status), 127);
}

TEST(CommandOutput, MergedStandardErrorReachesThePipe) {
    ryn::ProbeCommand command;
    command.args = {"/bin/sh", "-c", "echo out; echo err >&2; exit 5"};
    command.merge_stderr = true;
    command.shell_text = "false";
    const Finished done = run(command);
    EXPECT_EQ(done.output, "out\nerr\n");
    EXPECT_EQ(WEXITSTATUS(done.status), 5);
}

}  // namespace
