// Cross-process file locks: waiting, stale locks, clean-up on signals and at
// exit, and the two schemes, with real processes.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ryn/exec_util.h"
#include "support/test_support.h"
#include "unit/ryn_util/child_process.h"

using namespace ryn_test;
using std::chrono::steady_clock;

namespace {

std::vector<std::string> lock_files_in(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.ends_with(".lock")) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string host_name() {
    char host[HOST_NAME_MAX + 1] = {};
    gethostname(host, sizeof host - 1);
    return host;
}

std::string process_file(const std::string& path, pid_t pid) {
    return path + "." + host_name() + "." + std::to_string(pid) + ".link.lock";
}

bool same_file(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    return lstat(a.c_str(), &sa) == 0 && lstat(b.c_str(), &sb) == 0 && sa.st_ino == sb.st_ino &&
           sa.st_dev == sb.st_dev;
}

// One-shot signalling between a test and its children.
class Pipe {
public:
    Pipe() { EXPECT_EQ(pipe(fds_), 0); }
    ~Pipe() {
        close(fds_[0]);
        close(fds_[1]);
    }
    void notify() { EXPECT_EQ(write(fds_[1], "x", 1), 1); }
    bool wait() {
        char c;
        return read(fds_[0], &c, 1) == 1;
    }

private:
    int fds_[2];
};

int wait_for(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool appears_within(const std::string& path, std::chrono::seconds limit) {
    const auto deadline = steady_clock::now() + limit;
    while (!exists(path)) {
        if (steady_clock::now() > deadline) {
            return false;
        }
        usleep(20000);
    }
    return true;
}

std::string self_executable() {
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

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
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(same_file(std::string(path) + ".link.lock", process_file(path, getpid())));
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
    const bool holder_was_done = exists(released);
    EXPECT_EQ(wait_for(holder), 0);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(holder_was_done) << "the lock was taken while the holder still had it";
    if (!record_scheme()) {
        EXPECT_TRUE(same_file(path + ".link.lock", process_file(path, getpid())));
    }
    util.release_lock_file(fd, path.c_str());
    // A waited-for lock is a live one: no stale-lock warning, no failure.
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(lock_files_in(dir.path()),
              record_scheme() ? std::vector<std::string>{"prog.lock"}
                              : std::vector<std::string>{});
}

TEST_P(BothSchemes, LockingInAMissingDirectoryCreatesIt) {
    TempDir dir;
    const std::string path = dir / "new/sub/prog";
    ExecUtil util("ryn");
    const int fd = util.acquire_lock_file(path.c_str(), false);
    EXPECT_GE(fd, 0);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "new/sub"));
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
    const RunResult child =
        run({"faketime", "-f", "+300s", self_executable(),
             "--gtest_filter=LockHelper.DISABLED_TakeStaleLockAtOnce",
             "--gtest_also_run_disabled_tests"},
            {"RYN_LOCK_HELPER_PATH=" + path, "NO_FAKE_STAT=1",
             "ASAN_OPTIONS=verify_asan_link_order=0"});
    EXPECT_EQ(child.status, 0) << child.out << child.err;
    EXPECT_NE(child.out.find("[  PASSED  ] 1 test"), std::string::npos) << child.out;
    EXPECT_NE(child.err.find("ryn (warning): Deleting possible stale lock file " + path +
                             ".link.lock\n\n"),
              std::string::npos)
        << child.err;
    EXPECT_EQ(lock_files_in(dir.path()), std::vector<std::string>{});
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
    EXPECT_TRUE(same_file(path + ".link.lock", process_file(path, holder)));
    kill(holder, SIGTERM);
    EXPECT_EQ(wait_for(holder), 128 + SIGTERM);
    EXPECT_EQ(lock_files_in(dir.path()), std::vector<std::string>{});
}

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
        _exit(3);  // never reached while the holder holds
    }
    EXPECT_TRUE(appears_within(process_file(path, waiter), std::chrono::seconds(10)));
    kill(waiter, SIGTERM);
    EXPECT_EQ(wait_for(waiter), 128 + SIGTERM);

    EXPECT_FALSE(exists(process_file(path, waiter)));
    EXPECT_TRUE(same_file(path + ".link.lock", process_file(path, holder)));
    finish.notify();
    EXPECT_EQ(wait_for(holder), 0);
    EXPECT_EQ(lock_files_in(dir.path()), std::vector<std::string>{});
}

TEST(LinkLocks, CleanupRemovesOnlyTheLocksThisProcessHolds) {
    TempDir dir;
    const std::string held = dir / "held";
    const std::string given_back = dir / "given_back";
    ExecUtil util("ryn");

    const int held_fd = util.acquire_lock_file(held.c_str(), false);
    const int fd = util.acquire_lock_file(given_back.c_str(), false);
    util.release_lock_file(fd, given_back.c_str());
    // Somebody else takes the path this process locked before.
    Pipe holding, finish;
    const pid_t other = fork();
    if (other == 0) {
        ExecUtil other_util("other");
        const int other_fd = other_util.acquire_lock_file(given_back.c_str(), false);
        holding.notify();
        finish.wait();
        other_util.release_lock_file(other_fd, given_back.c_str());
        _exit(0);
    }
    ASSERT_TRUE(holding.wait());

    util.filelock_cleanup();
    close(held_fd);
    EXPECT_FALSE(exists(held + ".link.lock"));
    EXPECT_FALSE(exists(process_file(held, getpid())));
    EXPECT_TRUE(same_file(given_back + ".link.lock", process_file(given_back, other)));
    EXPECT_EQ(util.locked_files.count, 2);

    finish.notify();
    EXPECT_EQ(wait_for(other), 0);
    EXPECT_EQ(lock_files_in(dir.path()), std::vector<std::string>{});
}

TEST(LockFailures, UnwritableDirectoryWarnsAndGivesNoLock) {
    TempDir dir;
    chmod(dir.path().c_str(), 0755);
    const std::string locked_dir = dir / "ro";
    ASSERT_EQ(mkdir(locked_dir.c_str(), 0555), 0);
    const std::string path = locked_dir + "/prog";

    const ChildResult link = in_child(
        [&] {
            ExecUtil util("ryn");
            const int fd = util.acquire_lock_file(path.c_str(), false);
            return fd == -1 && util.locked_files.empty() ? 0 : 1;
        },
        true);
    EXPECT_EQ(link.status, 0);
    EXPECT_EQ(link.err,
              "ryn (warning): RYN file access error: " + process_file(path, link.pid) + "\n");

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
                              ".lock. Skipping file lock. Multiprocess environment could "
                              "lead to bad runs\n\n");
    EXPECT_EQ(lock_files_in(dir.path()), std::vector<std::string>{});
}

TEST(LockFailures, ReleaseWarnsWhenItCannotUndoTheLock) {
    TempDir dir;
    const std::string path = dir / "prog";
    ExecUtil util("ryn");
    const int fd = util.acquire_lock_file(path.c_str(), false);
    ASSERT_GE(fd, 0);
    unlink((path + ".link.lock").c_str());
    testing::internal::CaptureStderr();
    util.release_lock_file(fd, path.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ryn (warning): unlink() failed for " + path + ".link.lock\n\n");
    // The process file goes all the same.
    EXPECT_EQ(lock_files_in(dir.path()), std::vector<std::string>{});

    ScopedEnv scheme(k_record_scheme, "1");
    testing::internal::CaptureStderr();
    util.release_lock_file(-1, path.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ryn (warning): Process " + std::to_string(getpid()) + ": Unlock failed on " + path +
                  ". Continuing.. Multiprocess environment could lead to bad runs\n\n");
}

// What another process may do to the record-lock file right now: 0 when it
// can take a read lock but not a write lock, 1 when it can take neither, 2
// when it can take a write lock.
int others_access(const std::string& lock_file) {
    return in_child([&] {
               const int fd = open(lock_file.c_str(), O_RDWR);
               struct flock lock {};
               lock.l_whence = SEEK_SET;
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
    const std::string lock_file = path + ".lock";
    ScopedEnv scheme(k_record_scheme, "1");
    ExecUtil util("ryn");
    util.very_verbose = true;
    const std::string pid = std::to_string(getpid());

    testing::internal::CaptureStderr();
    const int shared = util.acquire_lock_file(path.c_str(), true);
    ASSERT_GE(shared, 0);
    EXPECT_EQ(others_access(lock_file), 0);
    util.release_lock_file(shared, path.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Process " + pid + " acquiring lock on file " + path + "\nProcess " + pid +
                  " acquired lock on file " + path + "\nProcess " + pid +
                  " releasing lock on file " + path + "\nProcess " + pid +
                  " released lock on file " + path + "\n");

    util.very_verbose = false;
    const int exclusive = util.acquire_lock_file(path.c_str(), false);
    ASSERT_GE(exclusive, 0);
    EXPECT_EQ(others_access(lock_file), 1);
    util.release_lock_file(exclusive, path.c_str());
    EXPECT_EQ(others_access(lock_file), 2);

    EXPECT_EQ(lock_files_in(dir.path()), std::vector<std::string>{"prog.lock"});
    EXPECT_TRUE(util.locked_files.empty());

    errno = 0;
    EXPECT_EQ(util.retry_lockf_op(exclusive, 2, false), -1);
    EXPECT_EQ(errno, EINVAL);
}

}  // namespace
