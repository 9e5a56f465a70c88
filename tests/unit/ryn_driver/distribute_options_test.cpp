// What set-up makes of the parsed options: lite mode, the -z count, library
// lists, the main target, output and report names, the tool arguments, and
// the runs that end here.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

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

const std::string k_lite_warning =
    " will be analyzed in lite mode because it is stripped and/or has no annotations.  See "
    "memvex documentation for compiler flag/OS recommendations.\n";

TEST(DistributeOptions, ZCountKeepsZeroAndOneAndDropsOneAboveThat) {
    SetupWorld w;
    w.program();
    const int expected[] = {0, 1, 0, 2, 3};
    for (int given = 0; given <= 4; ++given) {
        Strings args{"-T", "-o", "out"};
        for (int i = 0; i < given; ++i) {
            args.push_back("-Wd,-z");
        }
        args.push_back("prog");
        const auto d = w.memvex(args);
        d->distribute_options();
        EXPECT_EQ(d->z_count, expected[given]) << given << " times -z";
    }
}

TEST(DistributeOptions, MemvexTargetWithoutSymbolTableRunsInLiteMode) {
    SetupWorld w;
    w.program();
    ASSERT_EQ(ryn_test::run_shell("objcopy --strip-all prog", w.cwd.path()).status, 0);

    const auto d = w.memvex({"-o", "out", "prog"});
    testing::internal::CaptureStderr();
    d->distribute_options();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("memvex (warning): prog" + k_lite_warning, 0), 0u) << err;
    EXPECT_TRUE(d->lite_mode);
    EXPECT_FALSE(d->follow_dependencies);
    EXPECT_FALSE(d->cache->follow_dependencies);
    EXPECT_EQ(d->cache->ntargets, 1);

    const auto race = w.memvex({"-i", "datarace", "-o", "out", "prog"});
    testing::internal::CaptureStderr();
    race->distribute_options();
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind(
                  "memvex (warning): prog is stripped and/or has no annotations. Results may be "
                  "incomplete.  See memvex documentation for compiler flag/OS recommendations.\n",
                  0),
              0u);
}

TEST(DistributeOptions, MemvexNamesItsReportAndFillsTheLibraryLists) {
    SetupWorld w;
    w.program();
    std::filesystem::create_directory(w.cwd / "sub");
    ryn_test::write_file(w.cwd / ".ryn.rc", "append COMMON_IGNORABLE_LIBS /opt/lib/\n"
                                            "append MEMVEX_IGNORABLE_LIBS libm.so\n"
                                            "set WRITE_ONLY_LIBS libw.so\n");
    const auto out = w.memvex({"-T", "-N", "libx.so", "-o", "sub/deeper.bin", "prog"});
    out->distribute_options();
    EXPECT_EQ(out->output_file, "sub/deeper.bin");
    EXPECT_EQ(out->html_report, "deeper.bin.html");
    EXPECT_EQ(items(out->cache->ignorable_libs), (Strings{"libm.so", "/opt/lib/", "libx.so"}));
    EXPECT_EQ(items(out->cache->write_only_libs), Strings{"libw.so"});

    const auto in_place = w.memvex({"-T", "prog"});
    in_place->distribute_options();
    EXPECT_EQ(in_place->output_file, "prog");
    EXPECT_EQ(in_place->html_report, "prog.html");
    const auto text = w.memvex({"-T", "-w", "r.txt", "-o", "out", "prog"});
    text->distribute_options();
    EXPECT_FALSE(text->html_report);
}

TEST(DistributeOptions, GeneralFrontEndNamesOutputsAndAddsCoverageArguments) {
    SetupWorld w;
    w.program();
    const auto collect = w.driver("ryn");
    collect->collect_mode = true;
    collect->coverage_mode = true;
    collect->target_path = "prog";
    collect->check_file_spec = "chk";
    collect->target_args.add_arg("-v");
    collect->distribute_options();
    EXPECT_FALSE(collect->r_option);
    EXPECT_EQ(items(collect->collect_run_args), (Strings{"prog.instr", "-v"}));
    EXPECT_EQ(collect->main_target->instr_options, "chk");
    EXPECT_FALSE(collect->check_file_spec);
    EXPECT_EQ(items(collect->use_args), (Strings{"-ryn", "-bcc"}));
    EXPECT_EQ(items(collect->er_args), (Strings{"-er:ninstrcover", "-er:function", "-er:executed",
                                                "-er:blockcover%", "-er:instrcover%"}));
    EXPECT_TRUE(collect->analyze_mode && collect->experiment_mode);
    EXPECT_EQ(collect->er_ryn_path, ryn_test::stage_dir() + "/lib/analyzer/er_ryn");
}

TEST(DistributeOptionsDeathTest, RunsThatEndDuringSetUp) {
    SetupWorld w;
    const std::string busy = w.program("busy");
    // Check mode reports in detail (the engine's records of a copy) and
    // stops before the cache exists.
    ASSERT_EQ(ryn_test::run({ryn_test::stage_lib("morphel"), "-ryn",
                             "-comment=instrumentation args: seen", "-o", w.cwd / "copy", busy})
                  .status,
              0);
    const auto check = w.driver("ryn");
    check->check_mode = true;
    check->target_path = "copy";
    EXPECT_EXIT(check->distribute_options(), testing::ExitedWithCode(0),
                "previously instrumented.*\ninstrumentation args: seen\n");
    EXPECT_TRUE(std::filesystem::is_empty(w.cache.path()));

    // A running program cannot be opened for writing, even by root.
    ryn_test::write_file(w.cwd / "sleeper.c", std::string(ryn_test::k_annotate_asm) +
                                                  "#include <unistd.h>\nint main(void) { sleep(60); }\n");
    const ryn_test::RunResult started = ryn_test::run_shell(
        "cc -o sleeper sleeper.c && { ./sleeper >/dev/null 2>&1 & p=$!; for i in $(seq 500); do "
        "[ \"$(readlink /proc/$p/exe)\" = \"$PWD/sleeper\" ] && break; sleep 0.01; done; echo $p; }",
        w.cwd.path());
    ASSERT_EQ(started.status, 0);
    const pid_t sleeper = std::stoi(started.out);
    EXPECT_EXIT(w.memvex({"-T", "sleeper"})->distribute_options(), testing::ExitedWithCode(1),
                "^memvex \\(error\\): Will not instrument sleeper: Cannot replace\\.\n\n$");
    kill(sleeper, SIGKILL);

    EXPECT_EXIT(w.memvex({"nothere"})->distribute_options(), testing::ExitedWithCode(1),
                "^memvex \\(error\\): File nothere not found\n$");
    EXPECT_EXIT(w.driver("ryn")->distribute_options(), testing::ExitedWithCode(1), "^Usage: ryn ");
    EXPECT_EXIT(w.memvex({"-T", "-w", "same", "-H", "same", "busy"})->distribute_options(),
                testing::ExitedWithCode(1),
                "^memvex \\(error\\): -H html_file and -w txt_file cannot be the same file\n$");

    const auto library = w.driver("ryn");
    library->target_path = "busy";
    library->library_list.add_arg(busy);
    EXPECT_EXIT(library->distribute_options(), testing::ExitedWithCode(1),
                "^ryn \\(error\\): File not a shared object: " + busy + "\n$");
}

}  // namespace
