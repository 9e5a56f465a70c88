// The audit library's version, asked of the library itself through a probe
// command, unless the caller already knows it.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "driver_argv.h"
#include "support/test_support.h"

namespace {

using ryn_test::TempDir;

// A driver whose version is still to be found; constructed with a known one
// so that the test process keeps its own signal handlers.
std::unique_ptr<RynDriver> unprobed_driver() {
    auto d = std::make_unique<RynDriver>("ryn", k_known_lav, RynDriver::PrepareOnly{});
    d->lav_version = 0;
    return d;
}

void write_script(const std::string& path, const std::string& body) {
    ryn_test::write_file(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
}

// An install tree whose audit library is not one: the runtime linker warns
// and runs the program without it.
void fake_tree(const std::string& prefix) {
    std::filesystem::create_directories(prefix + "/bin");
    std::filesystem::create_directories(prefix + "/lib/compilers/amd64");
    ryn_test::write_file(prefix + "/lib/compilers/amd64/ryndl.so", "not an audit library\n");
}

TEST(LavProbe, AVersionFromTheCallerIsNeverProbed) {
    const TempDir tmp;
    write_script(tmp / "probe", "touch " + tmp / "ran" + "\necho LAV_VERSION=1\n");
    auto d = std::make_unique<RynDriver>("ryn", 7, RynDriver::PrepareOnly{});
    d->exec_dir = tmp.path();
    d->program_name = tmp / "probe";
    EXPECT_EQ(d->probe_lav_version(), 7);
    EXPECT_FALSE(ryn_test::exists(tmp / "ran"));
}

TEST(LavProbe, TheInstalledAuditLibraryAnswersFromEitherInstallDirectory) {
    const std::string audit_lib = ryn_test::stage_lib("amd64/ryndl.so");
    ASSERT_TRUE(ryn_test::exists(audit_lib)) << "the build stages " << audit_lib;

    auto from_bin = unprobed_driver();
    from_bin->exec_dir = ryn_test::stage_dir() + "/bin";
    from_bin->program_name = ryn_test::stage_bin("ryn");
    from_bin->very_verbose = true;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(from_bin->probe_lav_version(), 4);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "ryn (info): Link Auditor Version=4\n");
    // Known from now on: a probe that could not run is not attempted.
    from_bin->program_name = "/nonexistent/program";
    EXPECT_EQ(from_bin->probe_lav_version(), 4);

    auto from_lib = unprobed_driver();
    from_lib->exec_dir = ryn_test::stage_dir() + "/lib/compilers";
    from_lib->program_name = ryn_test::stage_bin("ryn");
    EXPECT_EQ(from_lib->probe_lav_version(), 4);
}

TEST(LavProbe, AnAnswerWithoutTheVersionEndsTheRunNamingTheCommand) {
    const TempDir tmp;
    fake_tree(tmp.path());
    write_script(tmp / "chatty", "echo hello\n");
    write_script(tmp / "silent", "exit 0\n");

    auto d = unprobed_driver();
    d->exec_dir = tmp / "bin";
    d->program_name = tmp / "chatty";
    const std::string command = "QVEN_RYN_AUDIT_VERSION=yes LD_AUDIT=" + tmp.path() +
                                "/bin/\\.\\./lib/compilers/amd64/ryndl\\.so " + tmp.path() +
                                "/chatty\n";
    EXPECT_EXIT(d->probe_lav_version(), ::testing::ExitedWithCode(1),
                "ryn \\(error\\): Cannot get link auditor version using command " + command +
                    " returned 0");

    d->program_name = tmp / "silent";
    EXPECT_EXIT(d->probe_lav_version(), ::testing::ExitedWithCode(1),
                "Cannot get link auditor version using command .*/silent\n returned -1");
}

TEST(LavProbe, PathsWithBlanksReachTheShellAsOneWord) {
    const TempDir tmp;
    const std::string prefix = tmp / "with blank";
    fake_tree(prefix);
    write_script(prefix + "/answer", "echo LAV_VERSION=9\n");

    auto d = unprobed_driver();
    d->exec_dir = prefix + "/bin";
    d->program_name = prefix + "/answer";
    EXPECT_EXIT(exit(d->probe_lav_version() == 9 ? 0 : 3), ::testing::ExitedWithCode(0), "");
}

}  // namespace
