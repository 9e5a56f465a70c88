#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "ryn/exec_util.h"
#include "support/test_support.h"

using namespace ryn;

namespace {

using testing::ExitedWithCode;

struct stat stat_of(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info;
}

TEST(CopyCommand, CopiesTreesKeepingModesAndTimesOrEndsTheRun) {
    ryn_test::TempDir dir;
    ExecUtil util("ryn");
    util.create_directory((dir / "tree/sub").c_str());
    ryn_test::write_file(dir / "tree/sub/prog", "binary");
    chmod((dir / "tree/sub/prog").c_str(), 0750);
    const struct timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
    utimensat(AT_FDCWD, (dir / "tree/sub/prog").c_str(), old_times, 0);
    util.cp_command((dir / "tree").c_str(), (dir / "copy").c_str());
    EXPECT_EQ(ryn_test::read_file(dir / "copy/sub/prog"), "binary");
    EXPECT_EQ(stat_of(dir / "copy/sub/prog").st_mode & 07777, 0750u);
    EXPECT_EQ(stat_of(dir / "copy/sub/prog").st_mtime, 1000000000);

    EXPECT_EXIT(util.cp_command((dir / "missing").c_str(), (dir / "to").c_str()), ExitedWithCode(1),
                "^/bin/cp: ");
}

TEST(CreateDirectory, MakesEveryMissingComponentOrStopsTheRun) {
    ryn_test::TempDir dir;
    ExecUtil util("ryn");
    const mode_t previous = umask(022);
    util.create_directory((dir / "a/b//c/").c_str());
    umask(previous);
    for (const char* part : {"a", "a/b", "a/b/c"}) {
        EXPECT_EQ(stat_of(dir / part).st_mode, S_IFDIR | 0755) << part;
    }
    util.create_directory((dir / "a/b").c_str());
    ryn_test::write_file(dir / "file", "");
    const std::string below = dir / "file/sub";
    EXPECT_EXIT(util.create_directory(below.c_str()), ExitedWithCode(1),
                testing::Eq("ryn (error): mkdirp() call failed on " + below + "\n"));
}

TEST(MakeFullPath, ResolvesEveryLinkOrStopsTheRun) {
    ryn_test::TempDir dir;
    ExecUtil util("ryn");
    ASSERT_EQ(symlink(dir.path().c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (dir / "dangling").c_str()), 0);
    EXPECT_EQ(util.make_full_path((dir / "link/link/.//link/").c_str()), dir.path());
    const std::string dangling = dir / "dangling";
    EXPECT_EXIT(util.make_full_path(dangling.c_str()), ExitedWithCode(1),
                testing::Eq("ryn (error): cannot resolve pathname " + dangling +
                            " (errno = 2) No such file or directory\n"));
}

}  // namespace
