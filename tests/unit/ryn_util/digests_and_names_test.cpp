#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ryn/exec_util.h"
#include "support/test_support.h"

namespace {

using testing::ExitedWithCode;

TEST(GetHash, PrintsTheDigestAsFourLittleEndianWords) {
    ExecUtil util("ryn");
    EXPECT_EQ(util.get_hash("abc", nullptr), "98500190b04fd23c7d3f96d6727fe128");
    // The second string continues the same digest.
    EXPECT_EQ(util.get_hash("ab", "c"), "98500190b04fd23c7d3f96d6727fe128");
    EXPECT_EQ(util.get_hash("", "abc"), "98500190b04fd23c7d3f96d6727fe128");
    // MD5 of the empty text is d41d8cd98f00b204e9800998ecf8427e.
    EXPECT_EQ(util.get_hash("", nullptr), "d98c1dd404b2008f980980e97e42f8ec");
    EXPECT_EQ(util.get_hash("", ""), "d98c1dd404b2008f980980e97e42f8ec");
    EXPECT_NE(util.get_hash("/lib/a.so", "x"), util.get_hash("/lib/a.so", nullptr));
}

// Bit-at-a-time form of the same CRC, to check the table-driven one against.
uint64_t crc64_bitwise(const std::vector<unsigned char>& bytes) {
    uint64_t crc = 0;
    for (const unsigned char byte : bytes) {
        crc ^= static_cast<uint64_t>(byte) << 56;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & (uint64_t{1} << 63)) ? (crc << 1) ^ 0x807 : crc << 1;
        }
    }
    return crc;
}

TEST(Crc64, MatchesThePolynomialMsbFirstWithoutReflection) {
    ExecUtil util("ryn");
    const unsigned char one = 1;
    EXPECT_EQ(util.crc64(nullptr, 0), 0u);
    EXPECT_EQ(util.crc64(&one, 1), 0x807u);
    const unsigned char high = 0x80;
    EXPECT_EQ(util.crc64(&high, 1), 0x40380u);
    std::mt19937 random(7);
    for (size_t length : {2u, 9u, 64u, 1000u}) {
        std::vector<unsigned char> bytes(length);
        for (unsigned char& byte : bytes) {
            byte = static_cast<unsigned char>(random());
        }
        EXPECT_EQ(util.crc64(bytes.data(), static_cast<uint32_t>(length)),
                  crc64_bitwise(bytes))
            << length;
    }
}

std::string without_version(const char* name) {
    ExecUtil util("ryn");
    std::string copy = name;
    char* result = util.remove_version_from_shlib_name(copy.data());
    EXPECT_EQ(result, copy.data());
    return result;
}

TEST(RemoveVersionFromShlibName, CutsOneNumericComponentAfterSo) {
    EXPECT_EQ(without_version("libm.so.2"), "libm.so");
    EXPECT_EQ(without_version("/usr/lib/libc.so.6"), "/usr/lib/libc.so");
    EXPECT_EQ(without_version("libm.so."), "libm.so");
    EXPECT_EQ(without_version("a.so.1"), "a.so");
    EXPECT_EQ(without_version("libm.so.2.1"), "libm.so.2.1");
    EXPECT_EQ(without_version("libm.so.x"), "libm.so.x");
    EXPECT_EQ(without_version("libm.so.1x"), "libm.so.1x");
    EXPECT_EQ(without_version("so.1"), "so.1");
    EXPECT_EQ(without_version(".so.1"), ".so.1");
    EXPECT_EQ(without_version("libc.so"), "libc.so");
    EXPECT_EQ(without_version("libfoo"), "libfoo");
    ExecUtil util("ryn");
    EXPECT_EQ(util.remove_version_from_shlib_name(nullptr), nullptr);
}

TEST(ReadInstrLog, AppendsEveryNonEmptyLine) {
    ryn_test::TempDir dir;
    ExecUtil util("ryn");
    const std::string long_line(1500, 'x');
    ryn_test::write_file(dir / "list", "/lib/a.so\n\n/lib/b.so\n" + long_line + "\n/lib/c.so");
    ArgCache list;
    list.add_arg("first");
    util.read_instr_log((dir / "list").c_str(), &list);
    ASSERT_EQ(list.count, 6);
    EXPECT_STREQ(list[0], "first");
    EXPECT_STREQ(list[1], "/lib/a.so");
    EXPECT_STREQ(list[2], "/lib/b.so");
    // A line longer than 1023 bytes arrives as two entries.
    EXPECT_EQ(std::string(list[3]), long_line.substr(0, 1023));
    EXPECT_EQ(std::string(list[4]), long_line.substr(1023));
    EXPECT_STREQ(list[5], "/lib/c.so");
}

TEST(ReadInstrLogDeath, UnreadableListsStopTheRun) {
    ryn_test::TempDir dir;
    ExecUtil util("ryn");
    ArgCache list;
    const std::string missing = dir / "missing";
    EXPECT_EXIT(util.read_instr_log(missing.c_str(), &list), ExitedWithCode(1),
                testing::Eq("ryn (error): Trouble opening file list " + missing +
                            "\n (errno = 2) No such file or directory\n"));
    EXPECT_EXIT(util.read_instr_log(dir.path().c_str(), &list), ExitedWithCode(1),
                testing::Eq("ryn (error): Trouble reading file list " + dir.path() +
                            "\n (errno = 21) Is a directory\n"));
}

TEST(ShellQuote, QuotesOnlyPathsWithUnsafeCharacters) {
    EXPECT_EQ(shell_quote("/usr/lib/a-b_c.so,v+1=x:y@z%"), "/usr/lib/a-b_c.so,v+1=x:y@z%");
    EXPECT_EQ(shell_quote("/tmp/a b"), "'/tmp/a b'");
    EXPECT_EQ(shell_quote("it's"), "'it'\\''s'");
    EXPECT_EQ(shell_quote("a;rm -rf ~"), "'a;rm -rf ~'");
    EXPECT_EQ(shell_quote("$HOME"), "'$HOME'");
    // Round trip through a real shell.
    const std::string nasty = "a 'b' \"c\" $d;e`f`\\g";
    EXPECT_EQ(ryn_test::run_shell("printf %s " + shell_quote(nasty)).out, nasty);
}

}  // namespace
