// What the general front end's options record: flags, values and the
// argument lists of the later phases.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>
#include <string>

#include "driver_argv.h"
#include "ryn/ryn_exec_util.h"
#include "support/test_support.h"

namespace {

using ryn_test::ScopedEnv;
using ryn_test::TempDir;

std::unique_ptr<RynDriver> make_driver() {
    return std::make_unique<RynDriver>("ryn", k_known_lav, RynDriver::PrepareOnly{});
}

TEST(OptionEffects, VerboseTwiceFeedsEachListItsOwnWord) {
    auto d(make_driver());
    parse(*d, {"ryn", "analyze", "-v", "-v", "/proc/self/exe"});
    EXPECT_TRUE(d->verbose);
    EXPECT_TRUE(d->very_verbose);
    EXPECT_EQ(d->collect_args.sprint(), "-v");
    EXPECT_EQ(d->use_args.sprint(), "-ryn -v");
    EXPECT_EQ(d->optimize_args.sprint(), "-ryn -v");
    EXPECT_EQ(d->er_ryn_args.sprint(), "-vv");

    auto z(make_driver());
    parse(*z, {"ryn", "collect", "-z", "-z", "-z"});
    EXPECT_EQ(z->z_count, 3);
    EXPECT_EQ(z->instrument_record.sprint(), "instrument -v -v");
}

TEST(OptionEffects, OutputFileMeaningDependsOnTheMode) {
    auto instrument(make_driver());
    parse(*instrument, {"ryn", "instrument", "-o", "a.out"});
    EXPECT_EQ(instrument->output_file, "a.out");

    auto optimize(make_driver());
    parse(*optimize, {"ryn", "optimize", "-o", "fast"});
    EXPECT_EQ(optimize->optimize_output, "fast");
    EXPECT_FALSE(optimize->output_file);

    auto analyze(make_driver());
    parse(*analyze, {"ryn", "analyze", "-o", "run.er", "-o", "report.txt", "-o", "x.er.txt",
                     "-o", "d.er/x"});
    EXPECT_EQ(analyze->collect_args.sprint(), "-o run.er");
    EXPECT_EQ(analyze->output_files.sprint(), "report.txt x.er.txt d.er/x");
    EXPECT_EQ(analyze->use_args.sprint(), "-ryn -out=report.txt -out=x.er.txt -out=d.er/x");
}

TEST(OptionEffects, InstrumentationSwitchAndAnUnknownValue) {
    auto d(make_driver());
    parse(*d, {"ryn", "collect", "-i", "static"});
    EXPECT_TRUE(d->static_instrument);
    EXPECT_FALSE(d->instrument_enabled);
    EXPECT_EQ(d->use_args.sprint(), "-ryn -static");
    parse(*d, {"ryn", "collect", "-i", "on"});
    EXPECT_FALSE(d->static_instrument);
    EXPECT_TRUE(d->instrument_enabled);
    parse(*d, {"ryn", "collect", "-i", "off"});
    EXPECT_FALSE(d->static_instrument);
    EXPECT_FALSE(d->instrument_enabled);

    // Declined with the cursor on the value...
    Argv argv({"-i", "sometimes", "x"});
    char** cursor = argv.get();
    EXPECT_FALSE(d->process_ryn_driver_arg(cursor));
    EXPECT_EQ(cursor, argv.get() + 1);
    // ...which the mode options then examine; a refusal names the option.
    EXPECT_EXIT(parse(*d, {"ryn", "collect", "-i", "sometimes"}), ::testing::ExitedWithCode(1),
                "^ryn \\(error\\): Invalid option: -i\n$");
    auto e(make_driver());
    parse(*e, {"ryn", "collect", "-i", "-d", "dir"});
    EXPECT_EQ(e->collect_args.sprint(), "-d dir");
}

TEST(OptionEffects, DataDirectoryIsCreatedAndTheEnvironmentOverridesIt) {
    const TempDir tmp;
    const std::string dir = tmp / "a/b";
    {
        const ScopedEnv unset("QVEN_RYN_INSTRDATA_DIR", nullptr);
        auto d(make_driver());
        parse(*d, {"ryn", "collect", "-I", dir});
        struct stat st;
        EXPECT_EQ(stat(dir.c_str(), &st), 0);
        EXPECT_EQ(d->instrdata_base, dir + "/");
        EXPECT_EQ(d->instrument_record.sprint(), "instrument -I " + dir);
        parse(*d, {"ryn", "collect", "-I", dir + "/"});
        EXPECT_EQ(d->instrdata_base, dir + "/");
    }
    const ScopedEnv env("QVEN_RYN_INSTRDATA_DIR", tmp.path().c_str());
    auto d(make_driver());
    EXPECT_EQ(d->env_instrdata_dir, tmp.path() + "/");
    ::testing::internal::CaptureStderr();
    parse(*d, {"ryn", "collect", "-I", dir});
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "ryn (warning): -I flag ignored, QVEN_RYN_INSTRDATA_DIR set.\n");
    EXPECT_EQ(d->instrdata_base, dir + "/") << "the value is still stored";

    auto instrument(make_driver());
    ::testing::internal::CaptureStderr();
    parse(*instrument, {"ryn", "instrument", "-I", dir});
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(OptionEffects, EnvironmentDataDirectoryGetsOneTrailingSlash) {
    for (const auto& [value, expected] :
         {std::pair<std::string, std::string>{"/x/y", "/x/y/"}, {"/x/y/", "/x/y/"},
          {std::string(1500, 'd'), std::string(1023, 'd') + "/"}}) {
        const ScopedEnv env("QVEN_RYN_INSTRDATA_DIR", value.c_str());
        auto d(make_driver());
        EXPECT_EQ(d->env_instrdata_dir, expected);
    }
}

TEST(OptionEffects, AnalysisTypeIsTheFirstHelpWordThatPrefixesTheValue) {
    auto d(make_driver());
    parse(*d, {"ryn", "collect", "-a", "bbc=main", "-a", "branch", "-a", "ccx"});
    EXPECT_EQ(d->use_args.sprint(), "-ryn -bbc=main -branch -ccx");
    EXPECT_TRUE(d->analyze_mode);
    EXPECT_TRUE(d->analysis_type_given);
    EXPECT_EXIT(parse(*d, {"ryn", "analyze", "-a", "foo"}), ::testing::ExitedWithCode(1),
                "^ryn \\(error\\): Invalid option: -a\n$");

    auto long_value(make_driver());
    parse(*long_value, {"ryn", "analyze", "-a", "dis=" + std::string(2000, 'f')});
    EXPECT_EQ(std::string(long_value->use_args[1]).size(), 1023u);
}

TEST(OptionEffects, ExperimentAndCoverageOptions) {
    auto d(make_driver());
    parse(*d, {"ryn", "collect", "-e", "-E", "calls", "-Wa,-deep", "-c", "-F", "lib*"});
    EXPECT_EQ(d->er_args.sprint(), "-er -er:calls");
    EXPECT_TRUE(d->analyze_mode);
    EXPECT_TRUE(d->experiment_mode);
    EXPECT_TRUE(d->coverage_mode);
    EXPECT_EQ(d->use_args.sprint(), "-ryn -deep -fignore=lib*");
}

TEST(OptionEffects, CollectorOptionsAreTakenInOneCallInTheirOrder) {
    auto d(make_driver());
    parse(*d, {"ryn", "collect"});
    Argv all({"-d", "dir", "-C", "on", "-g", "grp", "-A", "x", "-v"});
    char** cursor = all.get();
    EXPECT_TRUE(d->process_simapp_arg(cursor));
    EXPECT_EQ(cursor, all.get() + 8);
    EXPECT_EQ(d->collect_args.sprint(), "-d dir -C on -g grp -A x");
    EXPECT_TRUE(d->experiment_mode);

    auto e(make_driver());
    parse(*e, {"ryn", "analyze"});
    Argv reversed({"-C", "on", "-d", "dir"});
    cursor = reversed.get();
    EXPECT_TRUE(e->process_simapp_arg(cursor));
    EXPECT_EQ(cursor, reversed.get() + 2) << "-d is tested before -C only";

    auto f(make_driver());
    parse(*f, {"ryn", "coverage", "-d", "dir"});
    EXPECT_FALSE(f->experiment_mode) << "a data directory alone is no experiment";
}

TEST(OptionEffects, OptimizationOptions) {
    auto d(make_driver());
    parse(*d, {"ryn", "optimize", "-O3", "-f", "-Qy", "-Qn", "-xinline=no", "-Wo,-fast"});
    EXPECT_EQ(d->optimize_args.sprint(),
              "-ryn -optlevel=3 -xkalfix=final -Qy -Qn -xinline=no -fast");
    EXPECT_EXIT(parse(*d, {"ryn", "optimize", "-O33"}), ::testing::ExitedWithCode(1),
                "^ryn \\(error\\): Invalid option: -O33\n$");
    auto c(make_driver());
    parse(*c, {"ryn", "collect", "-O", "log"});
    EXPECT_EQ(c->redirect_file, "log");
}

TEST(OptionEffects, TellModeOnlyWhenInstrumentingAndItDropsLibraryFollowing) {
    auto d(make_driver());
    parse(*d, {"ryn", "collect", "-M", "-R", "-t"});
    EXPECT_TRUE(d->tell_mode);
    EXPECT_FALSE(d->follow_dependencies);
    EXPECT_FALSE(d->use_rc_library_lists);
    EXPECT_FALSE(d->replace_in_place);
    auto analyze = make_driver();
    EXPECT_EXIT(parse(*analyze, {"ryn", "analyze", "-t"}), ::testing::ExitedWithCode(1),
                "^ryn \\(error\\): Invalid option: -t\n$");
}

TEST(OptionEffects, InstrumentationOptionsAreRecordedAsTyped) {
    auto d(make_driver());
    parse(*d, {"ryn", "instrument", "-m", "on", "-m", "off", "-m", "maybe", "-K", "-k", "-N",
               "libx.so", "-Wi,-deep", "-Wo,-zentor_analytics_file=a", "-Yo,/eng", "-s",
               ".d", "-r", "-n", "-D", "/c", "-l", "liby.so", "-X"});
    EXPECT_EQ(d->instrument_record.sprint(),
              "instrument -m on -m off -m maybe -K -k -Wi,-deep "
              "-Wo,-zentor_analytics_file=a -Yo,/eng -s .d -r");
    EXPECT_EQ(d->engine_passthrough_args.sprint(),
              "-mt=on -mt=off -deep -zentor_analytics_file=a");
    EXPECT_FALSE(d->read_rc_files);
    EXPECT_TRUE(d->k_option);
    EXPECT_EQ(d->excluded_libraries.sprint(), "libx.so");
    EXPECT_TRUE(d->analytics_file_given);
    EXPECT_EQ(d->morphel_dir, "/eng");
    EXPECT_TRUE(d->morphel_dir_given);
    EXPECT_EQ(d->er_ryn_args.sprint(), "-Yo,/eng");
    EXPECT_EQ(d->instrdata_suffix, ".d");
    EXPECT_TRUE(d->r_option);
    EXPECT_TRUE(d->dry_run);
    EXPECT_EQ(d->cache_dir, "/c");
    EXPECT_EQ(d->library_list.sprint(), "liby.so");
    EXPECT_FALSE(d->mark_last_fg);
}

TEST(OptionEffects, LibraryListFileAndRemovalOption) {
    const TempDir tmp;
    ryn_test::write_file(tmp / "libs", "/l/liba.so\n\n/l/libb.so\n");
    auto d(make_driver());
    parse(*d, {"ryn", "analyze", "-l", "first.so", "-L", tmp / "libs", "-u", "-U", "prog"});
    EXPECT_EQ(d->library_list.sprint(), "first.so /l/liba.so /l/libb.so");
    EXPECT_TRUE(d->remove_instrumented);
    EXPECT_EQ(d->target_is_shared, 0);
    EXPECT_EQ(d->u_argument, "prog");
}

}  // namespace
