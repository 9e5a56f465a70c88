// Cross-process file locks with real processes: waiting, stale locks, signals
// and the two schemes.
#include <signal.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ryn/exec_util.h"
#include "support/test_support.h"
#include "unit/ryn_util/lock_test_helpers.h"

using namespace ryn_test;
using std::chrono::steady_clock;
using Names = std::vector<std::string>;

namespace {

const char* k_record_scheme = "__RYN_FCNTL_FILE_LOCK__";

// Runs inside the child that the stale-lock test starts under a shifted clock.
TEST(LockHelper, DISABLED_TakeStaleLockAtOnce) {
    const char* path = getenv("RYN_LOCK_HELPER_PATH");
    if (path == nullptr) {
        GTEST_SKIP() << "only run as a child of StaleLockFileIsTakenOverAtOnce";
    }
    ExecUtil util("ryn");
    const auto start = steady_clock::now();
    const int fd = util.acquire_lock_file(path, false);
    // Anything but a takeover would sleep at least a second first.
    EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_TRUE(held_by(path, getpid()));
    util.release_lock_file(fd, path);
}

class BothSchemes : public ::testing::TestWithParam<bool> {
protected:
    bool record_scheme() const { return GetParam(); }
    ScopedEnv scheme_{k_record_scheme, GetParam() ? "1" : nullptr};
};

TEST_P(BothSchemes, SecondProcessWaitsUntilTheFirstReleases) {
    TempDir dir;
    const std::string path = dir / "prog";
    const std::string released = dir / "released";
    Pipe holding;
    const pid_t holder = fork();
    if (holder == 0) {
        ExecUtil util("holder");
        const int fd = util.acquire_lock_file(path.c_str(), false);
        holding.notify();
        usleep(1500000);
        write_file(released, "");
        util.release_lock_file(fd, path.c_str());
        _exit(fd >= 0 ? 0 : 1);
    }
    ASSERT_TRUE(holding.wait());

    ExecUtil util("ryn");
    testing::internal::CaptureStderr();
    const int fd = util.acquire_lock_file(path.c_str(), false);
    EXPECT_TRUE(exists(released)) << "the lock was taken while the holder still had it";
    EXPECT_EQ(wait_for(holder), 0);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(record_scheme() || held_by(path, getpid()));
    util.release_lock_file(fd, path.c_str());
    // A live holder's lock is waited for: no stale-lock warning, no failure.
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(lock_files_in(dir.path()), record_scheme() ? Names{"prog.lock"} : Names{});
}

TEST_P(BothSchemes, LockingInAMissingDirectoryCreatesIt) {
    TempDir dir;
    const std::string path = dir / "new/sub/prog";
    ExecUtil util("ryn");
    const int fd = util.acquire_lock_file(path.c_str(), false);
    EXPECT_GE(fd, 0);
    EXPECT_TRUE(exists(path + (record_scheme() ? ".lock" : ".link.lock")));
    util.release_lock_file(fd, path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Locks, BothSchemes, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "record" : "link"; });

TEST(LinkLocks, StaleLockFileIsTakenOverAtOnce) {
    ASSERT_EQ(run_shell("command -v faketime").status, 0) << "the faketime package is missing";
    TempDir dir;
    const std::string path = dir / "prog";
    // Left behind by a holder that died without cleaning up; the child's clock
    // runs 300 s ahead, so the file looks older than the 180 s limit.
    write_file(path + ".link.lock", "");
    const RunResult child = run(
        {"faketime", "-f", "+300s", std::filesystem::read_symlink("/proc/self/exe").string(),
         "--gtest_filter=LockHelper.DISABLED_TakeStaleLockAtOnce", "--gtest_also_run_disabled_tests"},
        {"RYN_LOCK_HELPER_PATH=" + path, "NO_FAKE_STAT=1", "ASAN_OPTIONS=verify_asan_link_order=0"});
    EXPECT_EQ(child.status, 0) << child.out << child.err;
    EXPECT_NE(child.out.find("[  PASSED  ] 1 test"), std::string::npos) << child.out;
    EXPECT_NE(child.err.find("ryn (warning): Deleting possible stale lock file " + path +
                             ".link.lock\n\n"),
              std::string::npos)
        << child.err;
    EXPECT_EQ(lock_files_in(dir.path()), Names{});
}

TEST(LinkLocks, HolderKilledBySigtermLeavesNoLockFiles) {
    TempDir dir;
    const std::string path = dir / "prog";
    Pipe holding;
    const pid_t holder = fork();
    if (holder == 0) {
        ExecUtil util("ryn");
        util.setup_handler();
        util.acquire_lock_file(path.c_str(), false);
        holding.notify();
        for (;;) {
            pause();
        }
    }
    ASSERT_TRUE(holding.wait());
    EXPECT_TRUE(held_by(path, holder));
    kill(holder, SIGTERM);
    EXPECT_EQ(wait_for(holder), 128 + SIGTERM);
    EXPECT_EQ(lock_files_in(dir.path()), Names{});
}

// The clean-up of a process that waits for a lock removes its own process
// file and never the holder's lock file.
TEST(LinkLocks, WaiterKilledBySigtermLeavesTheHoldersLockAlone) {
    TempDir dir;
    const std::string path = dir / "prog";
    Pipe holding, finish;
    const pid_t holder = fork();
    if (holder == 0) {
        ExecUtil util("holder");
        const int fd = util.acquire_lock_file(path.c_str(), false);
        holding.notify();
        finish.wait();
        util.release_lock_file(fd, path.c_str());
        _exit(0);
    }
    ASSERT_TRUE(holding.wait());
    const pid_t waiter = fork();
    if (waiter == 0) {
        ExecUtil util("waiter");
        util.setup_handler();
        util.acquire_lock_file(path.c_str(), false);
        _exit(3);
    }
    for (int tries = 0; tries < 500 && !exists(process_file(path, waiter)); ++tries) {
        usleep(20000);
    }
    kill(waiter, SIGTERM);
    EXPECT_EQ(wait_for(waiter), 128 + SIGTERM);
    EXPECT_FALSE(exists(process_file(path, waiter)));
    EXPECT_TRUE(held_by(path, holder));

    finish.notify();
    EXPECT_EQ(wait_for(holder), 0);
    EXPECT_EQ(lock_files_in(dir.path()), Names{});
}

TEST(LockFailures, UnwritableDirectoryWarnsAndGivesNoLock) {
    TempDir dir;
    chmod(dir.path().c_str(), 0755);
    const std::string path = dir / "ro/prog";
    ASSERT_EQ(mkdir((dir / "ro").c_str(), 0555), 0);

    const ChildResult link = in_child(
        [&] {
            ExecUtil util("ryn");
            return util.acquire_lock_file(path.c_str(), false) == -1 && util.locked_files.empty()
                       ? 0
                       : 1;
        },
        true);
    EXPECT_EQ(link.status, 0);
    EXPECT_EQ(link.err, "ryn (warning): RYN file access error: " + process_file(path, link.pid) + "\n");

    const ChildResult record = in_child(
        [&] {
            ScopedEnv scheme(k_record_scheme, "");
            ExecUtil util("ryn");
            return util.acquire_lock_file(path.c_str(), true) == -1 ? 0 : 1;
        },
        true);
    EXPECT_EQ(record.status, 0);
    EXPECT_EQ(record.err, "ryn (warning): Process " + std::to_string(record.pid) +
                              ": Lock failed on " + path +
                              ".lock. Skipping file lock. Multiprocess environment could lead to "
                              "bad runs\n\n");
}

TEST(LockFailures, ReleaseWarnsWhenItCannotUndoTheLock) {
    TempDir dir;
    const std::string path = dir / "prog";
    ExecUtil util("ryn");
    const int fd = util.acquire_lock_file(path.c_str(), false);
    unlink((path + ".link.lock").c_str());
    testing::internal::CaptureStderr();
    util.release_lock_file(fd, path.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ryn (warning): unlink() failed for " + path + ".link.lock\n\n");
    EXPECT_EQ(lock_files_in(dir.path()), Names{});

    ScopedEnv scheme(k_record_scheme, "1");
    testing::internal::CaptureStderr();
    util.release_lock_file(-1, path.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ryn (warning): Process " + std::to_string(getpid()) + ": Unlock failed on " + path +
                  ". Continuing.. Multiprocess environment could lead to bad runs\n\n");
}

// What another process can take on the record-lock file right now:
// 2 a write lock, 0 only a read lock, 1 nothing.
int others_access(const std::string& lock_file) {
    return in_child([&] {
               const int fd = open(lock_file.c_str(), O_RDWR);
               struct flock lock {};
               lock.l_type = F_WRLCK;
               if (fcntl(fd, F_SETLK, &lock) == 0) {
                   return 2;
               }
               lock.l_type = F_RDLCK;
               return fcntl(fd, F_SETLK, &lock) == 0 ? 0 : 1;
           })
        .status;
}

TEST(RecordLocks, SharedAndExclusiveLocksOnAFileThatStays) {
    TempDir dir;
    const std::string path = dir / "prog";
    ScopedEnv scheme(k_record_scheme, "1");
    ExecUtil util("ryn");
    util.very_verbose = true;
    const std::string process = "Process " + std::to_string(getpid());

    testing::internal::CaptureStderr();
    const int shared = util.acquire_lock_file(path.c_str(), true);
    EXPECT_EQ(others_access(path + ".lock"), 0);
    util.release_lock_file(shared, path.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              process + " acquiring lock on file " + path + "\n" + process +
                  " acquired lock on file " + path + "\n" + process + " releasing lock on file " +
                  path + "\n" + process + " released lock on file " + path + "\n");

    util.very_verbose = false;
    const int exclusive = util.acquire_lock_file(path.c_str(), false);
    EXPECT_EQ(others_access(path + ".lock"), 1);
    util.release_lock_file(exclusive, path.c_str());
    EXPECT_EQ(others_access(path + ".lock"), 2);
    EXPECT_EQ(lock_files_in(dir.path()), Names{"prog.lock"});
    EXPECT_TRUE(util.locked_files.empty());

    errno = 0;
    EXPECT_EQ(util.retry_lockf_op(exclusive, 2, false), -1);
    EXPECT_EQ(errno, EINVAL);
}

}  // namespace
