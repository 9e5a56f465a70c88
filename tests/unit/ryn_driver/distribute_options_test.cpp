// What set-up makes of the parsed options: lite mode, the -z count, library
// lists, the main target, output and report names, and the tool arguments.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "ryn/ryn_cache.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/target.h"
#include "setup_fixture.h"

extern char** environ;

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

    // Lite mode asked for is not announced, and still follows no library.
    const auto asked = w.memvex({"-l", "-o", "out", "prog"});
    testing::internal::CaptureStderr();
    asked->distribute_options();
    EXPECT_EQ(testing::internal::GetCapturedStderr().find("lite mode"), std::string::npos);
    EXPECT_FALSE(asked->follow_dependencies);
}

TEST(DistributeOptions, MemvexReportNamesComeFromTheOutputFile) {
    SetupWorld w;
    w.program();
    std::filesystem::create_directory(w.cwd / "sub");
    const auto out = w.memvex({"-T", "-o", "sub/deeper.bin", "prog"});
    out->distribute_options();
    EXPECT_EQ(out->output_file, "sub/deeper.bin");
    EXPECT_EQ(out->html_report, "deeper.bin.html");

    const auto in_place = w.memvex({"-T", "prog"});
    in_place->distribute_options();
    EXPECT_EQ(in_place->output_file, "prog");
    EXPECT_EQ(in_place->html_report, "prog.html");

    const auto text = w.memvex({"-T", "-w", "r.txt", "-o", "out", "prog"});
    text->distribute_options();
    EXPECT_FALSE(text->html_report);
    const auto analyzer = w.memvex({"-T", "-Wd,-a=/an", "-o", "out", "prog"});
    analyzer->distribute_options();
    EXPECT_FALSE(analyzer->html_report);
    const auto both = w.memvex({"-T", "-w", "r.txt", "-H", "r.html", "prog"});
    both->distribute_options();
    EXPECT_EQ(both->html_report, "r.html");
}

TEST(DistributeOptions, LibraryListsTakeConfiguredThenExcludedEntries) {
    SetupWorld w;
    w.program();
    ryn_test::write_file(w.cwd / ".ryn.rc",
                         "append COMMON_IGNORABLE_LIBS /opt/lib/\n"
                         "append MEMVEX_IGNORABLE_LIBS libm1.so\n"
                         "set WRITE_ONLY_LIBS libw.so\n");
    const auto d = w.memvex({"-T", "-N", "libx.so", "-o", "out", "prog"});
    d->distribute_options();
    ASSERT_TRUE(d->rc);
    EXPECT_EQ(items(d->cache->ignorable_libs), (Strings{"libm1.so", "/opt/lib/", "libx.so"}));
    EXPECT_EQ(items(d->cache->write_only_libs), Strings{"libw.so"});

    const auto tell = w.memvex({"-t", "-N", "libx.so", "-o", "out", "prog"});
    tell->distribute_options();
    EXPECT_TRUE(tell->rc);
    EXPECT_EQ(items(tell->cache->ignorable_libs), Strings{"libx.so"});
    EXPECT_TRUE(tell->cache->write_only_libs.empty());

    const auto no_rc = w.memvex({"-T", "-K", "-o", "out", "prog"});
    no_rc->distribute_options();
    EXPECT_FALSE(no_rc->rc);
    EXPECT_TRUE(no_rc->cache->ignorable_libs.empty());
}

TEST(DistributeOptions, GeneralFrontEndNamesOutputsAndArguments) {
    SetupWorld w;
    const std::string prog = w.program();

    const auto collect = w.driver("ryn");
    collect->collect_mode = true;
    collect->target_path = "prog";
    collect->check_file_spec = "chk";
    collect->target_args.add_arg("x");
    collect->target_args.add_arg("-v");
    collect->distribute_options();
    EXPECT_FALSE(collect->r_option);
    EXPECT_EQ(collect->output_file, "prog.instr");
    EXPECT_EQ(items(collect->collect_run_args), (Strings{"prog.instr", "x", "-v"}));
    EXPECT_EQ(collect->main_target->name, prog);
    EXPECT_EQ(collect->main_target->instr_options, "chk");
    EXPECT_FALSE(collect->check_file_spec);
    EXPECT_EQ(collect->cache->base, w.cache.path() + "/count");

    const auto optimize = w.driver("ryn");
    optimize->optimize_mode = true;
    optimize->instrument_enabled = false;
    optimize->replace_in_place = true;
    optimize->target_path = prog;
    testing::internal::CaptureStderr();
    optimize->distribute_options();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ryn (info):  No instrdata file being used\n\n");
    EXPECT_TRUE(optimize->r_option);
    EXPECT_EQ(optimize->optimize_output, prog);
    EXPECT_FALSE(optimize->replace_in_place);
    EXPECT_FALSE(optimize->output_file);

    const auto renamed = w.driver("ryn");
    renamed->optimize_mode = true;
    renamed->target_path = prog;
    renamed->distribute_options();
    EXPECT_EQ(renamed->optimize_output, "./prog.opt");
}

TEST(DistributeOptions, CoverageAddsItsAnalysisAndExperiment) {
    SetupWorld w;
    w.program();
    const auto d = w.driver("ryn");
    d->coverage_mode = true;
    d->target_path = "prog";
    d->distribute_options();
    EXPECT_EQ(items(d->use_args), (Strings{"-ryn", "-bcc"}));
    EXPECT_TRUE(d->analyze_mode && d->analysis_type_given);
    EXPECT_EQ(items(d->er_args), (Strings{"-er:ninstrcover", "-er:function", "-er:executed",
                                          "-er:blockcover%", "-er:instrcover%"}));
    EXPECT_TRUE(d->experiment_mode);
    EXPECT_EQ(d->er_ryn_path, ryn_test::stage_dir() + "/lib/analyzer/er_ryn");
    EXPECT_TRUE(d->er_ryn_args.empty());

    const auto analytics = w.driver("ryn");
    analytics->coverage_mode = true;
    analytics->analytics_file_given = true;
    analytics->target_path = "prog";
    analytics->distribute_options();
    EXPECT_EQ(items(analytics->use_args), (Strings{"-ryn", "-bcc"}));
    EXPECT_TRUE(analytics->er_args.empty());
    EXPECT_FALSE(analytics->experiment_mode);

    // Installed without the experiment tool: the run goes on without it.
    ryn_test::TempDir lonely;
    std::filesystem::create_directory(lonely / "bin");
    const auto missing = w.driver("ryn");
    missing->exec_dir = lonely / "bin";
    missing->coverage_mode = true;
    missing->target_path = "prog";
    testing::internal::CaptureStderr();
    missing->distribute_options();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ryn (info): Cannot find er_ryn, experiment-related options will be ignored.\n\n");
    EXPECT_FALSE(missing->experiment_mode);
}

// A program that keeps running, so that its file cannot be opened for
// writing even by root.
class RunningProgram {
public:
    explicit RunningProgram(const std::string& path) {
        char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
        if (posix_spawn(&pid_, path.c_str(), nullptr, nullptr, argv, environ) != 0) {
            pid_ = -1;
            return;
        }
        const std::string exe = "/proc/" + std::to_string(pid_) + "/exe";
        for (int i = 0; i < 500; ++i) {
            std::error_code ec;
            if (std::filesystem::read_symlink(exe, ec) == path) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~RunningProgram() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool running() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

TEST(DistributeOptionsDeathTest, StopsOnUnusableTargetsAndReports) {
    SetupWorld w;
    const std::string busy = w.program("busy");
    ryn_test::write_file(w.cwd / "sleeper.c",
                         std::string(ryn_test::k_annotate_asm) +
                             "#include <unistd.h>\nint main(void) { sleep(60); return 0; }\n");
    ASSERT_EQ(ryn_test::run_shell("cc -o sleeper sleeper.c", w.cwd.path()).status, 0);
    const RunningProgram running(w.cwd / "sleeper");
    ASSERT_TRUE(running.running());
    EXPECT_EXIT(w.memvex({"-T", "sleeper"})->distribute_options(), testing::ExitedWithCode(1),
                "^memvex \\(error\\): Will not instrument sleeper: Cannot replace\\.\n\n$");

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
