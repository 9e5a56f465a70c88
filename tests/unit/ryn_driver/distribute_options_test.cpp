// What set-up makes of the parsed options: lite mode, the -z count, library
// lists, the main target, output and report names, the tool arguments, and
// the runs that end here.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "ryn/ryn_cache.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/target.h"
#include "setup_fixture.h"

using setup_test::items;
using setup_test::SetupWorld;
using setup_test::Strings;

namespace {

TEST(DistributeOptions, MemvexSettlesTheZCountAndLiteMode) {
    SetupWorld w;
    w.program();
    const int expected[] = {0, 1, 0, 2, 3};
    for (int given = 0; given <= 4; ++given) {
        const auto d = w.memvex({"-T", "-o", "out", "prog"});
        d->z_count = given;
        d->distribute_options();
        EXPECT_EQ(d->z_count, expected[given]) << given << " times -z";
        EXPECT_FALSE(d->lite_mode);
    }

    ASSERT_EQ(ryn_test::run_shell("objcopy --strip-all prog", w.cwd.path()).status, 0);
    const auto lite = w.memvex({"-o", "out", "prog"});
    testing::internal::CaptureStderr();
    lite->distribute_options();
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind(
                  "memvex (warning): prog will be analyzed in lite mode because it is stripped "
                  "and/or has no annotations.  See memvex documentation", 0),
              0u);
    EXPECT_TRUE(lite->lite_mode);
    EXPECT_FALSE(lite->follow_dependencies || lite->cache->follow_dependencies);
}

TEST(DistributeOptions, MemvexNamesItsReportAndFillsTheLibraryListsUnlessToldNot) {
    const SetupWorld w;
    w.program();
    ryn_test::write_file(w.cwd / ".ryn.rc", "append COMMON_IGNORABLE_LIBS /opt/lib/\n"
                                            "append MEMVEX_IGNORABLE_LIBS libm.so\n"
                                            "append RYN_IGNORABLE_LIBS libr.so\n"
                                            "set WRITE_ONLY_LIBS libw.so\n");
    const auto out = w.memvex({"-T", "-N", "libx.so", "-o", "sub/deeper.bin", "prog"});
    out->distribute_options();
    EXPECT_EQ(out->html_report, "deeper.bin.html");
    EXPECT_EQ(items(out->cache->ignorable_libs), (Strings{"libm.so", "/opt/lib/", "libx.so"}));
    EXPECT_EQ(items(out->cache->write_only_libs), Strings{"libw.so"});

    const auto no_rc = w.memvex({"-T", "-K", "-o", "out", "prog"});
    no_rc->distribute_options();
    EXPECT_FALSE(no_rc->rc);
    EXPECT_TRUE(no_rc->cache->ignorable_libs.empty());
}

TEST(DistributeOptionsDeathTest, RunsThatEndDuringSetUp) {
    SetupWorld w;
    const std::string prog = w.program();
    // Check mode inspects at the detailed level (the engine's records of a
    // copy) and stops before the cache exists.
    ASSERT_EQ(ryn_test::run({ryn_test::stage_lib("morphel"), "-ryn",
                             "-comment=instrumentation args: seen", "-o", w.cwd / "copy", prog})
                  .status,
              0);
    const auto check = w.driver("ryn");
    check->check_mode = true;
    check->target_path = "copy";
    EXPECT_EXIT(check->distribute_options(), testing::ExitedWithCode(0),
                "previously instrumented.*\ninstrumentation args: seen\n");
    EXPECT_TRUE(std::filesystem::is_empty(w.cache.path()));

    EXPECT_EXIT(w.memvex({"nothere"})->distribute_options(), testing::ExitedWithCode(1),
                "^memvex \\(error\\): File nothere not found\n$");
    const auto no_target = w.driver("ryn");
    no_target->instrument_mode = true;
    EXPECT_EXIT(no_target->distribute_options(), testing::ExitedWithCode(1), "^Usage: ryn ");
}

}  // namespace
