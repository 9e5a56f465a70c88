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

std::unique_ptr<RynDriver> parsed(std::initializer_list<std::string> args) {
    auto d = std::make_unique<RynDriver>("ryn", k_known_lav, RynDriver::PrepareOnly{});
    parse(*d, args);
    return d;
}

TEST(OptionEffects, VerbosityAndOutputFilesFeedEachListItsOwnWords) {
    const auto d = parsed({"ryn", "analyze", "-v", "-v", "-o", "run.er", "-o", "report.txt",
                           "-o", "d.er/x", "/proc/self/exe"});
    EXPECT_TRUE(d->verbose && d->very_verbose);
    EXPECT_EQ(d->collect_args.sprint(), "-v -o run.er");
    EXPECT_EQ(d->use_args.sprint(), "-ryn -v -out=report.txt -out=d.er/x");
    EXPECT_EQ(d->optimize_args.sprint(), "-ryn -v");
    EXPECT_EQ(d->er_ryn_args.sprint(), "-vv");
    EXPECT_EQ(d->output_files.sprint(), "report.txt d.er/x");

    EXPECT_EQ(parsed({"ryn", "instrument", "-o", "a.out"})->output_file, "a.out");
    EXPECT_EQ(parsed({"ryn", "optimize", "-o", "fast"})->optimize_output, "fast");
    EXPECT_EQ(parsed({"ryn", "collect", "-z", "-z", "-z"})->instrument_record.sprint(),
              "instrument -v -v");
}

TEST(OptionEffects, AnUnknownInstrumentationValueIsExaminedAsAnArgumentOfItsOwn) {
    const auto d = parsed({"ryn", "collect", "-i", "static"});
    EXPECT_TRUE(d->static_instrument);
    EXPECT_FALSE(d->instrument_enabled);
    EXPECT_EQ(d->use_args.sprint(), "-ryn -static");

    Argv argv({"-i", "sometimes"});
    char** cursor = argv.get();
    EXPECT_FALSE(d->process_ryn_driver_arg(cursor));
    EXPECT_EQ(cursor, argv.get() + 1);
    EXPECT_EQ(parsed({"ryn", "collect", "-i", "-d", "dir"})->collect_args.sprint(), "-d dir");
    EXPECT_EXIT(parse(*d, {"ryn", "collect", "-i", "sometimes"}), ::testing::ExitedWithCode(1),
                "^ryn \\(error\\): Invalid option: -i\n$");
}

TEST(OptionEffects, DataDirectoryIsCreatedAndTheEnvironmentOverridesIt) {
    const TempDir tmp;
    const std::string dir = tmp / "a/b";
    {
        const ScopedEnv unset("QVEN_RYN_INSTRDATA_DIR", nullptr);
        const auto d = parsed({"ryn", "collect", "-I", dir});
        struct stat st;
        EXPECT_EQ(stat(dir.c_str(), &st), 0);
        EXPECT_EQ(d->instrdata_base, dir + "/");
    }
    const ScopedEnv env("QVEN_RYN_INSTRDATA_DIR", tmp.path().c_str());
    ::testing::internal::CaptureStderr();
    const auto d = parsed({"ryn", "collect", "-I", dir + "/"});
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "ryn (warning): -I flag ignored, QVEN_RYN_INSTRDATA_DIR set.\n");
    EXPECT_EQ(d->instrdata_base, dir + "/") << "the value is still stored";
    EXPECT_EQ(d->env_instrdata_dir, tmp.path() + "/");
    ::testing::internal::CaptureStderr();
    parsed({"ryn", "instrument", "-I", dir});
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

    for (const auto& [value, expected] :
         {std::pair<std::string, std::string>{"/x/", "/x/"},
          {std::string(1500, 'd'), std::string(1023, 'd') + "/"}}) {
        const ScopedEnv set("QVEN_RYN_INSTRDATA_DIR", value.c_str());
        EXPECT_EQ(RynDriver("ryn", k_known_lav, RynDriver::PrepareOnly{}).env_instrdata_dir,
                  expected);
    }
}

TEST(OptionEffects, AnalysisTypeIsTheFirstHelpWordThatPrefixesTheValue) {
    const auto d = parsed({"ryn", "collect", "-a", "bbc=main", "-a", "branch", "-a", "ccx", "-e",
                           "-E", "calls", "-c", "-F", "lib*"});
    EXPECT_EQ(d->use_args.sprint(), "-ryn -bbc=main -branch -ccx -fignore=lib*");
    EXPECT_EQ(d->er_args.sprint(), "-er -er:calls");
    EXPECT_TRUE(d->analyze_mode && d->analysis_type_given && d->experiment_mode);
    EXPECT_EXIT(parse(*d, {"ryn", "analyze", "-a", "foo"}), ::testing::ExitedWithCode(1),
                "^ryn \\(error\\): Invalid option: -a\n$");
}

TEST(OptionEffects, CollectorOptionsAreTakenInOneCallInTheirOrder) {
    const auto d = parsed({"ryn", "collect"});
    Argv all({"-d", "dir", "-C", "on", "-g", "grp", "-A", "x", "-v"});
    char** cursor = all.get();
    EXPECT_TRUE(d->process_simapp_arg(cursor));
    EXPECT_EQ(cursor, all.get() + 8);
    EXPECT_EQ(d->collect_args.sprint(), "-d dir -C on -g grp -A x");
    EXPECT_TRUE(d->experiment_mode);

    Argv reversed({"-C", "on", "-d", "dir"});
    cursor = reversed.get();
    EXPECT_TRUE(d->process_simapp_arg(cursor));
    EXPECT_EQ(cursor, reversed.get() + 2) << "-d is tested before -C only";
    EXPECT_FALSE(parsed({"ryn", "coverage", "-d", "dir"})->experiment_mode);
}

TEST(OptionEffects, ModeOptionsAreRecordedAsTyped) {
    const auto opt = parsed({"ryn", "optimize", "-O3", "-f", "-Qy", "-xinline=no", "-Wo,-w"});
    EXPECT_EQ(opt->optimize_args.sprint(), "-ryn -optlevel=3 -xkalfix=final -Qy -xinline=no -w");
    EXPECT_EXIT(parse(*opt, {"ryn", "optimize", "-O33"}), ::testing::ExitedWithCode(1),
                "^ryn \\(error\\): Invalid option: -O33\n$");

    const auto d = parsed({"ryn", "instrument", "-M", "-R", "-t", "-m", "on", "-m", "maybe",
                           "-K", "-k", "-N", "libx.so", "-Wi,-deep",
                           "-Wo,-zentor_analytics_file=a", "-Yo,/eng", "-s", ".d", "-r"});
    EXPECT_TRUE(d->tell_mode);
    EXPECT_FALSE(d->follow_dependencies || d->use_rc_library_lists || d->replace_in_place);
    EXPECT_EQ(d->instrument_record.sprint(),
              "instrument -m on -m maybe -K -k -Wi,-deep -Wo,-zentor_analytics_file=a "
              "-Yo,/eng -s .d -r");
    EXPECT_EQ(d->engine_passthrough_args.sprint(), "-mt=on -deep -zentor_analytics_file=a");
    EXPECT_TRUE(d->k_option && d->analytics_file_given && d->morphel_dir_given && d->r_option);
    EXPECT_FALSE(d->read_rc_files);
    EXPECT_EQ(d->excluded_libraries.sprint(), "libx.so");
    EXPECT_EQ(d->morphel_dir, "/eng");
    EXPECT_EQ(d->instrdata_suffix, ".d");

    const auto zentor = parsed({"ryn", "coverage", "-zentor"});
    EXPECT_TRUE(zentor->zentor_front_end);
    EXPECT_EQ(zentor->util->component, "zentor");
}

TEST(OptionEffects, LibraryListFileAddsToTheNamedLibraries) {
    const TempDir tmp;
    ryn_test::write_file(tmp / "libs", "/l/liba.so\n\n/l/libb.so\n");
    const auto d = parsed({"ryn", "analyze", "-l", "first.so", "-L", tmp / "libs", "-u"});
    EXPECT_EQ(d->library_list.sprint(), "first.so /l/liba.so /l/libb.so");
    EXPECT_TRUE(d->remove_instrumented);
}

}  // namespace
