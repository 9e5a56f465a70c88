// The small helpers every phase leans on: argument lists and their texts,
// digests and library names, file lists, shell quoting, directories and
// resolved paths, and the progress line's text.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <string>

#include <gtest/gtest.h>

#include "driver/ryn_util/progress_line.h"
#include "ryn/arg_cache.h"
#include "ryn/exec_util.h"
#include "support/test_support.h"

using namespace ryn;

namespace {

using testing::ExitedWithCode;

ArgCache list_of(std::initializer_list<const char*> words) {
    ArgCache list;
    for (const char* word : words) {
        list.add_arg(word);
    }
    return list;
}

// sprint feeds stored signatures and the shell: only a leading "-comment=" is
// quoted. print feeds messages: "-comment=" is found anywhere and every
// string ends in a space.
TEST(ArgCache, SprintAndPrintRenderCommentsDifferently) {
    ExecUtil util("ryn");
    EXPECT_EQ(ArgCache().sprint(), "");
    EXPECT_EQ(list_of({"a", "-comment=x y", "b"}).sprint(), "a -comment=\"x y\"  b");
    EXPECT_EQ(list_of({"-comment=z"}).sprint(), "-comment=\"z\" ");
    const ArgCache spaced = list_of({"-D", "/tmp/a b;$x", ""});
    EXPECT_EQ(spaced.command_with_unset_ldaudit(), "unset LD_AUDIT; -D /tmp/a b;$x ");
    const ArgCache lead = list_of({"a", "lead-comment=x", "-comment=x"});
    EXPECT_EQ(lead.sprint(), "a lead-comment=x -comment=\"x\" ");
    testing::internal::CaptureStderr();
    lead.print(stderr, true);
    lead.print(stderr, false);
    ArgCache().print(stderr, true);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "a -comment=\"x\" -comment=\"x\" \na lead-comment=x -comment=x \n\n");
}

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

TEST(Paths, DirectoriesAreMadeWholeAndLinksResolvedOrTheRunStops) {
    ryn_test::TempDir dir;
    ExecUtil util("ryn");
    const mode_t previous = umask(022);
    util.create_directory((dir / "a/b//c/").c_str());
    umask(previous);
    for (const char* part : {"a", "a/b", "a/b/c"}) {
        struct stat info {};
        EXPECT_EQ(stat((dir / part).c_str(), &info), 0) << part;
        EXPECT_EQ(info.st_mode, S_IFDIR | 0755) << part;
    }
    util.create_directory((dir / "a/b").c_str());

    ASSERT_EQ(symlink(dir.path().c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (dir / "dangling").c_str()), 0);
    EXPECT_EQ(util.make_full_path((dir / "link/link/.//link/").c_str()), dir.path());
    const std::string dangling = dir / "dangling";
    EXPECT_EXIT(util.make_full_path(dangling.c_str()), ExitedWithCode(1),
                testing::Eq("ryn (error): cannot resolve pathname " + dangling +
                            " (errno = 2) No such file or directory\n"));
}

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
