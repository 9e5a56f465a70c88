// Configuration files as read from a temporary home and current directory:
// the line format, precedence, the prefix rules, and what the settings answer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "ryn/arg_cache.h"
#include "ryn/exec_util.h"
#include "ryn/rc_data.h"
#include "support/test_support.h"

using ryn_test::ScopedChdir;
using ryn_test::ScopedEnv;
using ryn_test::TempDir;
using ryn_test::write_file;

namespace {

enum Slot { LIBS, FUNCS, PREFIXES, FILTERS, FULL, WRITE_ONLY, COMMON };

struct RcWorld {
    TempDir home, cwd;
    ScopedEnv home_env{"HOME", home.path().c_str()};
    ScopedChdir chdir{cwd.path()};
    ExecUtil util{"ryn"};
    std::string err;  // standard error of the last read

    rcData read(const std::string& local, bool memvex = false, int verbosity = 0) {
        write_file(cwd / ".ryn.rc", local);
        testing::internal::CaptureStderr();
        rcData rc(memvex, nullptr, verbosity, &util);
        err = testing::internal::GetCapturedStderr();
        return rc;
    }
};

std::vector<std::string> listed(rcData& rc, const char* name) {
    ArgCache list;
    EXPECT_TRUE(rc.library_list(name, &list));
    return {list.begin(), list.end()};
}

TEST(RcFormat, ContinuationsJoinAndAFaultyLineEndsTheFileUnread) {
    RcWorld w;
    const std::string long_item(3000, 'x');
    rcData rc = w.read("# comment\nset IGNORABLE_LIBS li\\\nbA.so\n\t \n"
                       "append IGNORABLE_LIBS " + long_item + "\nbogus \\\nIGNORABLE_LIBS\n"
                       "set FILTERS never\n");
    EXPECT_EQ(w.err, "ryn (warning): Unrecognized command in ./.ryn.rc on line 6: bogus\n\n");
    EXPECT_EQ(rc.values[LIBS], "libA.so:" + long_item);
    EXPECT_FALSE(rc.values[FILTERS]);
    // The only file had a fault: nothing is answered although lines 1-5 took effect.
    EXPECT_FALSE(rc.any_file_read);
    EXPECT_FALSE(rc.optString("", "IGNORABLE_LIBS", false));
    ArgCache list;
    EXPECT_FALSE(rc.library_list("IGNORABLE_LIBS", &list));

    w.read("set " + std::string(80, 'V') + "\n\nremove\n");
    EXPECT_EQ(w.err, "ryn (warning): Unrecognized Variable in ./.ryn.rc on line 1: " +
                         std::string(64, 'V') + "\n\n");
    w.read("\n\nremove\n");
    EXPECT_EQ(w.err, "ryn (warning): Unrecognized Variable in ./.ryn.rc on line 3: \n\n");
}

TEST(RcFormat, PrefixesPickTheSlotAndTheFrontEnd) {
    RcWorld w;
    const std::string text = "set RYN_IGNORABLE_LIBS r\nset MEMVEX_IGNORABLE_LIBS m\n"
                             "set COMMON_IGNORABLE_LIBS c\nset X_IGNORABLE_FUNC_PREFIXES p\n"
                             "set IGNORABLE_FUNCTIONS fn more words\n";
    rcData ryn = w.read(text);
    EXPECT_EQ(ryn.values[LIBS], "r");
    EXPECT_EQ(ryn.values[COMMON + LIBS], "c");
    EXPECT_EQ(ryn.values[PREFIXES], "p");
    EXPECT_EQ(ryn.values[FUNCS], "fn");
    EXPECT_EQ(w.read(text, true).values[LIBS], "m");
}

TEST(RcFormat, SetAppendAndRemoveEditTheSlot) {
    RcWorld w;
    rcData rc = w.read("set FILTERS\nappend IGNORABLE_LIBS a:\nappend IGNORABLE_LIBS b\n"
                       "append IGNORABLE_LIBS c:d:e\nremove IGNORABLE_LIBS a\n"
                       "remove IGNORABLE_LIBS d\nremove IGNORABLE_LIBS zz\n"
                       "remove IGNORABLE_LIBS b:c:e:longer\nremove WRITE_ONLY_LIBS x\n"
                       "set FULL_LIB_INSTR lib:x\nremove FULL_LIB_INSTR ib\n");
    EXPECT_EQ(rc.values[FILTERS], "");
    EXPECT_EQ(rc.values[LIBS], "b:c:e");
    EXPECT_FALSE(rc.values[WRITE_ONLY]);
    EXPECT_EQ(rc.values[FULL], "l:x");
}

TEST(RcFormat, FilesAreReadInstallHomeThenHereAndHomeHereTwice) {
    RcWorld w;
    TempDir install;
    write_file(install / "ryn.rc", "set IGNORABLE_LIBS i\nappend FILTERS i\n");
    write_file(w.home / ".ryn.rc", "set IGNORABLE_LIBS h\nappend FILTERS h\n");
    write_file(w.cwd / ".ryn.rc", "append FILTERS l\n");
    testing::internal::CaptureStderr();
    rcData rc(false, install.path().c_str(), 1, &w.util);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ryn (info): Processed " + w.home.path() + "/.ryn.rc for default settings\n"
              "ryn (info): Processed ./.ryn.rc for default settings\n");
    EXPECT_EQ(rc.values[LIBS], "h");
    EXPECT_EQ(rc.values[FILTERS], "i:h:l");

    ScopedChdir into_home(w.home.path());
    EXPECT_EQ(rcData(false, nullptr, 0, &w.util).values[FILTERS], "h:h");
}

TEST(RcAnswers, OptStringPutsCommonFirstAndCanWriteAFile) {
    RcWorld w;
    rcData rc = w.read("set IGNORABLE_FUNCTIONS f1:f2\nset COMMON_IGNORABLE_FUNCTIONS c1\n"
                       "set FILTERS :front\nset COMMON_FILTERS common\n"
                       "set COMMON_WRITE_ONLY_LIBS\nset WRITE_ONLY_LIBS w\n"
                       "set IGNORABLE_FUNC_PREFIXES\n");
    EXPECT_EQ(rc.optString("-blacklist=", "IGNORABLE_FUNCTIONS", false), "-blacklist=c1:f1:f2");
    EXPECT_EQ(rc.optString("", "FILTERS", false), "common:front");
    EXPECT_EQ(rc.optString("", "WRITE_ONLY_LIBS", false), ":w");
    EXPECT_EQ(rc.optString("-p=", "IGNORABLE_FUNC_PREFIXES", false), "-p=");
    EXPECT_FALSE(rc.optString("", "IGNORABLE_LIBS", false));
    EXPECT_FALSE(rc.optString(nullptr, "FILTERS", false));
    EXPECT_FALSE(rc.optString("", "COMMON_FILTERS", false));

    const std::optional<std::string> file = rc.optString("-blacklist=", "IGNORABLE_FUNCTIONS", true);
    ASSERT_TRUE(file);
    const std::string path = file->substr(strlen("-blacklist="));
    EXPECT_EQ(path.rfind("/tmp/ryn", 0), 0u);
    EXPECT_EQ(ryn_test::read_file(path), "c1:f1:f2");
    ASSERT_EQ(w.util.temp_files.count, 1);
    EXPECT_EQ(path, w.util.temp_files[0]);
    unlink(path.c_str());
}

TEST(RcAnswers, LibraryListPutsTheFrontEndFirstAndDumpShowsEverySlot) {
    RcWorld w;
    rcData rc = w.read("set COMMON_IGNORABLE_LIBS /lib/\nset IGNORABLE_LIBS libA.so::libB.so:\n"
                       "set COMMON_WRITE_ONLY_LIBS\n", false, 2);
    EXPECT_EQ(listed(rc, "IGNORABLE_LIBS"), (std::vector<std::string>{"libA.so", "libB.so", "/lib/"}));
    EXPECT_TRUE(listed(rc, "WRITE_ONLY_LIBS").empty());
    ArgCache list;
    EXPECT_FALSE(rc.library_list("MEMVEX_IGNORABLE_LIBS", &list));

    EXPECT_EQ(w.err.rfind("ryn (info): Processed ./.ryn.rc for default settings\n"
                          "DRIVER_IGNORABLE_LIBS:  libA.so::libB.so:\n"
                          "DRIVER_IGNORABLE_FUNCTIONS:  No data.\n", 0), 0u) << w.err;
    EXPECT_NE(w.err.find("COMMON_IGNORABLE_LIBS:  /lib/\nCOMMON_IGNORABLE_FUNCTIONS:  No"),
              std::string::npos);
    EXPECT_TRUE(w.err.ends_with("No data.\nCOMMON_WRITE_ONLY_LIBS:  \n")) << w.err;

    ScopedEnv no_home("HOME", nullptr);
    unlink((w.cwd / ".ryn.rc").c_str());
    testing::internal::CaptureStderr();
    rcData none(false, nullptr, 2, &w.util);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Could not read .rc files\n");
}

TEST(RcAnswers, InstalledFileMakesTheSystemLibrariesIgnorable) {
    RcWorld w;
    rcData rc(false, (ryn_test::stage_dir() + "/lib/compilers").c_str(), 0, &w.util);
    EXPECT_EQ(listed(rc, "IGNORABLE_LIBS"),
              (std::vector<std::string>{"/lib/", "/lib64/", "/usr/lib/", "/usr/lib64/"}));
}

}  // namespace
