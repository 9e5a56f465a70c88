// What a program that loads the shared driver sees of it: what its version
// script names and nothing else; and the installed headers are all it needs.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "support/test_support.h"

namespace {

std::string driver_library() { return ryn_test::stage_lib("libryn_driver.so"); }

TEST(ExportedInterface, TheDriverExportsWhatItsVersionScriptNamesAndNothingElse) {
    const std::string script =
        ryn_test::read_file(std::string(RYN_SOURCE_DIR) + "/src/driver/exports.map");
    const std::regex listed(R"(\n\s+(\w+);)");
    std::set<std::string> expected;
    for (std::sregex_iterator it(script.begin(), script.end(), listed), end; it != end; ++it) {
        expected.insert((*it)[1]);
    }
    ASSERT_TRUE(expected.contains("ryn_main_entry"));
    const ryn_test::RunResult defined =
        ryn_test::run({"nm", "-D", "--defined-only", driver_library()});
    ASSERT_EQ(defined.status, 0) << defined.err;
    std::set<std::string> names;
    std::istringstream lines(defined.out);
    for (std::string address, kind, name; lines >> address >> kind >> name;) {
        names.insert(name);
    }
    EXPECT_EQ(names, expected);
}

// A declaration without C linkage would compile here but fail to link.
TEST(ExportedInterface, TheInstalledHeadersAloneBuildAProgramThatLinksWithTheDriver) {
    ryn_test::TempDir dir;
    ryn_test::write_file(dir / "user.cpp", R"(
#include <ryn/i18n.h>
#include <ryn/pathutil.h>
#include <ryn/ryn_entry.h>

int main() {
    return getBasename("/a/b") && find_msg_enum("RYN_NO_USE", 1) > 0 && get_msg(RYN_NO_WRITE) &&
           !runtime_output;
}
)");
    const ryn_test::RunResult built =
        ryn_test::run_shell("c++ -std=c++20 -Wall -Werror -I '" + ryn_test::stage_dir() +
                            "/include' -o '" + dir / "user" + "' '" + dir / "user.cpp" + "' -L '" +
                            ryn_test::stage_lib("") + "' -lryn_driver");
    EXPECT_EQ(built.status, 0) << built.err;
}

}  // namespace
