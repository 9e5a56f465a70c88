#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "ryn/i18n.h"
#include "support/test_support.h"

namespace {

std::string nlspath() { return getenv("NLSPATH") ? getenv("NLSPATH") : "(unset)"; }

std::string catalog_paths(const std::string& dir) {
    return dir + "/../lib/locale/%L/LC_MESSAGES/%N.cat:" + dir +
           "/../../lib/locale/%L/LC_MESSAGES/%N.cat";
}

// Values beyond the 1024-byte buffer stay complete, and a short value after a
// long one still leaves the environment a valid buffer.
TEST(MessageCatalog, NlspathFollowsThePreviousValueAndFiniPutsItBack) {
    const std::string previous(2000, 'p');
    const ryn_test::ScopedEnv long_value("NLSPATH", previous.c_str());
    EXPECT_EQ(i18n_setnlspath("/x"), 0);
    EXPECT_EQ(nlspath(), previous + ":" + catalog_paths("/x"));
    i18n_fini();
    EXPECT_EQ(nlspath(), previous);
    const ryn_test::ScopedEnv unset("NLSPATH", nullptr);
    EXPECT_EQ(i18n_setnlspath("/y"), 0);
    EXPECT_EQ(nlspath(), catalog_paths("/y"));
    i18n_fini();
    EXPECT_EQ(nlspath(), "");
}

TEST(MessageCatalog, AnInstalledCatalogIsAddressedBySetAndNumber) {
    ryn_test::TempDir root;
    const std::string messages = root / "lib/locale/C/LC_MESSAGES";
    ryn_test::write_file(root / "m.msg",
                         "$set 1\n88 row 88 %s\n113 not this\n$set 254\n1 set 254 no 1\n");
    const ryn_test::RunResult made =
        ryn_test::run_shell("mkdir -p " + messages + " " + root / "bin" + " && gencat " + messages +
                            "/QVEN_DEVK_XC_morphel.cat " + root / "m.msg");
    ASSERT_EQ(made.status, 0) << made.err;
    const ryn_test::ScopedEnv unset("NLSPATH", nullptr);
    const ryn_test::ScopedEnv locale("LC_ALL", "C");
    EXPECT_STREQ(get_msg(RYN_NO_USE), "Will not analyze %s: Not instrumented.\n");
    i18n_init((root / "bin").c_str());
    EXPECT_STREQ(get_msg(RYN_NO_USE), "row 88 %s");
    EXPECT_STREQ(get_msg(MEMVEX_CANNOT_REDIRECT), "set 254 no 1");
    EXPECT_STREQ(get_msg(RYN_NO_WRITE), "Will not instrument %s: Cannot replace.\n");
    i18n_fini();
    EXPECT_STREQ(get_msg(RYN_NO_USE), "Will not analyze %s: Not instrumented.\n");
}

}  // namespace
