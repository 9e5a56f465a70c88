// The front ends' command lines: which options each mode of the general one
// accepts, and what the options of either record: flags, values, the
// argument lists of the later phases, the -c forms, the target with its
// arguments and check file. The checker's values handed on unchanged are
// checked in the run-information file they end up in.
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ryn/ryn_exec_util.h"
#include "setup_fixture.h"
#include "support/test_support.h"

using namespace ryn;

namespace {

using ryn_test::exists;
using setup_test::items;
using setup_test::Strings;

enum Mode : unsigned { INSTR = 1, COLLECT = 2, ANALYZE = 4, COVERAGE = 8, OPT = 16, CHECK = 32 };
constexpr unsigned ALL = 63, DATA = ANALYZE | COLLECT | COVERAGE;

// In the order of the Mode bits.
constexpr const char* k_words[] = {"instrument", "collect",  "analyze",
                                   "coverage",   "optimize", "check"};

void parse_in(const char* mode, std::vector<std::string> args) {
    args.insert(args.begin(), {"ryn", mode});
    parsed(std::move(args));
}

TEST(OptionsByMode, EachOptionIsAcceptedExactlyInItsModes) {
    const ryn_test::TempDir tmp;
    const std::string dir = tmp.path();
    // One option per way of refusing: its own mode test, or the mode
    // handler that takes it.
    const std::vector<std::pair<std::vector<std::string>, unsigned>> rows = {
        {{"-i", "on"}, ALL & ~(INSTR | CHECK)},
        {{"-D", dir}, ALL & ~(CHECK | OPT)},
        {{"-O", dir + "/log"}, COLLECT},
        {{"-n"}, ALL},
        {{"-o", dir + "/o.txt"}, ALL & ~CHECK},
        {{"-u"}, ALL & ~(CHECK | INSTR)},
        {{"-X"}, ALL & ~OPT},
        {{"-d", dir}, DATA},
        {{"-E", "x"}, DATA},
        {{"-O3"}, OPT},
        {{"-g"}, INSTR},
        {{"-m", "on"}, COLLECT | INSTR},
        {{"-b"}, 0},
        {{"-F", "x"}, COVERAGE},
        {{"-Q"}, 0},
    };
    for (const auto& [args, accepted_in] : rows) {
        for (unsigned i = 0; i < 6; ++i) {
            if (accepted_in & (1u << i)) {
                parse_in(k_words[i], args);
            } else {
                EXPECT_EXIT(parse_in(k_words[i], args), ::testing::ExitedWithCode(1),
                            invalid_option_regex(args[0]))
                    << args[0] << " in " << k_words[i];
            }
        }
        // An option whose value is missing is refused without reading past argv.
        if (args.size() == 2 && (accepted_in & COLLECT)) {
            EXPECT_EXIT(parse_in("collect", {args[0]}), ::testing::ExitedWithCode(1),
                        invalid_option_regex(args[0]));
        }
    }
}

TEST(OptionEffects, VerbosityOutputsAndDataLocationsFeedEachListItsOwnWords) {
    const ryn_test::TempDir tmp;
    ryn_test::write_file(tmp / "libs", "/l/liba.so\n\n/l/libb.so\n");
    const ryn_test::ScopedEnv env("QVEN_RYN_INSTRDATA_DIR", std::string(1500, 'd').c_str());
    ::testing::internal::CaptureStderr();
    const auto d =
        parsed({"ryn", "analyze", "-v", "-v", "-o", "run.er", "-o", "report.txt", "-o", "d.er/x",
                "-l", "first.so", "-L", tmp / "libs", "-z", "-z", "-z", "-I", tmp / "a/b"});
    const RynOptions& opts = d->options();
    const ToolArgs& tools = d->tool_args();
    parsed({"ryn", "instrument", "-I", tmp / "a/b/"});
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "ryn (warning): -I flag ignored, QVEN_RYN_INSTRDATA_DIR set.\n");
    EXPECT_EQ(tools.collect_args.sprint(), "-v -o run.er");
    EXPECT_EQ(tools.use_args.sprint() + " | " + tools.optimize_args.sprint() + " | " +
                  tools.er_ryn_args.sprint(),
              "-ryn -v -out=report.txt -out=d.er/x | -ryn -v | -vv");
    EXPECT_EQ(opts.output_files.sprint() + " | " + opts.library_list.sprint(),
              "report.txt d.er/x | first.so /l/liba.so /l/libb.so");
    EXPECT_EQ(tools.instrument_record.sprint(), "-v -v -I " + tmp / "a/b");
    EXPECT_TRUE(ryn_test::exists(tmp / "a/b"));
    EXPECT_EQ(opts.instrdata_base, tmp / "a/b/") << "the value is still stored";
    EXPECT_EQ(opts.env_instrdata_dir, std::string(1023, 'd') + "/");
    EXPECT_EQ(*parsed({"ryn", "instrument", "-o", "a.out"})->options().output_file +
                  *parsed({"ryn", "optimize", "-o", "fast"})->options().optimize_output,
              "a.outfast");
}

TEST(OptionEffects, InstrumentationSwitchAndAnalysisTypes) {
    const auto d =
        parsed({"ryn", "collect", "-i",    "static", "-a", "bbc=main", "-a", "branch", "-a", "ccx",
                "-e",  "-E",      "calls", "-c",     "-F", "lib*",     "-d", "dir",    "-C", "on"});
    const RynOptions& opts = d->options();
    const ToolArgs& tools = d->tool_args();
    EXPECT_EQ(tools.use_args.sprint() + " | " + tools.er_args.sprint() + " | " +
                  tools.collect_args.sprint() + " | " + tools.instrument_record.sprint(),
              "-ryn -static -bbc=main -branch -ccx -fignore=lib* | -er -er:calls | -d dir -C on | "
              "instrument");
    EXPECT_TRUE(opts.analyze_mode && opts.analysis_type_given && opts.experiment_mode);
    EXPECT_FALSE(parsed({"ryn", "coverage", "-d", "dir"})->options().experiment_mode);
    EXPECT_EXIT(parsed({"ryn", "analyze", "-a", "foo"}), ::testing::ExitedWithCode(1),
                invalid_option_regex("-a"));
    // An unknown -i value is examined as an argument of its own.
    EXPECT_EQ(parsed({"ryn", "collect", "-i", "-d", "dir"})->tool_args().collect_args.sprint(),
              "-d dir");
    EXPECT_EXIT(parsed({"ryn", "collect", "-i", "sometimes"}), ::testing::ExitedWithCode(1),
                invalid_option_regex("-i"));
}

TEST(OptionEffects, InstrumentingOptionsAreRecordedAsTyped) {
    const auto opt = parsed({"ryn", "optimize", "-O3", "-f", "-Qy", "-xinline=no", "-Wo,-w"});
    EXPECT_EQ(opt->tool_args().optimize_args.sprint(),
              "-ryn -optlevel=3 -xkalfix=final -Qy -xinline=no -w");
    const auto d = parsed({"ryn",      "instrument", "-M",      "-R",
                           "-t",       "-m",         "on",      "-m",
                           "maybe",    "-K",         "-k",      "-N",
                           "libx.so",  "-Wi,-deep",  "-zentor", "-Wo,-zentor_analytics_file=a",
                           "-Yo,/eng", "-s",         ".d",      "-r"});
    const RynOptions& opts = d->options();
    const ToolArgs& tools = d->tool_args();
    EXPECT_TRUE(opts.tell_mode && !opts.follow_dependencies && !opts.use_rc_library_lists &&
                !opts.replace_in_place);
    EXPECT_EQ(tools.instrument_record.sprint(),
              "instrument -m on -m maybe -K -k -Wi,-deep -Wo,-zentor_analytics_file=a "
              "-Yo,/eng -s .d -r");
    EXPECT_EQ(tools.engine_passthrough_args.sprint(), "-mt=on -deep -zentor_analytics_file=a");
    EXPECT_TRUE(opts.k_option && opts.analytics_file_given && opts.r_option && !opts.read_rc_files);
    EXPECT_EQ(d->util().component, "zentor");
}

TEST(OptionEffects, CheckFilePartIsCutAndEverythingAfterTheTargetIsItsOwn) {
    Argv argv({"ryn", "collect", "/proc/self/exe:opts:more", "x", "-v", "-Q"});
    const auto d = prepared();
    const RynOptions& opts = d->options();
    process_options(argv.argc(), argv.get(), d->options(), d->tool_args(), d->locations(),
                    d->util());
    EXPECT_EQ(*opts.target_path + " | " + *opts.check_file_spec + " | " + argv.get()[2] + " | " +
                  opts.target_args.sprint(),
              "/proc/self/exe | opts:more | /proc/self/exe | x -v -Q");
    EXPECT_EQ(opts.target_is_shared, TargetKind::executable);
    const auto library = parsed({"ryn", "collect", ryn_test::stage_lib("amd64/ryndl.so")});
    EXPECT_EQ(library->options().target_is_shared, TargetKind::shared_object);
}

// The words of `text`, split at blanks.
Strings words(const std::string& text) {
    Strings out;
    std::istringstream in(text);
    for (std::string word; in >> word;) {
        out.push_back(word);
    }
    return out;
}

TEST(MemvexOptions, SettingsAreStoredAndRecordedAsTyped) {
    const setup_test::SetupWorld w;
    ryn_test::write_file(w.cwd / "list", "libA.so\n\n   \t\nlibB.so  \t\n  libC.so:chk\nlibD.so");
    ASSERT_TRUE(
        ryn_test::compile_c("int f(void) { return 1; }\n", w.cwd / "libE.so", "-shared -fPIC"));
    // A blank in the path must not let the removal of old results reach "<cwd>/a".
    ASSERT_EQ(ryn_test::run_shell("mkdir -p 'a b/p.analyze/dynamic/old' a && touch 'a b/p' a/keep",
                                  w.cwd.path())
                  .status,
              0);
    const std::string recorded =
        "-K -k -s -S 12x -i memcheck -Yo,/eng -Wi,-a=1 -W o,-a=1 -Wd,-u -Wd,-c -Wd,-P/rt "
        "-c libnone.so:file -c list:x -c libE.so -c -";
    Strings args = words(recorded + " -a -v -v -t");
    args.push_back("a b/p:x:y");
    const auto d = w.memvex(args);
    const RynOptions& opts = d->options();
    const ToolArgs& tools = d->tool_args();
    // Joined options are recorded as two words, split after the letter.
    EXPECT_EQ(
        tools.instrument_record.sprint(),
        "-K -k -s -S 12x -i memcheck -Y o,/eng -W i,-a=1 -W o,-a=1 -W d,-u -W d,-c -W d,-P/rt "
        "-c libnone.so:file -c list:x -c libE.so -c -");
    EXPECT_EQ(items(opts.memvex.memvex_check_list),
              (Strings{"libnone.so", "libA.so", "libB.so", "  libC.so:chk", "libD.so", "libE.so"}));
    EXPECT_EQ(items(tools.engine_passthrough_args), (Strings{"-a=1", "-a=1"}));
    EXPECT_TRUE(opts.k_option && opts.skip_bad_libraries && opts.memvex.memvex_c_flag &&
                opts.verbose && opts.very_verbose && opts.tell_mode &&
                opts.memvex.check_all_libraries);
    EXPECT_FALSE(opts.read_rc_files || opts.memvex.data_race_mode || opts.memvex.memvex_u_flag ||
                 opts.follow_dependencies || opts.use_rc_library_lists || opts.replace_in_place);
    const std::string dynamic = w.cwd / "a b/p.analyze/dynamic";
    EXPECT_EQ((Strings{std::to_string(opts.memvex.memvex_S_value), *d->locations().morphel_dir,
                       *d->locations().memvex_lib_dir, *opts.target_path, *opts.check_file_spec,
                       *opts.memvex.analyzer_dir}),
              (Strings{"12", "/eng", "/rt", "a b/p", "x:y", dynamic + "/latest"}));
    EXPECT_TRUE(exists(dynamic) && exists(w.cwd / "a/keep"));
    EXPECT_FALSE(exists(dynamic + "/old"));

    const auto d2 = w.memvex({"-Wd,-c", "-Wd,-u", "-i", "dataraces", "-H", "-", "prog:chk"});
    const RynOptions& opts2 = d2->options();
    EXPECT_TRUE(opts2.memvex.memvex_u_flag && opts2.memvex.data_race_mode &&
                !opts2.memvex.memvex_c_flag);
    EXPECT_EQ((Strings{*opts2.memvex.html_report, *opts2.target_path, *opts2.check_file_spec}),
              (Strings{"-", "prog", "chk"}));
}

}  // namespace
