// Paths the driver must refuse before it reads them or hands them on: files
// that are not regular (a FIFO would block the run for ever, a device never
// ends) and paths with a newline (the tools' files hold one path a line).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/e2e_support.h"
#include "support/test_support.h"

namespace {

// A run that hangs is ended by timeout(1) with status 124.
constexpr const char* k_limit = "60";

class UnusablePaths : public ryn_e2e::DriverTest {
protected:
    void SetUp() override {
        launch_prefix = {"timeout", k_limit};
        fixture = ryn_e2e::build_fixture(work / "src", "prog", {});
        fifo = work / "pipe";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    }

    void expect_refused(const ryn_test::RunResult& result, const std::string& message) {
        EXPECT_EQ(result.status, 1) << "124 means the run blocked\n" << result.err;
        EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
        EXPECT_TRUE(install.engine_runs().empty());
    }

    std::string fifo;
};

TEST_F(UnusablePaths, FifoDeviceOrDirectoryTargetIsRefusedWithoutBlocking) {
    for (const char* mode : {"check", "instrument"}) {
        expect_refused(ryn({mode, fifo}), "ryn (error): Not a binary file: " + fifo + "\n");
    }
    expect_refused(ryn({"instrument", "/dev/zero"}), "ryn (error): Not a binary file: /dev/zero\n");
    expect_refused(ryn({"instrument", work / "src"}),
                   "ryn (error): Not a binary file: " + work / "src" + "\n");
    expect_refused(run_front_end("memvex", {fifo}),
                   "memvex (error): Not a binary file: " + fifo + "\n");
}

TEST_F(UnusablePaths, FifoLibraryOrCheckFileIsRefusedWithoutBlocking) {
    expect_refused(ryn({"instrument", "-l", fifo, fixture.program}),
                   "ryn (error): Not a binary file: " + fifo + "\n");
    expect_refused(ryn({"instrument", fixture.program + ":" + fifo}),
                   "ryn (error): Check file is not a regular file: " + fifo + "\n");
    // A -c value that is a file lists libraries, each with an optional check
    // file; one that is no regular file is a library name and never opened.
    ryn_test::write_file(work / "check.list", "libx.so:" + fifo + "\n");
    expect_refused(run_front_end("memvex", {"-c", work / "check.list", fixture.program}),
                   "memvex (error): Check file is not a regular file: " + fifo + "\n");
    const ryn_test::RunResult listed =
        run_front_end("memvex", {"-c", fifo, "-o", work / "out", fixture.program});
    EXPECT_NE(listed.status, 124) << "the -c value was opened";
}

TEST_F(UnusablePaths, TargetPathWithANewlineIsRefusedBeforeAnyRecordIsWritten) {
    // A directory name that would forge a record of the run-information file.
    const std::string dir = work / "d\n19 /tmp/forged";
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file(fixture.program, dir + "/prog");
    chmod((dir + "/prog").c_str(), 0755);
    const std::string refusal = "ryn (error): File name contains a newline: " + dir + "/prog\n";
    expect_refused(ryn({"instrument", dir + "/prog"}), refusal);
    expect_refused(ryn({"instrument", "-M", dir + "/prog"}), refusal);
    expect_refused(ryn({"instrument", "-l", dir + "/prog", fixture.program}), refusal);
    expect_refused(ryn({"instrument", fixture.program + ":" + dir + "/check"}),
                   "ryn (error): File name contains a newline: " + dir + "/check\n");
}

TEST_F(UnusablePaths, LibraryFoundWithANewlineInItsPathIsRefused) {
    const std::string dir = work / "libs\nsplit";
    std::filesystem::create_directories(dir);
    const std::string lib = dir + "/libuser.so";
    ASSERT_TRUE(ryn_test::compile_c(
        std::string(ryn_test::k_annotate_asm) + "int user_value(void) { return 7; }\n", lib,
        "-shared -fPIC"));
    const std::string program = work / "linked";
    ASSERT_TRUE(ryn_test::compile_c(std::string(ryn_test::k_annotate_asm) +
                                        "int user_value(void);\n"
                                        "int main(void) { return user_value() - 7; }\n",
                                    program, "'-Wl,-rpath," + dir + "' '" + lib + "'"));
    ASSERT_EQ(ryn_test::run({program}).status, 0);
    expect_refused(ryn({"instrument", "-M", program}),
                   "ryn (error): A library loaded by " + program + " has a newline in its path\n");
}

}  // namespace
