// Where the driver finds itself and the install directories it derives.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "driver_argv.h"
#include "support/test_support.h"

namespace {

TEST(ExecLocation, ExecutableNamesTheDirectoriesAndBinMapsToLibCompilers) {
    RynDriver d("ryn", k_known_lav, RynDriver::PrepareOnly{});
    Argv name({"some-name"});
    ASSERT_TRUE(d.set_exec_names(name.get()));
    EXPECT_EQ(d.program_name, "some-name");
    EXPECT_EQ(d.exec_dir, std::filesystem::canonical("/proc/self/exe").parent_path().string());
    EXPECT_EQ(d.install_lib_dir, d.exec_dir) << "the tests do not live in a bin directory";

    // In tell mode argv[0] is the executable, links resolved.
    const ryn_test::TempDir tmp;
    std::filesystem::create_directories(tmp / "P/bin");
    ryn_test::write_file(tmp / "P/bin/ryn", "");
    std::filesystem::create_symlink(tmp / "P/bin/ryn", tmp / "link");
    d.tell_mode = true;
    Argv link({tmp / "link"});
    ASSERT_TRUE(d.set_exec_names(link.get()));
    EXPECT_EQ(d.exec_dir, tmp / "P/bin");
    EXPECT_EQ(d.install_lib_dir, tmp / "P/lib/compilers");

    RynDriver root("ryn", k_known_lav, RynDriver::PrepareOnly{});
    root.tell_mode = true;
    Argv usr({"/usr"});
    ASSERT_TRUE(root.set_exec_names(usr.get()));
    EXPECT_EQ(root.exec_dir, "/");
    EXPECT_FALSE(root.install_lib_dir) << "three characters or fewer";
}

TEST(ExecLocation, EngineAndRuntimeDirectoriesFollowTheInstallTree) {
    const ryn_test::TempDir tmp;
    std::filesystem::create_directories(tmp / "P/lib/compilers/amd64");
    RynDriver memvex("memvex", k_known_lav, RynDriver::PrepareOnly{});
    memvex.install_lib_dir = tmp / "P/lib/../lib/compilers";
    memvex.target_path = "/proc/self/exe";
    memvex.set_locations();
    EXPECT_EQ(memvex.morphel_path, tmp / "P/lib/../lib/compilers/morphel");
    EXPECT_EQ(memvex.memvex_lib_dir, tmp / "P/lib/compilers/amd64") << "64-bit, absolute";
    EXPECT_EQ(memvex.audit_lib_dir, tmp / "P/lib/compilers/amd64");
}

}  // namespace
