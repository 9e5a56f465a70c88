// The mode word, the help and version words, and the usage exits of the
// general front end.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "driver_argv.h"
#include "ryn/ryn_exec_util.h"

namespace {

// Replaces the launcher's usage formats with ones that show their arguments.
class UsageFormats : public ::testing::Test {
protected:
    void SetUp() override {
        short_usage = "U<%s><%s>\n";
        long_usage = "L<%s><%s>\n";
    }
    void TearDown() override {
        short_usage = saved_short_;
        long_usage = saved_long_;
    }

private:
    const char* saved_short_ = short_usage;
    const char* saved_long_ = long_usage;
};

// `text` as an extended regular expression that matches it literally.
std::string regex_quote(const std::string& text) {
    std::string quoted;
    for (const char c : text) {
        if (std::string_view("[](){}.*+?^$|\\").find(c) != std::string_view::npos) {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted;
}

using ModeWords = UsageFormats;
using HelpWords = UsageFormats;

TEST_F(ModeWords, EachWordSetsItsOwnModeAndOnlyTheInstrumentingOnesAreRecorded) {
    struct Row {
        const char* word;
        bool RynDriver::*mode;
        const char* record;
    };
    const Row rows[] = {
        {"collect", &RynDriver::collect_mode, "instrument"},
        {"instrument", &RynDriver::instrument_mode, "instrument"},
        {"analyze", &RynDriver::analyze_mode, ""},
        {"coverage", &RynDriver::coverage_mode, ""},
        {"optimize", &RynDriver::optimize_mode, ""},
        {"check", &RynDriver::check_mode, ""},
    };
    for (const Row& row : rows) {
        RynDriver d("ryn", k_known_lav, RynDriver::PrepareOnly{});
        parse(d, {"ryn", row.word});
        int modes_set = 0;
        for (const Row& other : rows) {
            modes_set += d.*other.mode ? 1 : 0;
        }
        EXPECT_TRUE(d.*row.mode) << row.word;
        EXPECT_EQ(modes_set, 1) << row.word;
        EXPECT_EQ(d.instrument_record.sprint(), row.record) << row.word;
        EXPECT_FALSE(d.target_path) << "no target is accepted at this stage";
    }
}

TEST_F(ModeWords, TheFrontEndNamePicksBannerAndDefaults) {
    RynDriver ryn("ryn", k_known_lav, RynDriver::PrepareOnly{});
    EXPECT_STREQ(ver_string, ryn_ver_string);
    EXPECT_TRUE(ryn.skip_bad_libraries);
    EXPECT_TRUE(ryn.plain_front_end);
    EXPECT_FALSE(ryn.follow_dependencies);
    EXPECT_EQ(ryn.use_args.sprint(), "-ryn");
    EXPECT_EQ(ryn.optimize_args.sprint(), "-ryn");

    RynDriver memvex("memvex", k_known_lav, RynDriver::PrepareOnly{});
    EXPECT_STREQ(ver_string, memvex_ver_string);
    EXPECT_TRUE(memvex.memvex_front_end);
    EXPECT_FALSE(memvex.skip_bad_libraries);
    EXPECT_FALSE(memvex.plain_front_end);
    EXPECT_TRUE(memvex.follow_dependencies);
    EXPECT_EQ(memvex.util->component, "memvex");
}

TEST_F(ModeWords, TheZentorOptionRenamesTheMessages) {
    RynDriver d("ryn", k_known_lav, RynDriver::PrepareOnly{});
    parse(d, {"zentor", "coverage", "-zentor"});
    EXPECT_TRUE(d.zentor_front_end);
    EXPECT_EQ(d.util->component, "zentor");
    EXPECT_EXIT(parse(d, {"zentor", "coverage", "-zentor", "-Q"}), ::testing::ExitedWithCode(1),
                "^zentor \\(error\\): Invalid option: -Q\n$");
}

TEST_F(ModeWords, NoModeWordOrAnUnknownOneEndsWithTheShortUsage) {
    RynDriver d("ryn", k_known_lav, RynDriver::PrepareOnly{});
    // The program name is not known before the executable is located.
    EXPECT_EXIT(parse(d, {"ryn"}), ::testing::ExitedWithCode(1), "^U<ryn><     >\n$");
    EXPECT_EXIT(parse(d, {"ryn", "instrumen", "prog"}), ::testing::ExitedWithCode(1),
                "^U<ryn><     >\n$");
    d.program_name = "/opt/x/bin/ryn";
    EXPECT_EXIT(parse(d, {"ryn", "prog"}), ::testing::ExitedWithCode(1),
                "^U</opt/x/bin/ryn><     >\n$");
}

TEST_F(HelpWords, HelpExitsWithZeroAndTheLongTextListsEveryAnalysis) {
    RynDriver d("ryn", k_known_lav, RynDriver::PrepareOnly{});
    EXPECT_EXIT(parse(d, {"ryn", "-h"}), ::testing::ExitedWithCode(0), "^U<ryn><     >\n$");
    EXPECT_EXIT(parse(d, {"ryn", "-?"}), ::testing::ExitedWithCode(0), "^U<ryn><     >\n$");
    std::string rows;
    for (const char* row : ryn_help_text) {
        rows += std::string("     -a ") + row;
    }
    EXPECT_EXIT(parse(d, {"ryn", "--help"}), ::testing::ExitedWithCode(0),
                "^U<ryn><     >\nL<     ><" + regex_quote(rows) + ">\n$");
}

TEST_F(HelpWords, VersionAsModeGoesToStdoutAndAsOptionToStderr) {
    RynDriver d("ryn", k_known_lav, RynDriver::PrepareOnly{});
    // The banner itself goes to stdout; stderr stays silent.
    EXPECT_EXIT(parse(d, {"ryn", "-V"}), ::testing::ExitedWithCode(0), "^$");
    EXPECT_EXIT(parse(d, {"ryn", "analyze", "-V"}), ::testing::ExitedWithCode(0),
                "^ryn: " + regex_quote(ryn_ver_string) + "\n$");
}

}  // namespace
