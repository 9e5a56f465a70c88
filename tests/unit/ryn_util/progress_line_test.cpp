// The progress line's text fits the terminal and keeps what tells targets
// apart.
#include <algorithm>

#include <gtest/gtest.h>

#include "driver/ryn_util/progress_line.h"

namespace {

TEST(ProgressText, FitsTheTerminalAndKeepsTheEndOfTheTarget) {
    const std::string target = "/very/long/directory/of/user/libraries/libgeometry.so";
    EXPECT_EQ(ryn::progress_text("ryn", 2, 9, target, 200), "ryn: 2/9 instrumenting " + target);

    // A line as wide as the terminal wraps, and one return cannot clear it.
    for (const int columns : {40, 30, 27, 20, 5, 1}) {
        const std::string text = ryn::progress_text("ryn", 12, 40, target, columns);
        EXPECT_LE(text.size(), static_cast<size_t>(std::max(columns - 1, 1))) << columns;
        EXPECT_FALSE(text.empty()) << columns;
    }
    const std::string cut = ryn::progress_text("ryn", 12, 40, target, 45);
    EXPECT_EQ(cut.rfind("ryn: 12/40 instrumenting ...", 0), 0u) << cut;
    EXPECT_TRUE(cut.ends_with("libgeometry.so")) << cut;

    // Cut inside a two-byte character, the text starts after it instead.
    const std::string accented = "/d/\xc3\xa9t\xc3\xa9/lib.so";
    const std::string text = ryn::progress_text("ryn", 1, 5, accented, 35);
    const size_t dots = text.find("...");
    ASSERT_NE(dots, std::string::npos) << text;
    EXPECT_NE(static_cast<unsigned char>(text[dots + 3]) & 0xC0, 0x80) << text;
}

}  // namespace
