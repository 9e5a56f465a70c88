#include <gtest/gtest.h>

#include <string>

#include "ryn/exec_util.h"
#include "support/test_support.h"

using namespace ryn;

namespace {

using testing::ExitedWithCode;

// A message longer than any buffer is printed whole.
TEST(ReportErrorDeath, AnUnknownTypeOrALongErrorEndsTheRunWithStatusOne) {
    ExecUtil util("ryn");
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
