// Cross-process file locks with real processes: waiting, stale locks,
// clean-up on signals, and the record-lock scheme's lasting lock file.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ryn/exec_util.h"
#include "support/test_support.h"

using namespace ryn;

using namespace ryn_test;
using Names = std::vector<std::string>;

namespace {

// Forks a process that locks `path` and returns once it holds the lock. It
// keeps the lock `hold_ms` milliseconds (until a signal when negative), then
// creates path + ".released" and releases the lock.
pid_t holder(const std::string& path, int hold_ms) {
    int ready[2];
    EXPECT_EQ(pipe(ready), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        ExecUtil util("holder");
        util.setup_handler();
        const int fd = util.acquire_lock_file(path.c_str(), false);
        if (write(ready[1], "x", 1) != 1) {
            _exit(2);
        }
        while (hold_ms < 0) {
            pause();
        }
        usleep(hold_ms * 1000);
        write_file(path + ".released", "");
        util.release_lock_file(fd, path.c_str());
        _exit(fd >= 0 ? 0 : 1);
    }
    close(ready[1]);
    char c;
    EXPECT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    return pid;
}

class BothSchemes : public ::testing::TestWithParam<bool> {};

TEST_P(BothSchemes, SecondProcessWaitsUntilTheFirstReleases) {
    const ScopedEnv scheme("__RYN_FCNTL_FILE_LOCK__", GetParam() ? "1" : nullptr);
    TempDir dir;
    // The holder creates the missing directory.
    const std::string path = dir / "sub/prog";
    const pid_t held = holder(path, 1500);

    ExecUtil util("ryn");
    testing::internal::CaptureStderr();
    const int fd = util.acquire_lock_file(path.c_str(), false);
    EXPECT_TRUE(exists(path + ".released")) << "taken while the holder still had it";
    EXPECT_EQ(wait_for(held), 0);
    ASSERT_GE(fd, 0);
    util.release_lock_file(fd, path.c_str());
    // A live holder is waited for: no stale-lock warning, no failure.
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(names_in(dir / "sub", ".lock"), GetParam() ? Names{"prog.lock"} : Names{});
}

INSTANTIATE_TEST_SUITE_P(LinkThenRecord, BothSchemes, ::testing::Bool());

// Runs in the child that StaleLockIsTakenOverAtOnce starts with a clock
// 300 s ahead.
TEST(LockHelper, DISABLED_TakeStaleLock) {
    const char* path = getenv("RYN_LOCK_HELPER_PATH");
    ASSERT_NE(path, nullptr);
    ExecUtil util("ryn");
    const auto start = std::chrono::steady_clock::now();
    const int fd = util.acquire_lock_file(path, false);
    // Waiting would have slept a second at least.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    // The lock file is now a second name of this process's own file.
    struct stat st {};
    EXPECT_TRUE(lstat((std::string(path) + ".link.lock").c_str(), &st) == 0 && st.st_nlink == 2);
    util.release_lock_file(fd, path);
}

TEST(LinkLocks, StaleLockIsTakenOverAtOnce) {
    TempDir dir;
    const std::string path = dir / "prog";
    // Left by a holder that died without cleaning up.
    write_file(path + ".link.lock", "");
    const RunResult child =
        run({"faketime", "-f", "+300s", std::filesystem::read_symlink("/proc/self/exe").string(),
             "--gtest_filter=LockHelper.DISABLED_TakeStaleLock", "--gtest_also_run_disabled_tests"},
            {"RYN_LOCK_HELPER_PATH=" + path, "NO_FAKE_STAT=1",
             "ASAN_OPTIONS=verify_asan_link_order=0"});
    EXPECT_EQ(child.status, 0) << child.out << child.err;
    EXPECT_NE(child.out.find("[  PASSED  ] 1 test"), std::string::npos) << child.out;
    EXPECT_NE(child.err.find("ryn (warning): Deleting possible stale lock file " + path +
                             ".link.lock\n\n"),
              std::string::npos)
        << child.err;
    EXPECT_EQ(names_in(dir.path(), ".lock"), Names{});
}

TEST(LinkLocks, KilledProcessesRemoveTheirOwnLockFilesOnly) {
    TempDir dir;
    const std::string path = dir / "prog";
    const pid_t held = holder(path, -1);
    const Names holders_files = names_in(dir.path(), ".lock");
    ASSERT_EQ(holders_files.size(), 2u);

    const pid_t waiter = fork();
    if (waiter == 0) {
        ExecUtil util("waiter");
        util.setup_handler();
        util.acquire_lock_file(path.c_str(), false);
        _exit(3);
    }
    for (int tries = 0; tries < 500 && names_in(dir.path(), ".lock").size() < 3; ++tries) {
        usleep(20000);
    }
    kill(waiter, SIGTERM);
    EXPECT_EQ(wait_for(waiter), 128 + SIGTERM);
    EXPECT_EQ(names_in(dir.path(), ".lock"), holders_files);

    kill(held, SIGTERM);
    EXPECT_EQ(wait_for(held), 128 + SIGTERM);
    EXPECT_EQ(names_in(dir.path(), ".lock"), Names{});
}

}  // namespace
