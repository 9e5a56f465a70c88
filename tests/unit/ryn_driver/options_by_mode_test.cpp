// Which options each mode accepts: every option of the general front end in
// every mode, accepted or refused with "Invalid option".
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver_argv.h"
#include "support/test_support.h"

namespace {

enum Mode : unsigned {
    INSTRUMENT = 1u << 0,
    COLLECT = 1u << 1,
    ANALYZE = 1u << 2,
    COVERAGE = 1u << 3,
    OPTIMIZE = 1u << 4,
    CHECK = 1u << 5,
    ALL = 0x3f,
};

constexpr struct {
    Mode mode;
    const char* word;
} k_modes[] = {{INSTRUMENT, "instrument"}, {COLLECT, "collect"},   {ANALYZE, "analyze"},
               {COVERAGE, "coverage"},     {OPTIMIZE, "optimize"}, {CHECK, "check"}};

struct Row {
    std::vector<std::string> args;  // the option and its value, if any
    unsigned accepted_in;
};

std::vector<Row> rows(const std::string& dir) {
    return {
        {{"-i", "on"}, ALL & ~(INSTRUMENT | CHECK)},
        {{"-D", dir}, ALL & ~(CHECK | OPTIMIZE)},
        {{"-n"}, ALL},
        {{"-S"}, ALL & ~(CHECK | OPTIMIZE)},
        {{"-U", "name"}, ALL & ~(CHECK | OPTIMIZE)},
        {{"-M"}, ALL & ~(CHECK | OPTIMIZE)},
        {{"-c"}, COLLECT},
        {{"-v"}, ALL},
        {{"-z"}, ALL},
        {{"-Yo," + dir}, ALL},
        {{"-s", ".data"}, ALL & ~CHECK},
        {{"-Wo,-x"}, ALL},
        {{"-R"}, ALL & ~CHECK},
        {{"-r"}, ALL & ~(CHECK | OPTIMIZE)},
        {{"-o", dir + "/out.txt"}, ALL & ~CHECK},
        {{"-I", dir + "/data"}, ALL & ~CHECK},
        {{"-l", "libx.so"}, ALL},
        {{"-u"}, ALL & ~(CHECK | INSTRUMENT)},
        {{"-O", dir + "/log"}, COLLECT},
        {{"-X"}, ALL & ~OPTIMIZE},
        {{"-zentor"}, ALL},
        // Collector options.
        {{"-d", dir}, ANALYZE | COLLECT | COVERAGE},
        {{"-C", "on"}, ANALYZE | COLLECT | COVERAGE},
        {{"-A", "x"}, ANALYZE | COLLECT | COVERAGE},
        // Experiment tool tracing.
        {{"-vv"}, ALL},
        {{"-keeptmp"}, ALL},
        // Optimisation.
        {{"-O3"}, OPTIMIZE},
        {{"-f"}, OPTIMIZE},
        {{"-Qy"}, OPTIMIZE},
        {{"-Qn"}, OPTIMIZE},
        {{"-xinline=no"}, OPTIMIZE},
        // Analysis.
        {{"-a", "bbc"}, ANALYZE | COLLECT | COVERAGE},
        {{"-e"}, ANALYZE | COLLECT | COVERAGE},
        {{"-E", "x"}, ANALYZE | COLLECT | COVERAGE},
        {{"-Wa,-x"}, ANALYZE | COLLECT | COVERAGE},
        // Instrumentation.
        {{"-g"}, INSTRUMENT},
        {{"-m", "on"}, COLLECT | INSTRUMENT},
        {{"-K"}, COLLECT | INSTRUMENT},
        {{"-k"}, COLLECT | INSTRUMENT},
        {{"-N", "libx.so"}, COLLECT | INSTRUMENT},
        {{"-t"}, COLLECT | INSTRUMENT},
        {{"-Wi,-x"}, COLLECT | INSTRUMENT},
        {{"-b"}, 0},
        // Coverage.
        {{"-F", "x"}, COVERAGE},
        {{"-Q"}, 0},
    };
}

void parse_row(RynDriver& d, const char* mode, const std::vector<std::string>& args) {
    std::vector<std::string> strings = {"ryn", mode};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : strings) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);
    d.process_options(static_cast<int>(strings.size()), argv.data());
}

TEST(OptionsByMode, EachOptionIsAcceptedExactlyInItsModes) {
    const ryn_test::TempDir dir;
    for (const Row& row : rows(dir.path())) {
        for (const auto& [mode, word] : k_modes) {
            RynDriver d("ryn", k_known_lav, RynDriver::PrepareOnly{});
            const std::string what = row.args[0] + " in " + word;
            if (row.accepted_in & mode) {
                parse_row(d, word, row.args);
                SUCCEED() << what;
            } else {
                EXPECT_EXIT(parse_row(d, word, row.args), ::testing::ExitedWithCode(1),
                            "^ryn \\(error\\): Invalid option: " + row.args[0] + "\n$")
                    << what;
            }
        }
    }
}

TEST(OptionsByMode, AnOptionWithoutItsValueIsRefusedWithoutReadingPastTheEnd) {
    for (const char* option : {"-i", "-D", "-U", "-s", "-o", "-I", "-l", "-L", "-O", "-d",
                               "-C", "-A", "-a", "-E", "-m", "-N"}) {
        RynDriver d("ryn", k_known_lav, RynDriver::PrepareOnly{});
        const std::string name = option;
        const char* mode = name == "-O" || name == "-m" || name == "-N"
                               ? "collect"
                               : "analyze";
        EXPECT_EXIT(parse_row(d, mode, {option}), ::testing::ExitedWithCode(1),
                    std::string("^ryn \\(error\\): Invalid option: ") + option + "\n$");
    }
}

TEST(OptionsByMode, GroupTakesAValueInCollectModeAndNoneWhenInstrumenting) {
    RynDriver collect("ryn", k_known_lav, RynDriver::PrepareOnly{});
    parse_row(collect, "collect", {"-g", "grp"});
    EXPECT_EQ(collect.collect_args.sprint(), "-g grp");
    EXPECT_TRUE(collect.experiment_mode);
    EXPECT_FALSE(collect.group_option);
    // Reaching the instrumentation options with "-g" in collect mode is a fault
    // of the chain's order, reported as such.
    Argv argv({"-g"});
    char** cursor = argv.get();
    EXPECT_EXIT(collect.process_instrument_input_arg(cursor), ::testing::ExitedWithCode(1),
                "^ryn \\(error\\): -g group option should have alreadybeen processed\\.\n$");

    RynDriver instrument("ryn", k_known_lav, RynDriver::PrepareOnly{});
    parse_row(instrument, "instrument", {"-g"});
    EXPECT_TRUE(instrument.group_option);
    EXPECT_EQ(instrument.instrument_record.sprint(), "instrument -g");
    EXPECT_TRUE(instrument.collect_args.empty());
}

}  // namespace
