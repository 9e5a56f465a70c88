// What a program that loads the shared driver sees of it: the entry, the
// message functions, the path functions and the globals shared with the
// launcher, and nothing else; and the installed headers are all it needs.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>

#include "support/test_support.h"

namespace {

std::string driver_library() { return ryn_test::stage_lib("libryn_driver.so"); }

TEST(ExportedInterface, TheDriverExportsOnlyItsEntryMessageAndPathFunctions) {
    const ryn_test::RunResult listed =
        ryn_test::run({"nm", "-D", "--defined-only", driver_library()});
    ASSERT_EQ(listed.status, 0) << listed.err;
    std::set<std::string> names;
    std::map<std::string, std::string> kinds;
    std::istringstream lines(listed.out);
    std::string address, kind, name;
    while (lines >> address >> kind >> name) {
        names.insert(name);
        kinds[name] = kind;
    }
    const std::set<std::string> expected = {
        "ryn_main_entry", "runtime_output",   "outbufsiz",         "ver_string",
        "short_usage",    "long_usage",       "ryn_ver_string",    "memvex_ver_string",
        "get_msg",        "get_msg_tag",      "get_help_tag",      "get_msg_severity",
        "find_msg_enum",  "i18n_init",        "i18n_setnlspath",   "i18n_fini",
        "get_catd",       "canonicalizePath", "canonicalizeReset", "canonicalizePathEx",
        "getBasename",    "getDirname",       "fyuFindExecDir",    "fyuGetExecDir",
        "fyuGetCmdName",  "fyuGetWorkingDir", "fyuSaveWorkingDir", "fyuChdir",
        "fyuIscwd"};
    EXPECT_EQ(names, expected);
    // The launcher's own usage texts and banner must be able to take the
    // place of the driver's defaults.
    for (const char* weak : {"ver_string", "short_usage", "long_usage"}) {
        EXPECT_EQ(kinds[weak], "V") << weak;
    }
}

TEST(ExportedInterface, TheInstalledHeadersAloneBuildAProgramThatUsesTheDriver) {
    ryn_test::TempDir dir;
    ryn_test::write_file(dir / "user.cpp", R"(
#include <ryn/i18n.h>
#include <ryn/pathutil.h>
#include <ryn/ryn_entry.h>

#include <cstdio>

int main() {
    std::printf("%s|%d|%s|%d\n", getBasename("/a/b"), find_msg_enum("RYN_NO_USE", 1),
                get_msg(RYN_NO_WRITE), runtime_output == nullptr);
    return 0;
}
)");
    // A sanitized driver needs its runtime loaded first.
    const bool sanitized =
        ryn_test::run_shell("readelf -d '" + driver_library() + "' | grep -q libasan").status == 0;
    const std::string lib_dir = ryn_test::stage_lib("");
    const ryn_test::RunResult built = ryn_test::run_shell(
        std::string("c++ -std=c++20 -Wall -Werror ") +
        (sanitized ? "-fsanitize=address,undefined " : "") + "-I '" + ryn_test::stage_dir() +
        "/include' -o '" + dir / "user" + "' '" + dir / "user.cpp" + "' -L '" + lib_dir +
        "' -lryn_driver -Wl,-rpath,'" + lib_dir + "'");
    ASSERT_EQ(built.status, 0) << built.err;
    const ryn_test::RunResult ran = ryn_test::run({dir / "user"});
    EXPECT_EQ(ran.status, 0) << ran.err;
    EXPECT_EQ(ran.out, "b|88|Will not instrument %s: Cannot replace.\n|1\n");
}

}  // namespace
