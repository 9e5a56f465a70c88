// The memory checker's command-line failures as a user sees them: exact
// texts on the right stream, exit statuses, and nothing left on disk.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "ryn/ryn_driver.h"
#include "support/test_support.h"

using namespace ryn;

namespace {

TEST(MemvexCommandLine, EveryFailureHasItsTextAndStatus) {
    const ryn_test::TempDir cwd;
    const std::string memvex = ryn_test::stage_bin("memvex");
    auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(), memvex);
        return ryn_test::run(args, {}, cwd.path());
    };
    const std::string usage = run({"-h"}).err;
    ASSERT_EQ(usage.rfind("Usage: " + memvex + " ", 0), 0u) << usage;
    const std::string w_error =
        memvex + ": Error in -W option: use -Wi,<morphel_arg> or -Wo,<morphel_arg>\n";
    const std::string h_error =
        usage + "memvex (error): -H option has changed: it now requires a filename argument\n";
    const std::vector<std::tuple<std::vector<std::string>, int, std::string>> cases = {
        {{"-h"}, 0, usage},
        {{"-x", "prog"}, 0, memvex + ": invalid option -- 'x'\n" + usage},
        {{"-o"}, 0, memvex + ": option requires an argument -- 'o'\n" + usage},
        {{"-Wx,y", "prog"}, 1, w_error},
        {{"-Wd,-zz", "prog"}, 1, w_error},
        {{"-Ye,/opt", "prog"}, 1, memvex + ": Error in -Y option: use -Yo,<morphel_location>\n"},
        {{"-i", "threads", "prog"}, 1, "Error in -i flag. Use -i datarace\n"},
        {{"-F", "all", "prog"}, 1, "Error in -F flag. Usage -F parent|child|both\n"},
        {{"-H", "-o", "out", "prog"}, 1, h_error},
        {{"-H", "r.html", "a", "b"}, 1, h_error},
        {{"prog", "-o", "x"}, 1, usage + "memvex (error): No input target specified\n"},
    };
    for (const auto& [args, status, err] : cases) {
        const ryn_test::RunResult r = run(args);
        EXPECT_EQ(r.status, status) << testing::PrintToString(args);
        EXPECT_EQ(r.err, err) << testing::PrintToString(args);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_TRUE(std::filesystem::is_empty(cwd.path())) << "files were left behind";

    const ryn_test::RunResult version = run({"-V", "prog"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string(memvex_ver_string) + "\n");
}

}  // namespace
