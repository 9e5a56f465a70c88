#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "ryn/exec_util.h"
#include "support/test_support.h"

namespace {

using testing::ExitedWithCode;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST(ReportError, WarningsAndInfoLinesReturn) {
    ExecUtil util("ryn");
    CaptureStderr();
    util.report_error(MSG_WARNING, 0, get_msg(RYN_NO_USE), "prog");
    util.report_error(MSG_INFO, 0, "Instrumented file output: %s.", "a.out");
    util.report_error(MSG_WARNING, 2, "cannot open %s", "x");
    util.report_error(MSG_INFO, 13, "%s", "");
    EXPECT_EQ(GetCapturedStderr(),
              "ryn (warning): Will not analyze prog: Not instrumented.\n\n"
              "ryn (info): Instrumented file output: a.out.\n"
              "ryn (warning): cannot open x (errno = 2) No such file or directory\n"
              "ryn (info):  (errno = 13) Permission denied\n");
}

TEST(ReportError, TheComponentNameLeadsEveryLine) {
    ExecUtil util("memvex");
    CaptureStderr();
    util.report_error(MSG_INFO, 0, "one");
    util.set_component("zentor");
    util.report_error(MSG_WARNING, 0, "two");
    EXPECT_EQ(GetCapturedStderr(), "memvex (info): one\nzentor (warning): two\n");
}

TEST(ReportErrorDeath, AnErrorEndsTheRunWithStatusOne) {
    ExecUtil util("ryn");
    EXPECT_EXIT(util.report_error(MSG_ERROR, 0, get_msg(RYN_E_FILE_NOT_FOUND), "/x"),
                ExitedWithCode(1), testing::Eq(std::string("ryn (error): File /x not found\n")));
    EXPECT_EXIT(util.report_error(MSG_ERROR, 2, "cannot resolve pathname %s", "/y"),
                ExitedWithCode(1),
                testing::Eq(std::string("ryn (error): cannot resolve pathname /y (errno = 2) "
                                        "No such file or directory\n")));
}

TEST(ReportErrorDeath, AnUnknownTypeEndsTheRunWithoutAMessage) {
    ExecUtil util("ryn");
    EXPECT_EXIT(util.report_error(static_cast<MESSAGE_TYPE>(3), 2, "never %s", "shown"),
                ExitedWithCode(1), testing::Eq(std::string("rynUnknown error type.\n")));
}

TEST(ReportErrorDeath, FatalFormatsLongMessagesInFull) {
    ExecUtil util("ryn");
    const std::string path(5000, 'p');
    EXPECT_EXIT(util.fatal(0, get_msg(RYN_E_NOT_BINARY), path.c_str()), ExitedWithCode(1),
                testing::Eq("ryn (error): Not a binary file: " + path + "\n"));
}

// Records the order of the steps of a fatal report on standard error.
class RecordingUtil : public ExecUtil {
public:
    RecordingUtil(std::string temp_file, bool fail_in_restore)
        : ExecUtil("ryn"), temp_file_(std::move(temp_file)), fail_in_restore_(fail_in_restore) {}

    void restore() override {
        fprintf(stderr, "restore: temp file %s\n",
                ryn_test::exists(temp_file_) ? "present" : "gone");
        // Information and warnings raised while restoring print and return.
        report_error(MSG_INFO, 0, "putting files back");
        if (fail_in_restore_) {
            report_error(MSG_ERROR, 0, "restore failed");
        }
        fprintf(stderr, "restore: done\n");
    }

private:
    std::string temp_file_;
    bool fail_in_restore_;
};

TEST(ReportErrorDeath, AnErrorRestoresThenCleansUp) {
    ryn_test::TempDir dir;
    const std::string temp = dir / "ryn_tmp";
    ryn_test::write_file(temp, "x");
    RecordingUtil util(temp, false);
    util.temp_files.add_arg(temp);
    EXPECT_EXIT(util.report_error(MSG_ERROR, 0, "first"), ExitedWithCode(1),
                testing::Eq(std::string("ryn (error): first\n"
                                        "restore: temp file present\n"
                                        "ryn (info): putting files back\n"
                                        "restore: done\n")));
    EXPECT_FALSE(ryn_test::exists(temp));
}

TEST(ReportErrorDeath, ASecondErrorWhileRestoringEndsTheRunAtOnce) {
    ryn_test::TempDir dir;
    const std::string temp = dir / "ryn_tmp";
    ryn_test::write_file(temp, "x");
    RecordingUtil util(temp, true);
    util.temp_files.add_arg(temp);
    EXPECT_EXIT(util.report_error(MSG_ERROR, 0, "first"), ExitedWithCode(1),
                testing::Eq(std::string("ryn (error): first\n"
                                        "restore: temp file present\n"
                                        "ryn (info): putting files back\n"
                                        "ryn (error): restore failed\n")));
    // Neither a second restore nor the clean-up ran.
    EXPECT_TRUE(ryn_test::exists(temp));
}

}  // namespace
