// The audit library's version, asked of the library itself through a probe
// command unless the caller already knows it.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "driver_argv.h"
#include "support/test_support.h"

namespace {

using ryn_test::TempDir;

void write_script(const std::string& path, const std::string& body) {
    ryn_test::write_file(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
}

// An install tree whose audit library is none: the runtime linker warns and
// runs the program without it.
void fake_tree(const std::string& prefix) {
    std::filesystem::create_directories(prefix + "/bin");
    std::filesystem::create_directories(prefix + "/lib/compilers/amd64");
    ryn_test::write_file(prefix + "/lib/compilers/amd64/ryndl.so", "not an audit library\n");
}

TEST(LavProbe, TheInstalledAuditLibraryAnswersFromEitherInstallDirectory) {
    for (const std::string dir : {"/bin", "/lib/compilers"}) {
        // Constructed with a known version so that the test keeps its signal
        // handlers; then made unknown.
        RynDriver d("ryn", k_known_lav, RynDriver::PrepareOnly{});
        d.lav_version = 0;
        d.exec_dir = ryn_test::stage_dir() + dir;
        d.program_name = ryn_test::stage_bin("ryn");
        d.very_verbose = true;
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(d.probe_lav_version(), 4) << dir;
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "ryn (info): Link Auditor Version=4\n");
        // Known from now on: nothing is run again.
        d.program_name = "/nonexistent/program";
        EXPECT_EQ(d.probe_lav_version(), 4);
    }
}

TEST(LavProbe, AnAnswerWithoutTheVersionEndsTheRunNamingTheCommand) {
    const TempDir tmp;
    fake_tree(tmp.path());
    write_script(tmp / "chatty", "echo hello\n");
    RynDriver d("ryn", k_known_lav, RynDriver::PrepareOnly{});
    d.lav_version = 0;
    d.exec_dir = tmp / "bin";
    d.program_name = tmp / "chatty";
    EXPECT_EXIT(d.probe_lav_version(), ::testing::ExitedWithCode(1),
                "ryn \\(error\\): Cannot get link auditor version using command "
                "QVEN_RYN_AUDIT_VERSION=yes LD_AUDIT=" +
                    tmp.path() + "/bin/\\.\\./lib/compilers/amd64/ryndl\\.so " + tmp.path() +
                    "/chatty\n returned 0");
}

TEST(LavProbe, PathsWithBlanksReachTheShellAsOneWord) {
    const TempDir tmp;
    const std::string prefix = tmp / "with blank";
    fake_tree(prefix);
    write_script(prefix + "/answer", "echo LAV_VERSION=9\n");
    RynDriver d("ryn", k_known_lav, RynDriver::PrepareOnly{});
    d.lav_version = 0;
    d.exec_dir = prefix + "/bin";
    d.program_name = prefix + "/answer";
    // A command split at the blank would end the run instead of answering.
    EXPECT_EXIT(exit(d.probe_lav_version() == 9 ? 0 : 3), ::testing::ExitedWithCode(0), "");
}

}  // namespace
