// The launcher's usage formats: exactly the two conversions the driver
// fills in, and a mention of every option of the front ends they serve.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <string_view>
#include <vector>

// The launcher's own definitions take the place of the driver's defaults.
#include "launcher/usage_texts.cpp"

namespace {

std::vector<std::string> conversions(std::string_view format) {
    std::vector<std::string> found;
    for (std::size_t at = format.find('%'); at != std::string_view::npos;
         at = format.find('%', at + 2)) {
        found.emplace_back(format.substr(at, 2));
    }
    return found;
}

// Whether `text` names `option` as a word of its own: preceded by a blank or
// a line start, and not followed by a letter or digit (prefix options such
// as "-Wo," are followed by their payload).
bool mentions(std::string_view text, std::string_view option) {
    for (std::size_t at = text.find(option); at != std::string_view::npos;
         at = text.find(option, at + 1)) {
        const bool starts = at == 0 || text[at - 1] == ' ' || text[at - 1] == '\n';
        const std::size_t end = at + option.size();
        const bool ends = end == text.size() ||
                          !isalnum(static_cast<unsigned char>(option.back())) ||
                          !isalnum(static_cast<unsigned char>(text[end]));
        if (starts && ends) {
            return true;
        }
    }
    return false;
}

const std::vector<std::string> k_general_options = {
    "-i",  "-D",  "-n",      "-S",  "-U",  "-M",   "-c",   "-v",  "-z",  "-Yo,", "-Ye,",
    "-s",  "-Wo,", "-R",     "-r",  "-o",  "-I",   "-V",   "-l",  "-L",  "-u",   "-O",
    "-X",  "-d",  "-C",      "-g",  "-A",  "-vv",  "-keeptmp", "-O<", "-f",  "-Qy", "-Qn",
    "-xinline", "-a", "-e",  "-E",  "-Wa,", "-m",  "-K",   "-k",  "-N",  "-t",   "-b",
    "-Wi,", "-F", "-h",      "-?",  "--help"};

const std::vector<std::string> k_memvex_options = {
    "-?", "-a", "-D", "-H", "-K", "-L", "-N", "-T", "-t", "-V", "-Wi,", "-Wo,", "-Wd,-c",
    "-Wd,-u", "-Wd,-z", "-Wd,-Bdir", "-Wd,-Pdir", "-Wd,-a=", "-Yo,", "-h", "-k", "-l", "-n", "-o",
    "-s", "-v", "-w", "-S", "-b", "-E", "-e", "-m", "-f", "-i", "-F", "-c"};

TEST(UsageTexts, EachFormatTakesExactlyTwoStrings) {
    EXPECT_EQ(conversions(short_usage), (std::vector<std::string>{"%s", "%s"}));
    EXPECT_EQ(conversions(long_usage), (std::vector<std::string>{"%s", "%s"}));
    EXPECT_TRUE(std::string_view(short_usage).starts_with("Usage: %s "));
}

TEST(UsageTexts, TheShortTextNamesEveryOptionOfBothCommandLines) {
    for (const std::string& option : k_general_options) {
        EXPECT_TRUE(mentions(short_usage, option)) << option;
    }
    for (const std::string& option : k_memvex_options) {
        EXPECT_TRUE(mentions(short_usage, option)) << option;
    }
    for (const char* mode : {"instrument", "collect", "analyze", "coverage", "optimize",
                             "check"}) {
        EXPECT_TRUE(mentions(short_usage, mode)) << mode;
    }
}

TEST(UsageTexts, TheLongTextDescribesEveryGeneralOption) {
    for (const std::string& option : k_general_options) {
        if (option == "-h" || option == "-?" || option == "--help") {
            continue;  // the short text, printed first, explains these
        }
        EXPECT_TRUE(mentions(long_usage, option)) << option;
    }
}

}  // namespace
