#include <gtest/gtest.h>

#include <string>

#include "ryn/exec_util.h"
#include "support/test_support.h"

using namespace ryn;

namespace {

using testing::ExitedWithCode;

TEST(ReportError, WarningAndInfoLinesNameTheComponentAndReturn) {
    ExecUtil util("memvex");
    testing::internal::CaptureStderr();
    util.report_error(MSG_WARNING, 0, get_msg(RYN_NO_USE), "prog");
    util.report_error(MSG_WARNING, 2, "cannot open %s", "x");
    util.set_component("ryn");
    util.report_error(MSG_INFO, 13, "%s", "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "memvex (warning): Will not analyze prog: Not instrumented.\n\n"
              "memvex (warning): cannot open x (errno = 2) No such file or directory\n"
              "ryn (info):  (errno = 13) Permission denied\n");
}

TEST(ReportErrorDeath, AnErrorOrAnUnknownTypeEndsTheRunWithStatusOne) {
    ExecUtil util("ryn");
    EXPECT_EXIT(util.report_error(MSG_ERROR, 2, get_msg(RYN_E_FILE_NOT_FOUND), "/x"),
                ExitedWithCode(1),
                testing::Eq(std::string("ryn (error): File /x not found (errno = 2) "
                                        "No such file or directory\n")));
    EXPECT_EXIT(util.report_error(static_cast<MESSAGE_TYPE>(3), 2, "never %s", "shown"),
                ExitedWithCode(1), testing::Eq(std::string("rynUnknown error type.\n")));
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
    ryn_test::write_file(dir / "tmp", "x");
    RecordingUtil util(dir / "tmp", false);
    EXPECT_EXIT(util.report_error(MSG_ERROR, 0, "first"), ExitedWithCode(1),
                testing::Eq(std::string("ryn (error): first\nryn (info): temp file kept\n")));
    EXPECT_FALSE(ryn_test::exists(dir / "tmp"));
}

}  // namespace
