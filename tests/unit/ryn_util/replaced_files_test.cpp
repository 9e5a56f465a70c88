// A user's file is replaced whole, with the new file's mode and times, and
// its original kept beside it until the run ends. However the run ends badly
// it says why once, restores once and removes its temporary files, also when
// a hook leaves the ending and the process runs on.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csetjmp>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/ryn_util/file_replacement.h"
#include "driver/ryn_util/kept_originals.h"
#include "driver/ryn_util/run_ending.h"
#include "ryn/exec_util.h"
#include "support/test_support.h"

using namespace ryn;

namespace fs = std::filesystem;

namespace {

using testing::ExitedWithCode;

TEST(ReplaceFile, KeepsTheNewFilesModeAndTimes) {
    ryn_test::TempDir dir;
    ryn_test::write_file(dir / "new", "instrumented");
    ASSERT_EQ(chmod((dir / "new").c_str(), 0751), 0);
    const struct timespec old_times[2] = {{1000000, 0}, {2000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir / "new").c_str(), old_times, 0), 0);
    ryn_test::write_file(dir / "prog", "original");
    ASSERT_EQ(ryn::replace_file((dir / "new").c_str(), (dir / "prog").c_str(), true), 0);
    EXPECT_EQ(ryn_test::read_file(dir / "prog"), "instrumented");
    struct stat st {};
    ASSERT_EQ(stat((dir / "prog").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0751u);
    EXPECT_EQ(st.st_mtim.tv_sec, 2000000);
}

TEST(ReplaceFile, CopiesEveryByteAcrossFileSystemsAndFromFilesOfNoSize) {
    ryn_test::TempDir dir;
    // Not a whole number of blocks or buffers, and distinct in every block.
    std::string bytes;
    for (size_t i = 0; bytes.size() < (3u << 20) + 17; ++i) {
        bytes += std::to_string(i * 7919) + ",";
    }
    ryn_test::write_file(dir / "big", bytes);
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

// What a killed run left is undone by the next; a driver still running
// (here: our parent) or on another host owns its files.
TEST(KeptOriginals, LeftoversOfALiveRunOrAnotherHostStay) {
    ryn_test::TempDir dir;
    ryn_test::write_file(dir / "prog", "instrumented");
    const std::string live =
        ".prog.ryn-saved." + ryn_test::host_name() + "." + std::to_string(getppid());
    const std::string elsewhere =
        ".prog.ryn-saved.other-host." + std::to_string(ryn_test::dead_pid());
    ryn_test::write_file(dir / live, "theirs");
    ryn_test::write_file(dir / elsewhere, "theirs");
    EXPECT_FALSE(ryn::recover_interrupted_replacement((dir / "prog").c_str()));
    EXPECT_EQ(ryn_test::read_file(dir / "prog"), "instrumented");
    EXPECT_EQ(ryn_test::names_in(dir.path(), ".ryn-").size(), 2u);
}

// A message longer than any buffer is printed whole.
TEST(ReportErrorDeath, ALongErrorEndsTheRunWithStatusOne) {
    ExecUtil util("ryn");
    const std::string path(5000, 'p');
    EXPECT_EXIT(util.fatal(0, get_msg(RYN_E_NOT_BINARY), path.c_str()), ExitedWithCode(1),
                testing::Eq("ryn (error): Not a binary file: " + path + "\n"));
}

// Its restore tells whether the clean-up has already removed the temporary file.
struct RecordingUtil : ExecUtil {
    RecordingUtil(const std::string& temp, bool fail) : ExecUtil("ryn"), temp(temp), fail(fail) {
        temp_files.add_arg(temp);
    }
    void restore() override {
        report_error(MSG_INFO, 0, "temp file %s", ryn_test::exists(temp) ? "kept" : "gone");
        if (fail) {
            report_error(MSG_ERROR, 0, "restore failed");
        }
    }
    std::string temp;
    bool fail;
};

TEST(ReportErrorDeath, AnErrorRestoresThenCleansUpButNeverTwice) {
    ryn_test::TempDir dir;
    ryn_test::write_file(dir / "tmp", "x");
    // A second error while restoring ends the run at once, without restoring
    // again; the run's temporary files still go, since nobody else would
    // ever remove them.
    RecordingUtil failing(dir / "tmp", true);
    EXPECT_EXIT(failing.report_error(MSG_ERROR, 0, "first"), ExitedWithCode(1),
                testing::Eq(std::string("ryn (error): first\nryn (info): temp file kept\n"
                                        "ryn (error): restore failed\n")));
    EXPECT_FALSE(ryn_test::exists(dir / "tmp"));
}

// A hook that leaves the ending by a jump, as a build that runs many runs in
// one process does.
jmp_buf g_after_run;
void hook_jumping_back(int status) { longjmp(g_after_run, status); }

TEST(RunEnding, AfterAHookLeftTheEndingTheNextRunEndsAndRestoresAgain) {
    ryn_test::TempDir dir;
    ryn_test::write_file(dir / "new", "instrumented");
    ryn::set_run_end_hook(hook_jumping_back);
    testing::internal::CaptureStderr();
    for (int run = 0; run < 2; ++run) {
        // Each run of such a build has its own utility object.
        std::optional<ExecUtil> util;
        util.emplace("ryn");
        ryn_test::write_file(dir / "prog", "original");
        ASSERT_EQ(ryn::keep_original((dir / "prog").c_str(), false), 0);
        ASSERT_EQ(ryn::replace_file((dir / "new").c_str(), (dir / "prog").c_str(), true), 0);
        if (setjmp(g_after_run) == 0) {
            util->report_error(MSG_ERROR, 0, "broken");
        }
        EXPECT_EQ(ryn_test::read_file(dir / "prog"), "original") << "run " << run;
    }
    testing::internal::GetCapturedStderr();
    ryn::set_run_end_hook(nullptr);
    // Fatal signals are not left blocked.
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    EXPECT_FALSE(sigismember(&mask, SIGTERM));
}

}  // namespace
