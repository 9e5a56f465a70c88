// What the configuration settings answer: option strings (COMMON first),
// option files, library lists (front end first) and the dump.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "ryn/arg_cache.h"
#include "ryn/exec_util.h"
#include "ryn/rc_data.h"
#include "support/test_support.h"

using ryn_test::ScopedChdir;
using ryn_test::ScopedEnv;
using ryn_test::TempDir;

namespace {

struct LocalRc {
    TempDir cwd;
    ScopedEnv no_home{"HOME", nullptr};
    ScopedChdir chdir{cwd.path()};
    ExecUtil util{"memvex"};

    rcData read(const std::string& text, bool memvex = false) {
        ryn_test::write_file(cwd / ".ryn.rc", text);
        return rcData(memvex, nullptr, 0, &util);
    }
};

std::vector<std::string> items(const ArgCache& list) {
    return std::vector<std::string>(list.begin(), list.end());
}

TEST(RcOptString, CommonValueComesFirstJoinedByOneColon) {
    LocalRc f;
    rcData rc = f.read("set IGNORABLE_FUNCTIONS f1:f2\n"
                       "set COMMON_IGNORABLE_FUNCTIONS c1\n"
                       "set FILTERS :front\n"
                       "set COMMON_FILTERS common\n"
                       "set COMMON_WRITE_ONLY_LIBS c:\n"
                       "set WRITE_ONLY_LIBS w\n"
                       "set IGNORABLE_LIBS lib\n"
                       "set COMMON_FULL_LIB_INSTR\n"
                       "set FULL_LIB_INSTR x\n"
                       "set IGNORABLE_FUNC_PREFIXES\n");
    EXPECT_EQ(rc.optString("-blacklist=", "IGNORABLE_FUNCTIONS", false), "-blacklist=c1:f1:f2");
    EXPECT_EQ(rc.optString("", "FILTERS", false), "common:front");
    EXPECT_EQ(rc.optString("", "WRITE_ONLY_LIBS", false), "c:w");
    EXPECT_EQ(rc.optString("-l=", "IGNORABLE_LIBS", false), "-l=lib");
    // An empty COMMON value still counts as set, so a ':' is put in.
    EXPECT_EQ(rc.optString("", "FULL_LIB_INSTR", false), ":x");
    EXPECT_EQ(rc.optString("-p=", "IGNORABLE_FUNC_PREFIXES", false), "-p=");

    EXPECT_FALSE(rc.optString(nullptr, "FILTERS", false));
    EXPECT_FALSE(rc.optString("", "COMMON_FILTERS", false));
    EXPECT_FALSE(rc.optString("", "filters", false));
    rcData unset = f.read("set FILTERS f\n");
    EXPECT_FALSE(unset.optString("", "IGNORABLE_FUNCTIONS", false));
}

TEST(RcOptString, ToFileWritesTheJoinedValueIntoARegisteredTemporaryFile) {
    LocalRc f;
    rcData rc = f.read("append COMMON_IGNORABLE_FUNC_PREFIXES __x\n"
                       "append IGNORABLE_FUNC_PREFIXES _Z:mine\n");
    const std::optional<std::string> first = rc.optString("-blacklist_pfx=", "IGNORABLE_FUNC_PREFIXES", true);
    const std::optional<std::string> second = rc.optString("-blacklist_pfx=", "IGNORABLE_FUNC_PREFIXES", true);
    ASSERT_TRUE(first && second);
    const std::string prefix = "-blacklist_pfx=/tmp/ryn";
    ASSERT_EQ(first->rfind(prefix, 0), 0u) << *first;
    const std::string path = first->substr(strlen("-blacklist_pfx="));
    EXPECT_EQ(path.size(), strlen("/tmp/rynXXXXXX"));
    EXPECT_NE(*first, *second);

    EXPECT_EQ(ryn_test::read_file(path), "__x:_Z:mine");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(f.util.temp_files.count, 2);
    EXPECT_EQ(path, f.util.temp_files[0]);
    for (const char* p : f.util.temp_files) {
        unlink(p);
    }
}

TEST(RcLibraryList, FrontEndItemsComeFirstAndEmptyPiecesAreSkipped) {
    LocalRc f;
    rcData rc = f.read("set COMMON_IGNORABLE_LIBS /lib/:/usr/lib/\n"
                       "set MEMVEX_IGNORABLE_LIBS libA.so::libB.so:\n"
                       "set RYN_IGNORABLE_LIBS libR.so\n"
                       "set WRITE_ONLY_LIBS\n",
                       true);
    ArgCache list;
    list.add_arg("already");
    EXPECT_TRUE(rc.library_list("IGNORABLE_LIBS", &list));
    EXPECT_EQ(items(list), (std::vector<std::string>{"already", "libA.so", "libB.so", "/lib/",
                                                     "/usr/lib/"}));

    ArgCache write_only;
    EXPECT_TRUE(rc.library_list("WRITE_ONLY_LIBS", &write_only));
    EXPECT_TRUE(rc.library_list("FILTERS", &write_only));
    EXPECT_EQ(write_only.count, 0);
    EXPECT_FALSE(rc.library_list("MEMVEX_IGNORABLE_LIBS", &write_only));
    EXPECT_FALSE(rc.library_list(nullptr, &write_only));
}

TEST(RcDump, PrintsEverySlotWithItsLabel) {
    LocalRc f;
    rcData rc = f.read("set IGNORABLE_FUNCTIONS a:b\n"
                       "set COMMON_WRITE_ONLY_LIBS\n");
    testing::internal::CaptureStderr();
    rc.dump();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "DRIVER_IGNORABLE_LIBS:  No data.\n"
              "DRIVER_IGNORABLE_FUNCTIONS:  a:b\n"
              "DRIVER_IGNORABLE_FUNC_PREFIXES:  No data.\n"
              "DRIVER_FILTERS:  No data.\n"
              "DRIVER_FULL_LIB_INSTR:  No data.\n"
              "DRIVER_WRITE_ONLY_LIBS:  No data.\n"
              "COMMON_IGNORABLE_LIBS:  No data.\n"
              "COMMON_IGNORABLE_FUNCTIONS:  No data.\n"
              "COMMON_IGNORABLE_FUNC_PREFIXES:  No data.\n"
              "COMMON_FILTERS:  No data.\n"
              "COMMON_FULL_LIB_INSTR:  No data.\n"
              "COMMON_WRITE_ONLY_LIBS:  \n");
}

TEST(RcInstalledFile, MakesTheSystemLibrariesIgnorable) {
    ExecUtil util("ryn");
    TempDir cwd;
    ScopedEnv no_home("HOME", nullptr);
    ScopedChdir chdir(cwd.path());
    const std::string lib_dir = ryn_test::stage_dir() + "/lib/compilers";
    rcData rc(false, lib_dir.c_str(), 0, &util);
    ArgCache list;
    ASSERT_TRUE(rc.library_list("IGNORABLE_LIBS", &list));
    EXPECT_EQ(items(list),
              (std::vector<std::string>{"/lib/", "/lib64/", "/usr/lib/", "/usr/lib64/"}));
}

}  // namespace
