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

TEST(CreateDirectory, MakesEveryMissingComponentAndAcceptsExistingOnes) {
    ryn_test::TempDir dir;
    ExecUtil util("ryn");
    const mode_t previous = umask(022);
    util.create_directory((dir / "a/b//c/").c_str());
    umask(previous);
    for (const char* part : {"a", "a/b", "a/b/c"}) {
        EXPECT_EQ(stat_of(dir / part).st_mode, S_IFDIR | 0755) << part;
    }
    util.create_directory((dir / "a/b").c_str());
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
