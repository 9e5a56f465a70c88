// Where the driver finds itself and the install directories it derives.
#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <filesystem>
#include <memory>
#include <string>

#include "driver_argv.h"
#include "support/test_support.h"

namespace {

using ryn_test::TempDir;

std::unique_ptr<RynDriver> make_driver() {
    return std::make_unique<RynDriver>("ryn", k_known_lav, RynDriver::PrepareOnly{});
}

TEST(ExecLocation, TheRunningExecutableNamesTheDirectoriesAndArgvZeroTheProgram) {
    auto d = make_driver();
    Argv argv({"some-name"});
    ASSERT_TRUE(d->set_exec_names(argv.get()));
    const std::filesystem::path self = std::filesystem::canonical("/proc/self/exe");
    EXPECT_EQ(d->program_name, "some-name");
    EXPECT_EQ(d->exec_dir, self.parent_path().string());
    // The test programs do not live in a "bin" directory.
    EXPECT_EQ(d->install_lib_dir, d->exec_dir);
}

TEST(ExecLocation, InTellModeArgvZeroIsTheExecutableAndBinMapsToLibCompilers) {
    const TempDir tmp;
    std::filesystem::create_directories(tmp / "P/bin");
    ryn_test::write_file(tmp / "P/bin/ryn", "");
    std::filesystem::create_symlink(tmp / "P/bin/ryn", tmp / "link");

    auto d = make_driver();
    d->tell_mode = true;
    Argv argv({tmp / "link"});
    ASSERT_TRUE(d->set_exec_names(argv.get()));
    EXPECT_EQ(d->program_name, tmp / "link");
    EXPECT_EQ(d->exec_dir, tmp / "P/bin") << "links are resolved";
    EXPECT_EQ(d->install_lib_dir, tmp / "P/lib/compilers");

    // "...bin" without a slash is replaced all the same.
    std::filesystem::create_directories(tmp / "xbin");
    ryn_test::write_file(tmp / "xbin/tool", "");
    Argv xbin({tmp / "xbin/tool"});
    ASSERT_TRUE(d->set_exec_names(xbin.get()));
    EXPECT_EQ(d->install_lib_dir, tmp / "xlib/compilers");

    // A directory of three characters or fewer yields no install directory.
    auto root = make_driver();
    root->tell_mode = true;
    Argv top({"/usr"});
    ASSERT_TRUE(root->set_exec_names(top.get()));
    EXPECT_EQ(root->exec_dir, "/");
    EXPECT_FALSE(root->install_lib_dir);
}

TEST(ExecLocation, EngineAndAuditDirectoriesFollowTheInstallTree) {
    const TempDir tmp;
    std::filesystem::create_directories(tmp / "P/lib/compilers/amd64");
    auto d = make_driver();
    d->install_lib_dir = tmp / "P/lib/compilers";
    d->target_path = "/proc/self/exe";
    d->set_locations();
    EXPECT_EQ(d->morphel_path, tmp / "P/lib/compilers/morphel");
    EXPECT_EQ(d->audit_lib_dir, tmp / "P/lib/compilers/amd64") << "a 64-bit target";
    EXPECT_FALSE(d->memvex_lib_dir) << "only the memory checker needs its runtime";

    auto given = make_driver();
    given->install_lib_dir = tmp / "P/lib/compilers";
    given->target_path = "/proc/self/exe";
    given->morphel_dir = "/engine";
    given->audit_lib_dir = "/audit";
    given->set_locations();
    EXPECT_EQ(given->morphel_path, "/engine/morphel");
    EXPECT_EQ(given->audit_lib_dir, "/audit");

    auto memvex = std::make_unique<RynDriver>("memvex", k_known_lav, RynDriver::PrepareOnly{});
    memvex->install_lib_dir = tmp / "P/lib/compilers/../compilers";
    memvex->target_path = "/proc/self/exe";
    memvex->set_locations();
    EXPECT_EQ(memvex->memvex_lib_dir, tmp / "P/lib/compilers/amd64") << "made absolute";
}

}  // namespace
