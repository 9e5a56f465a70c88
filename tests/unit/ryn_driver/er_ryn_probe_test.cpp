// Finding the experiment tool below an install root, and reading version
// numbers out of a tool's version text.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "driver_argv.h"
#include "support/test_support.h"

namespace {

void make_tool(const std::string& path) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    ryn_test::write_file(path, "#!/bin/sh\n");
}

TEST(ErRynProbe, OwnTreeIsSearchedBelowTheLastLibCompilersOrAboveBin) {
    const ryn_test::TempDir tmp;
    const std::string root = tmp / "R/lib/compilers/x";
    make_tool(tmp / "R/lib/analyzer/er_ryn");  // found by a cut at the first occurrence
    make_tool(root + "/bin/er_ryn");
    RynDriver d("ryn", k_known_lav, RynDriver::PrepareOnly{});
    d.exec_dir = root + "/lib/compilers/bin";
    EXPECT_TRUE(d.set_er_ryn_program(nullptr));
    EXPECT_EQ(d.er_ryn_path, root + "/bin/er_ryn");
    EXPECT_EQ(d.er_ryn_status, 2);
    EXPECT_FALSE(d.er_ryn_elsewhere);
    // Found once, never searched again.
    std::filesystem::remove_all(tmp / "R");
    EXPECT_TRUE(d.set_er_ryn_program(nullptr));

    make_tool(tmp / "P/lib/analyzer/er_ryn");
    make_tool(tmp / "P/bin/er_ryn");
    RynDriver launcher("ryn", k_known_lav, RynDriver::PrepareOnly{});
    launcher.exec_dir = tmp / "P/bin";
    EXPECT_TRUE(launcher.set_er_ryn_program(nullptr));
    EXPECT_EQ(launcher.er_ryn_path, tmp / "P/lib/analyzer/er_ryn");

    char path[4096];
    EXPECT_FALSE(d.check_er_ryn_program((tmp / "U/bin").c_str(), path, sizeof path));
    EXPECT_EQ(std::string(path), tmp / "U/bin/er_ryn") << "the last candidate is left";

    ASSERT_FALSE(std::filesystem::exists("/opt/QVENpkg"));
    RynDriver none("ryn", k_known_lav, RynDriver::PrepareOnly{});
    none.exec_dir = tmp / "P/tools";
    EXPECT_FALSE(none.set_er_ryn_program(nullptr));
    EXPECT_FALSE(none.er_ryn_path);
}

TEST(ErRynProbe, TheYeDirectoryDecidesForTheWholeRun) {
    const ryn_test::TempDir tmp;
    make_tool(tmp / "own/lib/analyzer/er_ryn");
    make_tool(tmp / "other/bin/er_ryn");
    RynDriver d("ryn", k_known_lav, RynDriver::PrepareOnly{});
    d.exec_dir = tmp / "own/lib/compilers";
    parse(d, {"ryn", "collect", "-Ye," + tmp / "other/lib/compilers"});
    EXPECT_TRUE(d.er_ryn_elsewhere);
    EXPECT_EQ(d.er_ryn_path, tmp / "other/bin/er_ryn");

    // Without the tool there, the run has none, although its own tree has one.
    RynDriver missing("ryn", k_known_lav, RynDriver::PrepareOnly{});
    missing.exec_dir = tmp / "own/lib/compilers";
    ::testing::internal::CaptureStderr();
    parse(missing, {"ryn", "collect", "-Ye," + tmp / "empty/bin"});
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "ryn (warning): Cannot find correct version of er_ryn in " + tmp / "empty/bin\n");
    EXPECT_TRUE(missing.er_ryn_elsewhere);
    EXPECT_FALSE(missing.set_er_ryn_program(nullptr));
    EXPECT_EQ(missing.er_ryn_path, tmp / "empty/bin/er_ryn");
}

TEST(VersionString, MajorAndMinorComeFromTheFirstNumericWord) {
    const auto parsed = [](std::string text) {
        std::optional<std::string> major = "-", minor = "-";
        RynDriver::parse_version_string(text.data(), major, minor);
        return *major + "|" + *minor;
    };
    EXPECT_EQ(parsed("er_ryn 12.5 2024"), "12|5");
    EXPECT_EQ(parsed("tool v2 3.14.1 beta\n"), "3|14.1");
    EXPECT_EQ(parsed("no digits at all"), "-|-");
    EXPECT_EQ(parsed("tool 7.x"), "7|-");
}

}  // namespace
