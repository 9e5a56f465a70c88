// A user's file is replaced in one rename and its original kept beside it
// until the run ends: put back when the run fails, dropped when it succeeds,
// and put back by the next run when the driver was killed outright.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/ryn_util/file_replacement.h"
#include "driver/ryn_util/kept_originals.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

TEST(ReplaceFile, GoesThroughLinksKeepsModeAndTimesAndLeavesNoTemporaryFile) {
    ryn_test::TempDir dir;
    ryn_test::write_file(dir / "new", "instrumented");
    ASSERT_EQ(chmod((dir / "new").c_str(), 0751), 0);
    const struct timespec old_times[2] = {{1000000, 0}, {2000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir / "new").c_str(), old_times, 0), 0);
    ryn_test::write_file(dir / "prog", "original");
    fs::create_symlink(dir / "prog", dir / "link");

    ASSERT_EQ(ryn::replace_file((dir / "new").c_str(), (dir / "link").c_str(), true), 0);
    EXPECT_TRUE(fs::is_symlink(dir / "link"));
    EXPECT_EQ(ryn_test::read_file(dir / "prog"), "instrumented");
    struct stat st {};
    ASSERT_EQ(stat((dir / "prog").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0751u);
    EXPECT_EQ(st.st_mtim.tv_sec, 2000000);
    EXPECT_EQ(ryn_test::names_in(dir.path(), ".ryn-"), std::vector<std::string>{});
}

TEST(ReplaceFile, CopiesEveryByteWhateverTheKernelOffers) {
    ryn_test::TempDir dir;
    // Not a whole number of blocks or buffers, and distinct in every block.
    std::string bytes;
    for (size_t i = 0; bytes.size() < (3u << 20) + 17; ++i) {
        bytes += std::to_string(i * 7919) + ",";
    }
    ryn_test::write_file(dir / "big", bytes);
    ASSERT_EQ(ryn::replace_file((dir / "big").c_str(), (dir / "copy").c_str(), true), 0);
    EXPECT_EQ(ryn_test::read_file(dir / "copy"), bytes);

    // Another file system, where the kernel may refuse to copy or clone.
    if (fs::is_directory("/dev/shm")) {
        const std::string other = "/dev/shm/ryn-replace-" + std::to_string(getpid());
        EXPECT_EQ(ryn::replace_file((dir / "big").c_str(), other.c_str(), true), 0);
        EXPECT_EQ(ryn_test::read_file(other), bytes);
        unlink(other.c_str());
    }

    // A file whose size says nothing about its content.
    ASSERT_EQ(ryn::replace_file("/proc/self/status", (dir / "status").c_str(), false), 0);
    EXPECT_EQ(ryn_test::read_file(dir / "status").rfind("Name:", 0), 0u);
}

TEST(ReplaceFile, AFailedReplacementLeavesTheFileAsItWas) {
    ryn_test::TempDir dir;
    ryn_test::write_file(dir / "prog", "original");
    EXPECT_EQ(ryn::replace_file((dir / "missing").c_str(), (dir / "prog").c_str(), true), ENOENT);
    EXPECT_EQ(ryn_test::read_file(dir / "prog"), "original");
    ryn_test::write_file(dir / "new", "instrumented");
    EXPECT_EQ(ryn::replace_file((dir / "new").c_str(), (dir / "no/such/prog").c_str(), true),
              ENOENT);
    EXPECT_EQ(ryn_test::names_in(dir.path(), ".ryn-"), std::vector<std::string>{});
}

TEST(KeptOriginals, FailedRunGetsTheOriginalBackAndASuccessfulOneKeepsTheReplacement) {
    ryn_test::TempDir dir;
    ryn_test::write_file(dir / "new", "instrumented");
    ryn_test::write_file(dir / "lib", "original");
    ryn_test::write_file(dir / "other", "other original");

    ASSERT_EQ(ryn::keep_original((dir / "lib").c_str(), false), 0);
    ASSERT_EQ(ryn::replace_file((dir / "new").c_str(), (dir / "lib").c_str(), true), 0);
    // Kept but never replaced: putting back must not leave the second name.
    ASSERT_EQ(ryn::keep_original((dir / "other").c_str(), false), 0);
    ryn::put_back_all_kept();
    EXPECT_EQ(ryn_test::read_file(dir / "lib"), "original");
    EXPECT_EQ(ryn_test::read_file(dir / "other"), "other original");
    EXPECT_TRUE(ryn::was_put_back((dir / "lib").c_str()));
    EXPECT_EQ(ryn_test::names_in(dir.path(), ".ryn-"), std::vector<std::string>{});

    ASSERT_EQ(ryn::keep_original((dir / "lib").c_str(), false), 0);
    ASSERT_EQ(ryn::replace_file((dir / "new").c_str(), (dir / "lib").c_str(), true), 0);
    ryn::drop_all_kept();
    EXPECT_EQ(ryn_test::read_file(dir / "lib"), "instrumented");
    EXPECT_FALSE(ryn::put_back_kept((dir / "lib").c_str()));
    EXPECT_EQ(ryn_test::names_in(dir.path(), ".ryn-"), std::vector<std::string>{});
}

TEST(KeptOriginals, ACopyKeepsTheOriginalOfAFileRewrittenInItsOwnInode) {
    ryn_test::TempDir dir;
    ryn_test::write_file(dir / "prog", "original");
    ASSERT_EQ(ryn::keep_original((dir / "prog").c_str(), true), 0);
    ryn_test::write_file(dir / "prog", "half wri");  // same inode, truncated
    EXPECT_TRUE(ryn::put_back_kept((dir / "prog").c_str()));
    EXPECT_EQ(ryn_test::read_file(dir / "prog"), "original");
    EXPECT_EQ(ryn_test::names_in(dir.path(), ".ryn-"), std::vector<std::string>{});
}

TEST(KeptOriginals, LeftoversOfAKilledRunAreUndoneButThoseOfALiveOneStay) {
    ryn_test::TempDir dir;
    const std::string dead = ryn_test::host_name() + "." + std::to_string(ryn_test::dead_pid());
    ryn_test::write_file(dir / "prog", "instrumented");
    ryn_test::write_file(dir / (".prog.ryn-saved." + dead), "original");
    ryn_test::write_file(dir / (".prog.ryn-new." + dead + ".Ab12Cd"), "half");
    EXPECT_TRUE(ryn::recover_interrupted_replacement((dir / "prog").c_str()));
    EXPECT_EQ(ryn_test::read_file(dir / "prog"), "original");
    EXPECT_EQ(ryn_test::names_in(dir.path(), ".ryn-"), std::vector<std::string>{});

    // A driver still running (here: our parent) or on another host owns its files.
    const std::string live =
        ".prog.ryn-saved." + ryn_test::host_name() + "." + std::to_string(getppid());
    const std::string elsewhere =
        ".prog.ryn-saved.other-host." + std::to_string(ryn_test::dead_pid());
    ryn_test::write_file(dir / live, "theirs");
    ryn_test::write_file(dir / elsewhere, "theirs");
    EXPECT_FALSE(ryn::recover_interrupted_replacement((dir / "prog").c_str()));
    EXPECT_EQ(ryn_test::read_file(dir / "prog"), "original");
    EXPECT_EQ(ryn_test::names_in(dir.path(), ".ryn-").size(), 2u);
}

}  // namespace
