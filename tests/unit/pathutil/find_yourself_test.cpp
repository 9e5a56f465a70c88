#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "ryn/pathutil.h"
#include "support/test_support.h"

namespace {

// The executable directory is remembered for the life of the process, so
// every scenario runs in a fresh child and reports back as text.
std::string in_child(const std::function<std::string()>& scenario) {
    int fds[2];
    if (pipe(fds) != 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return "";
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const std::string report = scenario();
        const ssize_t written = write(fds[1], report.data(), report.size());
        _exit(written == static_cast<ssize_t>(report.size()) ? 0 : 1);
    }
    close(fds[1]);
    std::string report;
    char buffer[512];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0) {
        report.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "scenario failed";
    return report;
}

std::string describe(const char* found) {
    return found ? std::string(found) : "null: " + std::string(strerror(errno));
}

std::string text(const char* value) { return value ? value : "(null)"; }

void enter(const std::string& cwd, const char* path, const char* pwd) {
    if (chdir(cwd.c_str()) != 0) {
        _exit(2);
    }
    path ? setenv("PATH", path, 1) : unsetenv("PATH");
    pwd ? setenv("PWD", pwd, 1) : unsetenv("PWD");
}

// Finds `name` from `cwd` with the given PATH (null: unset).
std::string find(const std::string& name, const std::string& cwd, const char* path,
                 const char* working = nullptr) {
    return in_child([&] {
        enter(cwd, path, nullptr);
        return describe(fyuFindExecDir(name.c_str(), working));
    });
}

void make_tool(const std::string& path, mode_t mode = 0755) {
    ryn_test::write_file(path, "#!/bin/sh\n");
    chmod(path.c_str(), mode);
}

class FindExecDir : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ryn_test::run_shell("cd '" + dir.path() + "' && mkdir work bin other").status, 0);
        ASSERT_EQ(symlink("work", (dir / "worklink").c_str()), 0);
    }
    ryn_test::TempDir dir;
};

TEST_F(FindExecDir, SearchesPathInOrderWithAnEmptyElementMeaningTheWorkingDirectory) {
    make_tool(dir / "bin/tool");
    const std::string path = "/nonexistent::" + dir / "bin";
    EXPECT_EQ(find("tool", dir / "work", path.c_str()), dir / "bin");
    make_tool(dir / "work/tool");
    EXPECT_EQ(find("tool", dir / "work", path.c_str()), dir / "work");
    // A trailing empty element is tried too; a relative one counts from the
    // working directory.
    EXPECT_EQ(find("tool", dir / "work", "/nonexistent:"), dir / "work");
    EXPECT_EQ(find("tool", dir / "work", "/nonexistent:../bin"), dir / "work/../bin");
    // Without PATH the working directory is searched.
    EXPECT_EQ(find("tool", dir / "work", nullptr), dir / "work");
    EXPECT_EQ(find("tool", dir / "work", ""), dir / "work");
    EXPECT_EQ(find("tool", dir / "bin", "/nonexistent"), "null: No such file or directory");
}

TEST_F(FindExecDir, SkipsDirectoriesAndFilesWithoutTheOwnersExecuteBit) {
    ASSERT_EQ(mkdir((dir / "bin/tool").c_str(), 0755), 0);
    make_tool(dir / "work/tool", 0611);
    make_tool(dir / "other/tool", 0744);
    const std::string path = dir / "bin:" + dir / "work:" + dir / "other";
    EXPECT_EQ(find("tool", dir.path(), path.c_str()), dir / "other");
    EXPECT_EQ(find("tool", dir / "work", nullptr), "null: Permission denied");
}

TEST_F(FindExecDir, NamesWithASlashAreNotSearchedAlongPath) {
    make_tool(dir / "bin/tool");
    make_tool(dir / "work/tool");
    EXPECT_EQ(find("bin/tool", dir.path(), "/nonexistent"), dir / "bin");
    EXPECT_EQ(find("./tool", dir / "work", "/nonexistent"), dir / "work");
    EXPECT_EQ(find(dir / "bin/tool", dir / "work", "/nonexistent"), dir / "bin");
    EXPECT_EQ(find("/" + dir / "bin/tool//", dir / "work", "/nonexistent"), dir / "bin");
    EXPECT_EQ(find("", dir / "work", "/nonexistent"), "null: Invalid argument");
}

TEST_F(FindExecDir, FollowsSymbolicLinksToTheRealExecutable) {
    make_tool(dir / "bin/tool");
    ASSERT_EQ(symlink("../bin/tool", (dir / "other/rel").c_str()), 0);
    ASSERT_EQ(symlink((dir / "bin/tool").c_str(), (dir / "other/abs").c_str()), 0);
    ASSERT_EQ(symlink("rel", (dir / "other/chain").c_str()), 0);
    const std::string path = dir / "other";
    EXPECT_EQ(find("rel", dir.path(), path.c_str()), dir / "other/../bin");
    EXPECT_EQ(find("abs", dir.path(), path.c_str()), dir / "bin");
    EXPECT_EQ(find("chain", dir.path(), path.c_str()), dir / "other/../bin");

    ASSERT_EQ(symlink("loop2", (dir / "other/loop1").c_str()), 0);
    ASSERT_EQ(symlink("loop1", (dir / "other/loop2").c_str()), 0);
    EXPECT_EQ(find("loop1", dir.path(), path.c_str()), "null: Too many levels of symbolic links");
}

TEST_F(FindExecDir, TheGivenWorkingDirectoryIsUsedOnlyWhenItNamesTheCurrentOne) {
    make_tool(dir / "work/tool");
    const std::string link = dir / "worklink";
    EXPECT_EQ(find("./tool", dir / "work", "", link.c_str()), link);
    EXPECT_EQ(find("./tool", dir / "work", "", (dir / "other").c_str()), dir / "work");
    EXPECT_EQ(find("./tool", dir / "work", "", "worklink"), dir / "work");
    // Without one, a PWD that names the current directory keeps its spelling.
    EXPECT_EQ(in_child([&] {
                  enter(dir / "work", "", link.c_str());
                  return describe(fyuFindExecDir("tool", nullptr));
              }),
              link);
}

TEST_F(FindExecDir, TheDirectoryFoundIsKeptForTheProcess) {
    make_tool(dir / "bin/tool");
    const std::string report = in_child([&] {
        enter(dir / "work", (dir / "bin").c_str(), nullptr);
        std::string lines = text(fyuGetExecDir()) + "|" + text(fyuGetCmdName()) + "\n";
        lines += describe(fyuFindExecDir("nothing-by-this-name", nullptr)) + "\n";
        lines += text(fyuGetExecDir()) + "\n";
        lines += describe(fyuFindExecDir("tool", nullptr)) + "\n";
        lines += describe(fyuFindExecDir("nothing-by-this-name", nullptr)) + "\n";
        lines += text(fyuGetExecDir()) + "|" + text(fyuGetCmdName()) + "\n";
        return lines;
    });
    const std::string bin = dir / "bin";
    EXPECT_EQ(report, "(null)|(null)\nnull: No such file or directory\n(null)\n" + bin + "\n" +
                          bin + "\n" + bin + "|tool\n");
}

TEST_F(FindExecDir, WorkingDirectoryFollowsChdirAndKeepsPwdCurrent) {
    const std::string link = dir / "worklink";
    const std::string report = in_child([&] {
        enter(dir / "work", "", link.c_str());
        std::string lines;
        for (const std::string& path : {std::string("."), link, dir / "other", dir / "missing"}) {
            lines += std::to_string(fyuIscwd(path.c_str())) + " ";
        }
        lines += "\n";
        lines += text(fyuGetWorkingDir()) + "\n";
        // Each step on its own: the operands of + are not evaluated in order.
        const int to_other = fyuChdir((dir / "other").c_str());
        lines += std::to_string(to_other) + " " + text(fyuGetWorkingDir()) + " " +
                 text(getenv("PWD")) + "\n";
        const char* earlier = getenv("PWD");
        const int to_link = fyuChdir(link.c_str());
        lines += std::to_string(to_link) + " " + text(fyuGetWorkingDir()) + " " +
                 text(getenv("PWD")) + "\n";
        // The assignment the environment held before is left intact.
        lines += text(earlier) + "\n";
        lines += std::to_string(fyuChdir((dir / "missing").c_str())) + "\n";
        fyuSaveWorkingDir("/saved");
        lines += text(fyuGetWorkingDir()) + "\n";
        return lines;
    });
    const std::string other = dir / "other";
    const std::string work = dir / "work";
    EXPECT_EQ(report, "1 1 0 -1 \n" + link + "\n0 " + other + " " + other + "\n0 " + work + " " +
                          work + "\n" + other + "\n-1\n/saved\n");
}

TEST_F(FindExecDir, WithoutPwdTheWorkingDirectoryComesFromTheSystem) {
    const std::string report = in_child([&] {
        enter(dir / "worklink", "", nullptr);
        return text(fyuGetWorkingDir()) + " " + text(getenv("PWD"));
    });
    EXPECT_EQ(report, dir / "work" + " (null)");
}

}  // namespace
