// The launcher's usage formats: exactly the two conversions the driver
// fills in, and a mention of every option of the front ends they serve.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>

// The launcher's own definitions take the place of the driver's defaults.
#include "launcher/usage_texts.cpp"

namespace {

// Whether `text` names `option` as a word: after a blank or a line start, and
// not running on into a longer name (prefix options such as "-Wo," are
// followed by their payload).
bool mentions(std::string_view text, std::string_view option) {
    for (std::size_t at = text.find(option); at != std::string_view::npos;
         at = text.find(option, at + 1)) {
        const std::size_t end = at + option.size();
        if ((at == 0 || text[at - 1] == ' ' || text[at - 1] == '\n') &&
            (end == text.size() || !isalnum(static_cast<unsigned char>(option.back())) ||
             !isalnum(static_cast<unsigned char>(text[end])))) {
            return true;
        }
    }
    return false;
}

constexpr const char* k_general[] = {
    "-i", "-D", "-n", "-S", "-U", "-M", "-c", "-v", "-z", "-Yo,", "-Ye,", "-s", "-Wo,",
    "-R", "-r", "-o", "-I", "-V", "-l", "-L", "-u", "-O", "-X", "-d", "-C", "-g", "-A",
    "-vv", "-keeptmp", "-O<", "-f", "-Qy", "-Qn", "-xinline", "-a", "-e", "-E", "-Wa,",
    "-m", "-K", "-k", "-N", "-t", "-b", "-Wi,", "-F"};
constexpr const char* k_memvex[] = {
    "-?", "-h", "-a", "-D", "-H", "-K", "-L", "-N", "-T", "-t", "-V", "-Wi,", "-Wo,", "-Wd,-c",
    "-Wd,-u", "-Wd,-z", "-Wd,-Bdir", "-Wd,-Pdir", "-Wd,-a=", "-Yo,", "-k", "-l", "-n", "-o",
    "-s", "-v", "-w", "-S", "-b", "-E", "-e", "-m", "-f", "-i", "-F", "-c"};

TEST(UsageTexts, FormatsTakeTwoStringsAndNameEveryOption) {
    for (const std::string_view format : {short_usage, long_usage}) {
        EXPECT_EQ(format.find('%'), format.find("%s"));
        EXPECT_EQ(format.find('%', format.find('%') + 1), format.rfind("%s"));
        EXPECT_EQ(std::count(format.begin(), format.end(), '%'), 2);
    }
    for (const char* option : k_general) {
        EXPECT_TRUE(mentions(short_usage, option)) << option;
        EXPECT_TRUE(mentions(long_usage, option)) << option;
    }
    for (const char* option : k_memvex) {
        EXPECT_TRUE(mentions(short_usage, option)) << option;
    }
    for (const char* word : {"instrument", "collect", "analyze", "coverage", "optimize", "check",
                             "--help"}) {
        EXPECT_TRUE(mentions(short_usage, word)) << word;
    }
}

}  // namespace
