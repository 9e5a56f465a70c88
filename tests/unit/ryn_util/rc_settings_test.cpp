// Configuration files as read from a temporary home and current directory:
// the line format, precedence, the prefix rules, and what the settings answer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ryn/arg_cache.h"
#include "ryn/exec_util.h"
#include "ryn/rc_data.h"
#include "support/test_support.h"

using namespace ryn;

using Strings = std::vector<std::string>;

namespace {

enum Slot { LIBS, FUNCS, PREFIXES, FILTERS, FULL, WRITE_ONLY, COMMON };

struct RcWorld {
    ryn_test::TempDir home, cwd;
    ryn_test::ScopedEnv home_env{"HOME", home.path().c_str()};
    ryn_test::ScopedChdir chdir{cwd.path()};
    ExecUtil util{"ryn"};
    std::string err;  // standard error of the last read

    rcData read(const std::string& local, bool memvex = false, const char* install = nullptr) {
        ryn_test::write_file(cwd / ".ryn.rc", local);
        testing::internal::CaptureStderr();
        rcData rc(memvex, install, 1, &util);
        err = testing::internal::GetCapturedStderr();
        return rc;
    }
};

Strings listed(rcData rc, const char* name) {
    ArgCache list;
    EXPECT_TRUE(rc.library_list(name, &list));
    return {list.begin(), list.end()};
}

// A NUL byte hides the rest of its line, newline included, from the text:
// the line still stands alone and is counted.
TEST(RcFormat, AFaultyLineKeepsWhatCameBeforeButTheFileCountsAsUnread) {
    RcWorld w;
    const std::string long_item(3000, 'x');
    rcData rc = w.read("# comment\nset IGNORABLE_LIBS li\\\nbA.so\n\t \nappend IGNORABLE_LIBS " +
                       long_item + "\nappend IGNORABLE_LIBS n" + std::string(1, '\0') +
                       "hidden\nbogus \\\nIGNORABLE_LIBS\nset FILTERS never\n");
    // A joined line is reported with the number of its first physical line.
    EXPECT_EQ(w.err,
              "ryn (info): Processed ./.ryn.rc for default settings\nryn (warning): "
              "Unrecognized command in ./.ryn.rc on line 7: bogus\n\n");
    EXPECT_EQ(rc.values[LIBS], "libA.so:" + long_item + ":n");
    EXPECT_FALSE(rc.values[FILTERS] || rc.any_file_read);
    EXPECT_FALSE(rc.optString("", "IGNORABLE_LIBS", false));

    w.read("set " + std::string(80, 'V') + "\n");
    EXPECT_TRUE(w.err.ends_with(
        "Unrecognized Variable in ./.ryn.rc on line 1: " + std::string(64, 'V') + "\n\n"))
        << w.err;
}

TEST(RcFormat, PrefixesPickTheSlotAndCommandsEditIt) {
    RcWorld w;
    const std::string text =
        "set RYN_IGNORABLE_LIBS r\nset MEMVEX_IGNORABLE_LIBS m\nset COMMON_IGNORABLE_LIBS c\n"
        "set X_IGNORABLE_FUNC_PREFIXES p\nset IGNORABLE_FUNCTIONS fn more words\nset FILTERS\n"
        "append FULL_LIB_INSTR a:\nappend FULL_LIB_INSTR b\nappend FULL_LIB_INSTR c:d:e\n"
        "remove FULL_LIB_INSTR a\nremove FULL_LIB_INSTR d\nremove FULL_LIB_INSTR zz\n"
        "remove FULL_LIB_INSTR b:c:e:longer\nremove WRITE_ONLY_LIBS x\n"
        "set COMMON_FULL_LIB_INSTR lib:x\nremove COMMON_FULL_LIB_INSTR ib\n";
    const rcData rc = w.read(text);
    EXPECT_EQ((Strings{*rc.values[LIBS], *rc.values[COMMON + LIBS], *rc.values[PREFIXES],
                       *rc.values[FUNCS], *rc.values[FILTERS], *rc.values[FULL],
                       *rc.values[COMMON + FULL]}),
              (Strings{"r", "c", "p", "fn", "", "b:c:e", "l:x"}));
    EXPECT_FALSE(rc.values[WRITE_ONLY]);
    EXPECT_EQ(w.read(text, true).values[LIBS], "m");
}

TEST(RcFiles, InstallThenHomeThenHere) {
    RcWorld w;
    const ryn_test::TempDir tmp;
    const ryn_test::ScopedEnv tmpdir("TMPDIR", tmp.path().c_str());
    ryn_test::write_file(w.home / ".ryn.rc", "append IGNORABLE_LIBS h\nset COMMON_FILTERS c\n");
    const std::string install = ryn_test::stage_dir() + "/lib/compilers";
    rcData rc = w.read("append IGNORABLE_LIBS l::m:\nset FILTERS f\n", false, install.c_str());
    EXPECT_EQ(w.err, "ryn (info): Processed " + w.home.path() +
                         "/.ryn.rc for default settings\n"
                         "ryn (info): Processed ./.ryn.rc for default settings\n");
    // Library lists give the front-end items first, option strings the COMMON ones.
    EXPECT_EQ(listed(rc, "IGNORABLE_LIBS"),
              (Strings{"h", "l", "m", "/lib/", "/lib64/", "/usr/lib/", "/usr/lib64/"}));
    const std::string option = rc.optString("-f=", "FILTERS", true).value_or("");
    EXPECT_EQ(option.rfind("-f=" + tmp.path() + "/ryn", 0), 0u) << option;
    EXPECT_STREQ(w.util.temp_files[0], option.c_str() + 3);
    EXPECT_EQ(ryn_test::read_file(option.substr(3)), "c:f");
}

}  // namespace
