#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "ryn/exec_util.h"
#include "support/test_support.h"

namespace {

using testing::ExitedWithCode;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

struct stat status_of(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info;
}

TEST(CopyCommand, KeepsModesAndTimesAndCopiesDirectoriesRecursively) {
    ryn_test::TempDir dir;
    ExecUtil util("ryn");
    const std::string file = dir / "prog";
    ryn_test::write_file(file, "binary");
    chmod(file.c_str(), 0750);
    const struct timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
    utimensat(AT_FDCWD, file.c_str(), old_times, 0);
    util.cp_command(file.c_str(), (dir / "copy").c_str());
    EXPECT_EQ(ryn_test::read_file(dir / "copy"), "binary");
    EXPECT_EQ(status_of(dir / "copy").st_mode & 07777, 0750u);
    EXPECT_EQ(status_of(dir / "copy").st_mtime, 1000000000);

    util.create_directory((dir / "tree/sub").c_str());
    ryn_test::write_file(dir / "tree/sub/leaf", "leaf");
    util.cp_command((dir / "tree").c_str(), (dir / "tree2").c_str());
    EXPECT_EQ(ryn_test::read_file(dir / "tree2/sub/leaf"), "leaf");
}

TEST(CopyCommand, DryRunCopiesNothingAndEchoesOnlyWhenVerbose) {
    ryn_test::TempDir dir;
    ExecUtil util("ryn");
    ryn_test::write_file(dir / "a", "a");
    util.dry_run = true;
    CaptureStderr();
    util.cp_command((dir / "a").c_str(), (dir / "b").c_str());
    util.verbose = true;
    util.cp_command((dir / "a").c_str(), (dir / "b").c_str());
    EXPECT_EQ(GetCapturedStderr(), "/bin/cp -p -r " + (dir / "a") + " " + (dir / "b") + " \n");
    EXPECT_FALSE(ryn_test::exists(dir / "b"));
}

TEST(CopyCommandDeath, AFailingCopyEndsTheRunWithTheCommandsOwnMessage) {
    ryn_test::TempDir dir;
    const std::string temp = dir / "ryn_tmp";
    ryn_test::write_file(temp, "x");
    ExecUtil util("ryn");
    util.temp_files.add_arg(temp);
    const ryn_test::ScopedEnv plain_messages("LC_ALL", "C");
    const std::string missing = dir / "missing";
    EXPECT_EXIT(util.cp_command(missing.c_str(), (dir / "to").c_str()), ExitedWithCode(1),
                testing::MatchesRegex("/bin/cp: cannot stat '" + missing +
                                      "': No such file or directory\n"));
    EXPECT_FALSE(ryn_test::exists(temp));
}

TEST(LinkAndRemoveCommands, MakeASymbolicLinkAndRemoveTrees) {
    ryn_test::TempDir dir;
    ExecUtil util("ryn");
    ryn_test::write_file(dir / "target", "t");
    util.ln_command((dir / "target").c_str(), (dir / "link").c_str());
    EXPECT_TRUE(S_ISLNK(status_of(dir / "link").st_mode));
    EXPECT_EQ(ryn_test::read_file(dir / "link"), "t");

    util.create_directory((dir / "gone/deep").c_str());
    ryn_test::write_file(dir / "gone/deep/f", "f");
    util.rm_command((dir / "gone").c_str());
    EXPECT_FALSE(ryn_test::exists(dir / "gone"));
    // Removing what is not there is no failure ("-f").
    util.rm_command((dir / "gone").c_str());
}

TEST(CreateDirectory, MakesEveryMissingComponentWithMode0755) {
    ryn_test::TempDir dir;
    ExecUtil util("ryn");
    const mode_t previous = umask(022);
    const std::string deep = dir / "a/b//c/";
    util.create_directory(deep.c_str());
    umask(previous);
    for (const char* part : {"a", "a/b", "a/b/c"}) {
        SCOPED_TRACE(part);
        const struct stat info = status_of(dir / part);
        EXPECT_TRUE(S_ISDIR(info.st_mode));
        EXPECT_EQ(info.st_mode & 07777, 0755u);
    }
    // An existing directory is no error, and nothing is printed.
    CaptureStderr();
    util.create_directory(deep.c_str());
    util.create_directory(dir.path().c_str());
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(CreateDirectoryDeath, AParentThatIsARegularFileStopsTheRun) {
    ryn_test::TempDir dir;
    ExecUtil util("ryn");
    ryn_test::write_file(dir / "file", "");
    const std::string below = dir / "file/sub/dir";
    EXPECT_EXIT(util.create_directory(below.c_str()), ExitedWithCode(1),
                testing::Eq("ryn (error): mkdirp() call failed on " + below + "\n"));
}

TEST(MakeFullPath, ResolvesRelativePathsAndSymbolicLinks) {
    ryn_test::TempDir dir;
    ExecUtil util("ryn");
    util.create_directory((dir / "real/sub").c_str());
    ASSERT_EQ(symlink("real/sub", (dir / "link").c_str()), 0);
    EXPECT_EQ(util.make_full_path((dir / "link").c_str()), dir / "real/sub");
    EXPECT_EQ(util.make_full_path((dir / "link/../..//real/./").c_str()), dir / "real");
    const ryn_test::ScopedChdir inside(dir / "real");
    EXPECT_EQ(util.make_full_path("sub"), dir / "real/sub");
    EXPECT_EQ(util.make_full_path("."), dir / "real");
}

TEST(MakeFullPathDeath, UnresolvablePathsStopTheRun) {
    ryn_test::TempDir dir;
    ExecUtil util("ryn");
    const std::string dangling = dir / "dangling";
    ASSERT_EQ(symlink("nowhere", dangling.c_str()), 0);
    EXPECT_EXIT(util.make_full_path(dangling.c_str()), ExitedWithCode(1),
                testing::Eq("ryn (error): cannot resolve pathname " + dangling +
                            " (errno = 2) No such file or directory\n"));
    const std::string loop = dir / "loop";
    ASSERT_EQ(symlink("loop", loop.c_str()), 0);
    EXPECT_EXIT(util.make_full_path(loop.c_str()), ExitedWithCode(1),
                testing::Eq("ryn (error): cannot resolve pathname " + loop +
                            " (errno = 40) Too many levels of symbolic links\n"));
}

}  // namespace
