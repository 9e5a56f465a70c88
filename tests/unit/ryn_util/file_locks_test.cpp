// Cross-process link locks with real processes: waiting for a live holder
// however old its lock looks, taking over a stale or dead holder's lock by
// exactly one waiter at a time, and judging the owner of a lock.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/ryn_util/lock_owner.h"
#include "ryn/exec_util.h"
#include "support/test_support.h"

using namespace ryn;

using namespace ryn_test;
using Names = std::vector<std::string>;

namespace {

std::string process_file_of(const std::string& path, pid_t pid) {
    return path + "." + host_name() + "." + std::to_string(pid) + ".link.lock";
}

// Forks a process that locks `path` and returns once it holds the lock. It
// keeps the lock `hold_ms` milliseconds (until killed when negative), then
// creates path + ".released" and releases the lock.
pid_t holder(const std::string& path, int hold_ms) {
    int ready[2];
    EXPECT_EQ(pipe(ready), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        ExecUtil util("holder");
        const int fd = util.acquire_lock_file(path.c_str(), false);
        if (fd < 0 || write(ready[1], "x", 1) != 1) {
            _exit(2);
        }
        while (hold_ms < 0) {
            pause();
        }
        usleep(hold_ms * 1000);
        write_file(path + ".released", "");
        util.release_lock_file(fd, path.c_str());
        _exit(0);
    }
    close(ready[1]);
    char c;
    EXPECT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    return pid;
}

// Runs in the child that run_aged starts with a clock 300 s ahead, so that
// every lock present looks stale by its age.
TEST(LockHelper, DISABLED_TakeLockAged) {
    const char* path = getenv("RYN_LOCK_HELPER_PATH");
    ASSERT_NE(path, nullptr);
    ExecUtil util("ryn");
    const int fd = util.acquire_lock_file(path, false);
    ASSERT_GE(fd, 0);
    printf("holder released first: %s\n", exists(std::string(path) + ".released") ? "yes" : "no");
    util.release_lock_file(fd, path);
}

RunResult run_aged(const std::string& path) {
    const RunResult child =
        run({"faketime", "-f", "+300s", std::filesystem::read_symlink("/proc/self/exe").string(),
             "--gtest_filter=LockHelper.DISABLED_TakeLockAged", "--gtest_also_run_disabled_tests"},
            {"RYN_LOCK_HELPER_PATH=" + path, "NO_FAKE_STAT=1",
             "ASAN_OPTIONS=verify_asan_link_order=0"});
    EXPECT_EQ(child.status, 0) << child.out << child.err;
    EXPECT_NE(child.out.find("[  PASSED  ] 1 test"), std::string::npos) << child.out;
    return child;
}

TEST(LinkLocks, AnOldLockIsTakenOverOnlyWhenNoLiveHolderOwnsIt) {
    TempDir dir;
    const std::string path = dir / "prog";
    const pid_t held = holder(path, 3000);
    RunResult child = run_aged(path);
    EXPECT_EQ(wait_for(held), 0);
    EXPECT_NE(child.out.find("holder released first: yes"), std::string::npos) << child.out;
    EXPECT_EQ(child.err.find("stale lock"), std::string::npos) << child.err;
    EXPECT_EQ(names_in(dir.path(), ".link.lock"), Names{});

    // Left by a holder that died without cleaning up.
    write_file(path + ".link.lock", "");
    child = run_aged(path);
    EXPECT_NE(child.err.find("ryn (warning): Deleting possible stale lock file " + path +
                             ".link.lock\n\n"),
              std::string::npos)
        << child.err;
    EXPECT_EQ(names_in(dir.path(), ".lock"), Names{});
}

TEST(LinkLocks, WaitersRacingForADeadHoldersLockHoldItOneAtATime) {
    TempDir dir;
    const std::string path = dir / "prog";
    // Killed without a handler: its lock and process file stay behind.
    const pid_t dead = holder(path, -1);
    kill(dead, SIGKILL);
    ASSERT_EQ(wait_for(dead), 128 + SIGKILL);
    const std::string inside = path + ".inside";

    int go[2];
    ASSERT_EQ(pipe(go), 0);
    std::vector<pid_t> waiters;
    for (int i = 0; i < 4; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            close(go[1]);
            char c;
            ExecUtil util("waiter");
            const int fd =
                read(go[0], &c, 1) == 0 ? util.acquire_lock_file(path.c_str(), false) : -1;
            // Creating the marker fails while another waiter is inside.
            const int marker = open(inside.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
            if (fd < 0 || marker < 0) {
                _exit(6);
            }
            close(marker);
            usleep(200000);
            unlink(inside.c_str());
            util.release_lock_file(fd, path.c_str());
            _exit(0);
        }
        waiters.push_back(pid);
    }
    const auto start = std::chrono::steady_clock::now();
    close(go[0]);
    close(go[1]);  // all waiters start together
    for (const pid_t pid : waiters) {
        EXPECT_EQ(wait_for(pid), 0) << "two holders at once, or no lock";
    }
    // The age rule alone would have kept them waiting for 180 s.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    EXPECT_EQ(names_in(dir.path(), ".link.lock"), Names{});
}

TEST(LinkLocks, OwnerIsJudgedFromTheProcessFileSharingTheLockInode) {
    TempDir dir;
    const std::string path = dir / "prog";
    const std::string lock_file = path + ".link.lock";
    const auto judge = [&] {
        struct stat st {};
        EXPECT_EQ(lstat(lock_file.c_str(), &st), 0);
        return ryn::find_lock_owner(path, st);
    };
    const auto lock_as = [&](const std::string& process_file) {
        unlink(lock_file.c_str());
        write_file(process_file, "");
        ASSERT_EQ(link(process_file.c_str(), lock_file.c_str()), 0);
    };

    // A lock file with no second name cannot be traced to anybody.
    write_file(lock_file, "");
    EXPECT_EQ(judge().state, ryn::OwnerState::unknown);

    // Same host, live process.
    lock_as(process_file_of(path, getpid()));
    EXPECT_EQ(judge().state, ryn::OwnerState::alive);
    EXPECT_EQ(judge().process_file, process_file_of(path, getpid()));

    // A process file older than the process now running under its id: the
    // owner died and its id was reused.
    const struct timeval day_ago[2] = {{time(nullptr) - 86400, 0}, {time(nullptr) - 86400, 0}};
    ASSERT_EQ(utimes(process_file_of(path, getpid()).c_str(), day_ago), 0);
    EXPECT_EQ(judge().state, ryn::OwnerState::dead);

    // Another host: its processes cannot be asked from here.
    lock_as(path + ".elsewhere." + host_name() + "." + std::to_string(getpid()) + ".link.lock");
    EXPECT_EQ(judge().state, ryn::OwnerState::unknown);
}

}  // namespace
