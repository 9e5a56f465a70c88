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

using namespace ryn;

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
        d->options().z_count = given;
        distribute(*d);
        EXPECT_EQ(d->options().z_count, expected[given]) << given << " times -z";
        EXPECT_FALSE(d->state().lite_mode);
    }

    ASSERT_EQ(ryn_test::run_shell("objcopy --strip-all prog", w.cwd.path()).status, 0);
    const auto lite = w.memvex({"-o", "out", "prog"});
    testing::internal::CaptureStderr();
    distribute(*lite);
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind(
                  "memvex (warning): prog will be analyzed in lite mode because it is stripped "
                  "and/or has no annotations.  See memvex documentation",
                  0),
              0u);
    EXPECT_TRUE(lite->state().lite_mode);
    EXPECT_FALSE(following_dependencies(lite->options(), lite->state()) ||
                 lite->state().cache->follow_dependencies);
}

TEST(DistributeOptions, MemvexNamesItsReportAndFillsTheLibraryListsUnlessToldNot) {
    const SetupWorld w;
    w.program();
    ryn_test::write_file(w.cwd / ".ryn.rc",
                         "append COMMON_IGNORABLE_LIBS /opt/lib/\n"
                         "append MEMVEX_IGNORABLE_LIBS libm.so\n"
                         "append RYN_IGNORABLE_LIBS libr.so\n"
                         "set WRITE_ONLY_LIBS libw.so\n");
    const auto out = w.memvex({"-T", "-N", "libx.so", "-o", "sub/deeper.bin", "prog"});
    distribute(*out);
    EXPECT_EQ(out->options().memvex.html_report, "deeper.bin.html");
    EXPECT_EQ(items(out->state().cache->ignorable_libs),
              (Strings{"libm.so", "/opt/lib/", "libx.so"}));
    EXPECT_EQ(items(out->state().cache->write_only_libs), Strings{"libw.so"});

    const auto no_rc = w.memvex({"-T", "-K", "-o", "out", "prog"});
    distribute(*no_rc);
    EXPECT_FALSE(no_rc->state().rc);
    EXPECT_TRUE(no_rc->state().cache->ignorable_libs.empty());
}

// The cache reads the run only through the policy the set-up hands it, so
// what the set-up settles must reach the targets.
TEST(DistributeOptions, TargetsFollowTheSettledOptions) {
    SetupWorld w;
    w.program();
    // A run that uses the program in place puts the original back first and
    // from then on does not count it as replaceable.
    for (const bool analyze : {true, false}) {
        const auto d = w.driver("ryn");
        RynOptions& opts = d->options();
        (analyze ? opts.analyze_mode : opts.instrument_mode) = true;
        opts.replace_in_place = true;
        opts.target_path = "prog";
        distribute(*d);
        EXPECT_EQ(d->state().main_target->replace(), !analyze) << analyze;
    }

    // The checker instruments its program fully with the program's check
    // file, unless told not to, and the libraries named with -c likewise.
    const auto full = w.memvex({"-T", "-c", "libq.so", "-o", "out", "prog:chk"});
    distribute(*full);
    const Target* main = full->state().main_target;
    EXPECT_TRUE(main->full_instr);
    EXPECT_EQ(main->instr_options, "chk");
    EXPECT_EQ(full->state().cache->policy.memvex_check_list, Strings{"libq.so"});
    const auto write_only = w.memvex({"-T", "-n", "-o", "out", "prog"});
    distribute(*write_only);
    EXPECT_FALSE(write_only->state().main_target->full_instr);
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
    check->options().check_mode = true;
    check->options().target_path = "copy";
    EXPECT_EXIT(distribute(*check), testing::ExitedWithCode(0),
                "previously instrumented.*\ninstrumentation args: seen\n");
    EXPECT_TRUE(std::filesystem::is_empty(w.cache.path()));

    EXPECT_EXIT(distribute(*w.memvex({"nothere"})), testing::ExitedWithCode(1),
                "^memvex \\(error\\): File nothere not found\n$");
    const auto no_target = w.driver("ryn");
    no_target->options().instrument_mode = true;
    EXPECT_EXIT(distribute(*no_target), testing::ExitedWithCode(1), "^Usage: ryn ");
}

}  // namespace
