// Finding the experiment tool below an install root, and reading version
// numbers out of a tool's version text.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "driver_argv.h"
#include "support/test_support.h"

namespace {

using ryn_test::TempDir;

std::unique_ptr<RynDriver> make_driver() {
    return std::make_unique<RynDriver>("ryn", k_known_lav, RynDriver::PrepareOnly{});
}

void make_tool(const std::string& path) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    ryn_test::write_file(path, "#!/bin/sh\n");
}

TEST(ErRynProbe, OwnTreeIsSearchedBelowTheLastLibCompilers) {
    const TempDir tmp;
    const std::string root = tmp / "R/lib/compilers/x";
    // A cut at the first "/lib/compilers" would find this one.
    make_tool(tmp / "R/lib/analyzer/er_ryn");
    make_tool(root + "/bin/er_ryn");
    auto d = make_driver();
    d->exec_dir = root + "/lib/compilers/bin";
    EXPECT_TRUE(d->set_er_ryn_program(nullptr));
    EXPECT_EQ(d->er_ryn_path, root + "/bin/er_ryn");
    EXPECT_EQ(d->er_ryn_status, 2);
    EXPECT_FALSE(d->er_ryn_elsewhere);

    make_tool(root + "/lib/analyzer/er_ryn");
    auto first = make_driver();
    first->exec_dir = root + "/lib/compilers";
    EXPECT_TRUE(first->set_er_ryn_program(nullptr));
    EXPECT_EQ(first->er_ryn_path, root + "/lib/analyzer/er_ryn") << "tried before bin";

    // A found tool is not looked for again.
    std::filesystem::remove_all(tmp / "R");
    EXPECT_TRUE(first->set_er_ryn_program(nullptr));
    EXPECT_EQ(first->er_ryn_path, root + "/lib/analyzer/er_ryn");
}

TEST(ErRynProbe, ALauncherDirectoryIsBelowItsRootAndOtherDirectoriesHaveNone) {
    const TempDir tmp;
    make_tool(tmp / "P/lib/analyzer/er_ryn");
    auto d = make_driver();
    d->exec_dir = tmp / "P/bin";
    EXPECT_TRUE(d->set_er_ryn_program(nullptr));
    EXPECT_EQ(d->er_ryn_path, tmp / "P/lib/analyzer/er_ryn");

    if (std::filesystem::exists("/opt/QVENpkg")) {
        GTEST_SKIP() << "a default install tree exists on this machine";
    }
    auto none = make_driver();
    none->exec_dir = tmp / "P/tools";
    EXPECT_FALSE(none->set_er_ryn_program(nullptr));
    EXPECT_FALSE(none->er_ryn_path);
    EXPECT_EQ(none->er_ryn_status, 0);
}

TEST(ErRynProbe, TheYeDirectoryDecidesForTheWholeRun) {
    const TempDir tmp;
    make_tool(tmp / "own/lib/analyzer/er_ryn");
    make_tool(tmp / "other/bin/er_ryn");

    auto d = make_driver();
    d->exec_dir = tmp / "own/lib/compilers";
    ::testing::internal::CaptureStderr();
    parse(*d, {"ryn", "collect", "-Ye," + tmp / "other/lib/compilers"});
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(d->er_ryn_elsewhere);
    EXPECT_EQ(d->er_ryn_path, tmp / "other/bin/er_ryn");
    EXPECT_TRUE(d->set_er_ryn_program(nullptr));

    // Without the tool there, the run has none, although its own tree has one.
    auto missing = make_driver();
    missing->exec_dir = tmp / "own/lib/compilers";
    ::testing::internal::CaptureStderr();
    parse(*missing, {"ryn", "collect", "-Ye," + tmp / "empty/bin"});
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "ryn (warning): Cannot find correct version of er_ryn in " + tmp / "empty/bin" +
                  "\n");
    EXPECT_TRUE(missing->er_ryn_elsewhere);
    EXPECT_EQ(missing->er_ryn_path, tmp / "empty/bin/er_ryn") << "the last place tried";
    EXPECT_FALSE(missing->set_er_ryn_program(nullptr));
    EXPECT_EQ(missing->er_ryn_path, tmp / "empty/bin/er_ryn");
}

TEST(ErRynProbe, CheckLeavesTheCandidateInTheBuffer) {
    const TempDir tmp;
    make_tool(tmp / "T/bin/er_ryn");
    auto d = make_driver();
    char path[4096];
    EXPECT_TRUE(d->check_er_ryn_program((tmp / "T/lib/compilers/amd64").c_str(), path,
                                        sizeof path));
    EXPECT_EQ(std::string(path), tmp / "T/bin/er_ryn");
    EXPECT_EQ(d->er_ryn_status, 2);

    auto e = make_driver();
    EXPECT_FALSE(e->check_er_ryn_program((tmp / "U/bin").c_str(), path, sizeof path));
    EXPECT_EQ(std::string(path), tmp / "U/bin/er_ryn");
    EXPECT_EQ(e->er_ryn_status, 0);
}

TEST(VersionString, MajorAndMinorComeFromTheFirstNumericWord) {
    const auto parsed = [](std::string text) {
        std::optional<std::string> major = "untouched", minor = "untouched";
        RynDriver::parse_version_string(text.data(), major, minor);
        return *major + "|" + *minor;
    };
    EXPECT_EQ(parsed("er_ryn 12.5 2024"), "12|5");
    EXPECT_EQ(parsed("tool v2 3.14.1 beta\n"), "3|14.1");
    EXPECT_EQ(parsed("no digits at all"), "untouched|untouched");
    EXPECT_EQ(parsed("tool 7 later"), "7|untouched");
    EXPECT_EQ(parsed("tool 7.x"), "7|untouched");
    EXPECT_EQ(parsed(""), "untouched|untouched");
}

}  // namespace
