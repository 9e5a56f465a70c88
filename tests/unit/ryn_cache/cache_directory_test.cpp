// Which directory a run uses as its cache, and refusing one that belongs to
// someone else.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "ryn/exec_util.h"
#include "ryn/ryn_cache.h"
#include "support/test_support.h"

namespace {

using namespace ryn_test;

constexpr uid_t k_other_uid = 54321;

bool is_directory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class CacheDirectory : public ::testing::Test {
protected:
    std::string base_of(const char* dir, bool use_home, const char* kind) {
        const RynCache cache(dir, use_home, kind, false, &util, nullptr);
        return cache.base;
    }

    ExecUtil util{"ryn"};
    TempDir dir;
    ScopedChdir in_dir{dir.path()};
    ScopedEnv no_env_cache{"QVEN_RYN_CACHE_DIR", nullptr};
};

TEST_F(CacheDirectory, EnvironmentBeatsOptionAndIsMadeAbsolute) {
    const ScopedEnv env("QVEN_RYN_CACHE_DIR", "rel/cache");
    EXPECT_EQ(base_of((dir / "option").c_str(), false, "count"), dir / "rel/cache/count");
    EXPECT_TRUE(is_directory(dir / "rel/cache"));
    EXPECT_FALSE(exists(dir / "option"));
    // Nothing is stored under the base path itself.
    EXPECT_FALSE(exists(dir / "rel/cache/count"));
}

TEST_F(CacheDirectory, OptionDirectoryIsCreatedAndNotCheckedForOwner) {
    const std::string chosen = dir / "a/b";
    ASSERT_EQ(mkdir((dir / "a").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(chosen.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((chosen + "/memvex").c_str(), 0755), 0);
    if (geteuid() == 0) {
        // A directory named on purpose may be shared with other users.
        ASSERT_EQ(chown((chosen + "/memvex").c_str(), k_other_uid, k_other_uid), 0);
    }
    EXPECT_EQ(base_of("a/b", true, "memvex"), chosen + "/memvex");

    EXPECT_EQ(base_of("new/dir", false, "count"), dir / "new/dir/count");
    EXPECT_TRUE(is_directory(dir / "new/dir"));
}

TEST_F(CacheDirectory, GeneralFrontEndUsesTheCurrentDirectory) {
    EXPECT_EQ(base_of(nullptr, false, "count"), dir / "QVEN_Ryn_Cache/count");
    EXPECT_TRUE(is_directory(dir / "QVEN_Ryn_Cache"));
}

TEST_F(CacheDirectory, MemoryCheckerUsesThePasswordEntryNotHome) {
    const ScopedEnv home("HOME", (dir / "elsewhere").c_str());
    const passwd* entry = getpwuid(getuid());
    ASSERT_NE(entry, nullptr);
    const std::string pw_home = entry->pw_dir;
    struct stat st {};
    if (stat(pw_home.c_str(), &st) != 0 || st.st_uid != getuid()) {
        GTEST_SKIP() << "the password entry's home directory is not ours";
    }
    const bool existed = exists(pw_home + "/QVEN_Ryn_Cache");

    testing::internal::CaptureStderr();
    EXPECT_EQ(base_of(nullptr, true, "memvex"), pw_home + "/QVEN_Ryn_Cache/memvex");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    // Made with the first target's directory, not before.
    EXPECT_EQ(exists(pw_home + "/QVEN_Ryn_Cache"), existed);
    EXPECT_FALSE(exists(dir / "elsewhere"));
}

TEST_F(CacheDirectory, UserWithoutUsableHomeFallsBackUnderTmp) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as a user without a password entry";
    }
    if (getpwuid(k_other_uid)) {
        GTEST_SKIP() << "uid " << k_other_uid << " has a password entry here";
    }
    EXPECT_EXIT(
        {
            if (setuid(k_other_uid) != 0) {
                exit(3);
            }
            fputs(base_of(nullptr, true, "memvex").c_str(), stderr);
            exit(0);
        },
        ::testing::ExitedWithCode(0),
        "^warning: Cannot create cache directory in \\$HOME\n/tmp/54321/QVEN_Ryn_Cache/memvex$");
}

TEST_F(CacheDirectory, BaseOwnedByAnotherUserEndsTheRun) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a directory away";
    }
    ASSERT_EQ(mkdir((dir / "QVEN_Ryn_Cache").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "QVEN_Ryn_Cache/count").c_str(), 0755), 0);
    ASSERT_EQ(chown((dir / "QVEN_Ryn_Cache/count").c_str(), k_other_uid, k_other_uid), 0);
    EXPECT_EXIT(base_of(nullptr, false, "count"), ::testing::ExitedWithCode(1),
                "^ryn \\(error\\): Cache directory is owned by another user: fatal error: \n$");
    // Another kind in the same directory is ours.
    EXPECT_EQ(base_of(nullptr, false, "memvex"), dir / "QVEN_Ryn_Cache/memvex");
}

}  // namespace
