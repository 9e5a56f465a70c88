// How configuration files are read: which files, in which order, the line
// format, the prefix rules and the warnings.
#include <gtest/gtest.h>

#include <string>

#include "ryn/exec_util.h"
#include "ryn/rc_data.h"
#include "support/test_support.h"

using ryn_test::ScopedChdir;
using ryn_test::ScopedEnv;
using ryn_test::TempDir;
using ryn_test::write_file;

namespace {

enum Slot { LIBS = 0, FUNCS = 1, PREFIXES = 2, FILTERS = 3, FULL = 4, WRITE_ONLY = 5 };
constexpr int COMMON = rcData::k_nvars;

// A home directory, a current directory and an installation directory, each
// empty until a test writes its configuration file.
struct RcFiles {
    TempDir home, cwd, install;
    ScopedEnv home_env{"HOME", home.path().c_str()};
    ScopedChdir chdir{cwd.path()};
    ExecUtil util{"ryn"};

    void write_home(const std::string& text) const { write_file(home / ".ryn.rc", text); }
    void write_local(const std::string& text) const { write_file(cwd / ".ryn.rc", text); }
    void write_install(const std::string& text) const { write_file(install / "ryn.rc", text); }
    rcData read(bool memvex = false, int verbosity = 0) {
        return rcData(memvex, install.path().c_str(), verbosity, &util);
    }
};

TEST(RcFileFormat, ContinuationLinesJoinAndWarningsNameTheirFirstLine) {
    RcFiles f;
    const std::string long_item(5000, 'x');
    f.write_local("# comment\n"
                  "set IGNORABLE_LIBS li\\\n"
                  "bA.so\n"
                  "\t  \n"
                  "append IGNORABLE_LIBS " + long_item + "\n"
                  "bogus \\\n"
                  "IGNORABLE_LIBS\n"
                  "set FILTERS never\n");
    testing::internal::CaptureStderr();
    rcData rc = f.read();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "ryn (warning): Unrecognized command in ./.ryn.rc on line 6: bogus\n\n");
    EXPECT_EQ(rc.values[LIBS], "libA.so:" + long_item);
    EXPECT_FALSE(rc.values[FILTERS]);
    EXPECT_FALSE(rc.any_file_read);
}

TEST(RcFileFormat, UnrecognisedLinesKeepEarlierLinesButTheFileCountsAsUnread) {
    RcFiles f;
    f.write_local("set IGNORABLE_LIBS a\n"
                  "set COMMON_FILTERS f\n"
                  "sett IGNORABLE_LIBS b\n"
                  "set IGNORABLE_LIBS c\n");
    testing::internal::CaptureStderr();
    rcData rc = f.read();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ryn (warning): Unrecognized command in ./.ryn.rc on line 3: sett\n\n");
    EXPECT_EQ(rc.values[LIBS], "a");
    EXPECT_EQ(rc.values[COMMON + FILTERS], "f");
    EXPECT_FALSE(rc.any_file_read);
    EXPECT_FALSE(rc.optString("", "FILTERS", false));
    ArgCache list;
    EXPECT_FALSE(rc.library_list("IGNORABLE_LIBS", &list));
    EXPECT_EQ(list.count, 0);

    // Another file that reads cleanly makes the settings visible again.
    f.write_home("set WRITE_ONLY_LIBS w\n");
    testing::internal::CaptureStderr();
    rcData both = f.read();
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(both.any_file_read);
    EXPECT_EQ(both.optString("", "FILTERS", false), "f");
}

TEST(RcFileFormat, UnknownVariablesAndMissingWordsAreReportedCut) {
    RcFiles f;
    const std::string word(80, 'V');
    f.write_local("set " + word + "\n");
    f.write_home("\n\nremove\n");
    testing::internal::CaptureStderr();
    rcData rc = f.read();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ryn (warning): Unrecognized Variable in " + f.home.path() +
                  "/.ryn.rc on line 3: \n\n"
                  "ryn (warning): Unrecognized Variable in ./.ryn.rc on line 1: " +
                  std::string(64, 'V') + "\n\n");
    EXPECT_FALSE(rc.any_file_read);
}

TEST(RcFileFormat, PrefixesChooseTheSlotAndTheFrontEnd) {
    RcFiles f;
    f.write_local("set RYN_IGNORABLE_LIBS r\n"
                  "set MEMVEX_IGNORABLE_LIBS m\n"
                  "set COMMON_IGNORABLE_LIBS c\n"
                  "set SITE_IGNORABLE_FUNC_PREFIXES p\n"
                  "set IGNORABLE_FUNCTIONS fn extra words\n"
                  "set RYNX_WRITE_ONLY_LIBS w\n"
                  "set MEMVEX_FULL_LIB_INSTR full\n");
    rcData ryn = f.read(false);
    EXPECT_TRUE(ryn.any_file_read);
    EXPECT_EQ(ryn.values[LIBS], "r");
    EXPECT_EQ(ryn.values[COMMON + LIBS], "c");
    EXPECT_EQ(ryn.values[PREFIXES], "p");
    EXPECT_EQ(ryn.values[FUNCS], "fn");
    EXPECT_EQ(ryn.values[WRITE_ONLY], "w");
    EXPECT_FALSE(ryn.values[FULL]);

    rcData memvex = f.read(true);
    EXPECT_EQ(memvex.values[LIBS], "m");
    EXPECT_EQ(memvex.values[COMMON + LIBS], "c");
    EXPECT_EQ(memvex.values[PREFIXES], "p");
    EXPECT_FALSE(memvex.values[WRITE_ONLY]);
    EXPECT_EQ(memvex.values[FULL], "full");
}

TEST(RcFileFormat, SetAppendAndRemoveEditTheSlot) {
    RcFiles f;
    f.write_local("set FILTERS\n"
                  "append IGNORABLE_FUNCTIONS\n"
                  "append IGNORABLE_LIBS a:\n"
                  "append IGNORABLE_LIBS b\n"
                  "append IGNORABLE_LIBS c:d:e\n"
                  "remove IGNORABLE_LIBS a\n"     // first item takes the ':' after it
                  "remove IGNORABLE_LIBS d\n"     // later item takes the ':' before it
                  "remove IGNORABLE_LIBS zz\n"    // absent
                  "remove IGNORABLE_LIBS b:c:e:and-more\n"  // longer than the value
                  "remove WRITE_ONLY_LIBS x\n"    // unset slot
                  "set COMMON_WRITE_ONLY_LIBS lib:x\n"
                  "remove COMMON_WRITE_ONLY_LIBS ib\n");  // inside an item
    rcData rc = f.read();
    EXPECT_EQ(rc.values[FILTERS], "");
    EXPECT_EQ(rc.values[FUNCS], "");
    EXPECT_EQ(rc.values[LIBS], "b:c:e");
    EXPECT_FALSE(rc.values[WRITE_ONLY]);
    EXPECT_EQ(rc.values[COMMON + WRITE_ONLY], "l:x");
}

TEST(RcFileFormat, FilesAreReadInstallHomeThenCurrentDirectory) {
    RcFiles f;
    f.write_install("set IGNORABLE_LIBS install\nappend FILTERS i\n");
    f.write_home("set IGNORABLE_LIBS home\nappend FILTERS h\n");
    f.write_local("append FILTERS l\n");
    rcData rc = f.read();
    EXPECT_EQ(rc.values[LIBS], "home");
    EXPECT_EQ(rc.values[FILTERS], "i:h:l");

    rcData no_install(false, nullptr, 0, &f.util);
    EXPECT_EQ(no_install.values[FILTERS], "h:l");

    ScopedEnv no_home("HOME", nullptr);
    rcData local_only(false, nullptr, 0, &f.util);
    EXPECT_EQ(local_only.values[FILTERS], "l");
}

TEST(RcFileFormat, HomeAsCurrentDirectoryIsReadTwice) {
    RcFiles f;
    f.write_home("append COMMON_IGNORABLE_LIBS x\n");
    ScopedChdir into_home(f.home.path());
    rcData rc(false, nullptr, 0, &f.util);
    EXPECT_EQ(rc.values[COMMON + LIBS], "x:x");
}

TEST(RcFileFormat, VerbosityReportsProcessedFilesAndDumps) {
    RcFiles f;
    f.write_install("set FILTERS a\n");
    f.write_local("set COMMON_FILTERS b\n");
    testing::internal::CaptureStderr();
    f.read(false, 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ryn (info): Processed ./.ryn.rc for default settings\n");

    testing::internal::CaptureStderr();
    f.read(false, 2);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("ryn (info): Processed " + f.install.path() +
                       "/ryn.rc for default settings\n"
                       "ryn (info): Processed ./.ryn.rc for default settings\n"
                       "DRIVER_IGNORABLE_LIBS:  No data.\n"),
              0u)
        << err;
    EXPECT_NE(err.find("DRIVER_FILTERS:  a\n"), std::string::npos);
    EXPECT_NE(err.find("COMMON_FILTERS:  b\n"), std::string::npos);

    TempDir empty;
    ScopedChdir away(empty.path());
    ScopedEnv no_home("HOME", nullptr);
    testing::internal::CaptureStderr();
    rcData none(false, nullptr, 2, &f.util);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Could not read .rc files\n");
}

}  // namespace
