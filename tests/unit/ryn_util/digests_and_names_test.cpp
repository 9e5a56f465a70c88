#include <gtest/gtest.h>

#include <string>

#include "ryn/exec_util.h"
#include "support/test_support.h"

using namespace ryn;

namespace {

// Cache directories and stamps are named by this digest: another text would
// orphan every existing cache.
TEST(Digests, CacheNamesHaveFixedValues) {
    ExecUtil util("ryn");
    // The usual MD5 text of "abc" is 900150983cd24fb0d6963f7d28e17f72.
    EXPECT_EQ(util.get_hash("abc", nullptr), "98500190b04fd23c7d3f96d6727fe128");
    EXPECT_EQ(util.get_hash("ab", "c"), "98500190b04fd23c7d3f96d6727fe128");
}

TEST(Names, OnlyOneNumericVersionAfterSoIsRemoved) {
    ExecUtil util("ryn");
    std::string results;
    for (const char* name :
         {"libm.so.2", "libm.so.", "a.so.1", "libm.so.2.1", "libm.so.1x", "so.1", "libc.so"}) {
        std::string copy = name;
        EXPECT_EQ(util.remove_version_from_shlib_name(copy.data()), copy.data());
        results += copy.c_str() + std::string(" ");
    }
    EXPECT_EQ(results, "libm.so libm.so a.so libm.so.2.1 libm.so.1x so.1 libc.so ");
    EXPECT_EQ(util.remove_version_from_shlib_name(nullptr), nullptr);
}

TEST(FileLists, EveryNonEmptyLineOrPieceIsAnEntry) {
    ryn_test::TempDir dir;
    ExecUtil util("ryn");
    const std::string long_line(1500, 'x');
    ryn_test::write_file(dir / "list", "/lib/a.so\n\n" + long_line + "\n/lib/c.so");
    ArgCache list;
    util.read_instr_log((dir / "list").c_str(), &list);
    EXPECT_EQ(list.sprint(), "/lib/a.so " + long_line.substr(0, 1023) + " " +
                                 long_line.substr(1023) + " /lib/c.so");
    const std::string missing = dir / "missing";
    EXPECT_EXIT(util.read_instr_log(missing.c_str(), &list), testing::ExitedWithCode(1),
                testing::Eq("ryn (error): Trouble opening file list " + missing +
                            "\n (errno = 2) No such file or directory\n"));
}

TEST(ShellQuote, OnlyPathsWithOtherCharactersAreQuoted) {
    EXPECT_EQ(shell_quote("/usr/lib/a-b_c.so,v+1=x:y@z%"), "/usr/lib/a-b_c.so,v+1=x:y@z%");
    const std::string nasty = "a 'b' \"c\" $d;e`f`\\g";
    EXPECT_EQ(shell_quote("it's"), "'it'\\''s'");
    EXPECT_EQ(ryn_test::run_shell("printf %s " + shell_quote(nasty)).out, nasty);
}

}  // namespace
