#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "ryn/i18n.h"
#include "support/test_support.h"

namespace {

const std::string k_tail = "/../lib/locale/%L/LC_MESSAGES/%N.cat";
const std::string k_tail_up = "/../../lib/locale/%L/LC_MESSAGES/%N.cat";

std::string expected_paths(const std::string& dir) {
    return dir + k_tail + ":" + dir + k_tail_up;
}

TEST(Nlspath, NewValueFollowsThePreviousOneAndFiniPutsItBack) {
    ryn_test::ScopedEnv env("NLSPATH", "/usr/share/%N");
    EXPECT_EQ(i18n_setnlspath("/opt/p/bin"), 0);
    EXPECT_EQ(std::string(getenv("NLSPATH")), "/usr/share/%N:" + expected_paths("/opt/p/bin"));
    i18n_fini();
    EXPECT_EQ(std::string(getenv("NLSPATH")), "/usr/share/%N");
    EXPECT_EQ(get_catd(), reinterpret_cast<nl_catd>(-1));
}

TEST(Nlspath, WithoutAPreviousValueFiniLeavesItEmpty) {
    ryn_test::ScopedEnv env("NLSPATH", nullptr);
    EXPECT_EQ(i18n_setnlspath("/d"), 0);
    EXPECT_EQ(std::string(getenv("NLSPATH")), expected_paths("/d"));
    i18n_fini();
    ASSERT_NE(getenv("NLSPATH"), nullptr);
    EXPECT_EQ(std::string(getenv("NLSPATH")), "");
}

TEST(Nlspath, LongValuesStayComplete) {
    const std::string previous(2000, 'p');
    ryn_test::ScopedEnv env("NLSPATH", previous.c_str());
    i18n_init("/opt/long");
    const std::string expected = previous + ":" + expected_paths("/opt/long");
    EXPECT_EQ(std::string(getenv("NLSPATH")), expected);
    // A second call builds on the long value and replaces the buffer it sits in.
    EXPECT_EQ(i18n_setnlspath("/x"), 0);
    EXPECT_EQ(std::string(getenv("NLSPATH")), expected + ":" + expected_paths("/x"));
    i18n_fini();
    EXPECT_EQ(std::string(getenv("NLSPATH")), expected);
    // Back to a short value: the static buffer takes over from the heap one.
    ryn_test::ScopedEnv shorter("NLSPATH", "/s");
    EXPECT_EQ(i18n_setnlspath("/y"), 0);
    EXPECT_EQ(std::string(getenv("NLSPATH")), "/s:" + expected_paths("/y"));
    i18n_fini();
    EXPECT_EQ(std::string(getenv("NLSPATH")), "/s");
}

TEST(Nlspath, WithoutAnInstalledCatalogTheDefaultsRemain) {
    ryn_test::TempDir dir;
    ryn_test::ScopedEnv env("NLSPATH", nullptr);
    ryn_test::ScopedEnv lang("LANG", "C");
    i18n_init(dir.path().c_str());
    EXPECT_EQ(get_catd(), reinterpret_cast<nl_catd>(-1));
    EXPECT_STREQ(get_msg(RYN_NO_USE), "Will not analyze %s: Not instrumented.\n");
    i18n_fini();
}

TEST(Catalog, AnInstalledCatalogIsFoundBesideTheInstallationAndAddressedBySetAndNumber) {
    ryn_test::TempDir root;
    const std::string messages = root / "lib/locale/C/LC_MESSAGES";
    ASSERT_EQ(ryn_test::run_shell("mkdir -p '" + messages + "' '" + root.path() + "/bin'").status, 0);
    ryn_test::write_file(root / "morphel.msg",
                         "$set 1\n88 catalog row 88 %s\n113 not this one\n"
                         "$set 254\n1 catalog set 254 number 1\n");
    const ryn_test::RunResult made = ryn_test::run(
        {"gencat", messages + "/QVEN_DEVK_XC_morphel.cat", root / "morphel.msg"});
    ASSERT_EQ(made.status, 0) << made.err;

    ryn_test::ScopedEnv env("NLSPATH", nullptr);
    ryn_test::ScopedEnv lang("LC_ALL", "C");
    i18n_init((root / "bin").c_str());
    ASSERT_NE(get_catd(), reinterpret_cast<nl_catd>(-1));
    EXPECT_STREQ(get_msg(RYN_NO_USE), "catalog row 88 %s");
    EXPECT_STREQ(get_msg(MEMVEX_CANNOT_REDIRECT), "catalog set 254 number 1");
    // Rows the catalog lacks keep their defaults.
    EXPECT_STREQ(get_msg(RYN_NO_WRITE), "Will not instrument %s: Cannot replace.\n");
    i18n_fini();
    EXPECT_EQ(get_catd(), reinterpret_cast<nl_catd>(-1));
    EXPECT_STREQ(get_msg(RYN_NO_USE), "Will not analyze %s: Not instrumented.\n");
}

}  // namespace
