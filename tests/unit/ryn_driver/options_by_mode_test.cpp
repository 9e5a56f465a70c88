// The mode word, and which options each mode accepts: every option of the
// general front end in every mode, accepted or refused with "Invalid option".
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver_argv.h"
#include "support/test_support.h"

namespace {

enum Mode : unsigned { INSTR = 1, COLLECT = 2, ANALYZE = 4, COVERAGE = 8, OPT = 16, CHECK = 32 };
constexpr unsigned ALL = 63, DATA = ANALYZE | COLLECT | COVERAGE;

struct ModeWord {
    Mode mode;
    const char* word;
    bool RynDriver::*flag;
};
constexpr ModeWord k_modes[] = {{INSTR, "instrument", &RynDriver::instrument_mode},
                                {COLLECT, "collect", &RynDriver::collect_mode},
                                {ANALYZE, "analyze", &RynDriver::analyze_mode},
                                {COVERAGE, "coverage", &RynDriver::coverage_mode},
                                {OPT, "optimize", &RynDriver::optimize_mode},
                                {CHECK, "check", &RynDriver::check_mode}};

void parse_in(RynDriver& d, const char* mode, const std::vector<std::string>& args) {
    std::vector<std::string> strings = {"ryn", mode};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : strings) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);
    d.process_options(static_cast<int>(strings.size()), argv.data());
}

TEST(OptionsByMode, EachModeWordSetsOnlyItsModeAndTheInstrumentingOnesAreRecorded) {
    for (const ModeWord& m : k_modes) {
        RynDriver d("ryn", k_known_lav, RynDriver::PrepareOnly{});
        parse_in(d, m.word, {});
        for (const ModeWord& other : k_modes) {
            EXPECT_EQ(d.*other.flag, &other == &m) << m.word << " sets " << other.word;
        }
        EXPECT_EQ(d.instrument_record.sprint(), m.mode & (INSTR | COLLECT) ? "instrument" : "");
    }
    // Before the executable is located the usage names the general command.
    const char* const launcher_usage = short_usage;
    short_usage = "U<%s><%s>\n";
    RynDriver d("ryn", k_known_lav, RynDriver::PrepareOnly{});
    EXPECT_EXIT(parse(d, {"ryn"}), ::testing::ExitedWithCode(1), "^U<ryn><     >\n$");
    short_usage = launcher_usage;
}

TEST(OptionsByMode, EachOptionIsAcceptedExactlyInItsModes) {
    const ryn_test::TempDir tmp;
    const std::string dir = tmp.path();
    const std::vector<std::pair<std::vector<std::string>, unsigned>> rows = {
        {{"-i", "on"}, ALL & ~(INSTR | CHECK)}, {{"-D", dir}, ALL & ~(CHECK | OPT)},
        {{"-n"}, ALL},                          {{"-S"}, ALL & ~(CHECK | OPT)},
        {{"-U", "name"}, ALL & ~(CHECK | OPT)}, {{"-M"}, ALL & ~(CHECK | OPT)},
        {{"-c"}, COLLECT},                      {{"-v"}, ALL},
        {{"-z"}, ALL},                          {{"-Yo," + dir}, ALL},
        {{"-s", ".d"}, ALL & ~CHECK},           {{"-Wo,-x"}, ALL},
        {{"-R"}, ALL & ~CHECK},                 {{"-r"}, ALL & ~(CHECK | OPT)},
        {{"-o", dir + "/o.txt"}, ALL & ~CHECK}, {{"-I", dir + "/data"}, ALL & ~CHECK},
        {{"-l", "libx.so"}, ALL},               {{"-u"}, ALL & ~(CHECK | INSTR)},
        {{"-O", dir + "/log"}, COLLECT},        {{"-X"}, ALL & ~OPT},
        {{"-zentor"}, ALL},                     {{"-d", dir}, DATA},
        {{"-C", "on"}, DATA},                   {{"-A", "x"}, DATA},
        {{"-vv"}, ALL},                         {{"-keeptmp"}, ALL},
        {{"-O3"}, OPT},                         {{"-f"}, OPT},
        {{"-Qy"}, OPT},                         {{"-Qn"}, OPT},
        {{"-xinline=no"}, OPT},                 {{"-a", "bbc"}, DATA},
        {{"-e"}, DATA},                         {{"-E", "x"}, DATA},
        {{"-Wa,-x"}, DATA},                     {{"-g"}, INSTR},
        {{"-m", "on"}, COLLECT | INSTR},        {{"-K"}, COLLECT | INSTR},
        {{"-k"}, COLLECT | INSTR},              {{"-N", "libx.so"}, COLLECT | INSTR},
        {{"-t"}, COLLECT | INSTR},              {{"-Wi,-x"}, COLLECT | INSTR},
        {{"-b"}, 0},                            {{"-F", "x"}, COVERAGE},
        {{"-Q"}, 0},
    };
    for (const auto& [args, accepted_in] : rows) {
        for (const ModeWord& m : k_modes) {
            RynDriver d("ryn", k_known_lav, RynDriver::PrepareOnly{});
            if (accepted_in & m.mode) {
                parse_in(d, m.word, args);
            } else {
                EXPECT_EXIT(parse_in(d, m.word, args), ::testing::ExitedWithCode(1),
                            "^ryn \\(error\\): Invalid option: " + args[0] + "\n$")
                    << args[0] << " in " << m.word;
            }
        }
    }
}

TEST(OptionsByMode, AnOptionWithoutItsValueIsRefusedWithoutReadingPastTheEnd) {
    for (const std::string option : {"-i", "-D", "-U", "-s", "-o", "-I", "-l", "-L", "-O", "-d",
                                     "-C", "-A", "-a", "-E", "-m", "-N"}) {
        RynDriver d("ryn", k_known_lav, RynDriver::PrepareOnly{});
        EXPECT_EXIT(parse_in(d, "collect", {option}), ::testing::ExitedWithCode(1),
                    "^ryn \\(error\\): Invalid option: " + option + "\n$");
    }
}

}  // namespace
