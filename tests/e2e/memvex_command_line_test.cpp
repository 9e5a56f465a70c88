// The memory checker's command-line failures as a user sees them: exact
// texts on the right stream, exit statuses, and nothing left on disk.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ryn/ryn_driver.h"
#include "support/test_support.h"

using ryn_test::RunResult;
using ryn_test::TempDir;

namespace {

class MemvexCommandLine : public testing::Test {
protected:
    RunResult memvex(std::vector<std::string> args) {
        args.insert(args.begin(), path);
        return ryn_test::run(args, {}, cwd.path());
    }
    void TearDown() override {
        EXPECT_TRUE(std::filesystem::is_empty(cwd.path())) << "files were left behind";
    }

    const std::string path = ryn_test::stage_bin("memvex");
    TempDir cwd;
};

TEST_F(MemvexCommandLine, HelpAndVersionExitZero) {
    const RunResult help = memvex({"-h"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, "");
    EXPECT_EQ(help.err.rfind("Usage: " + path + " ", 0), 0u) << help.err;
    EXPECT_NE(help.err.find("\n     "), std::string::npos) << "the indent is five blanks";
    EXPECT_EQ(memvex({"-?"}).err, help.err);

    const RunResult version = memvex({"-V", "prog"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string(memvex_ver_string) + "\n");
    EXPECT_EQ(version.err, "");

    // getopt's own diagnostic, then the usage, and still status 0.
    const RunResult unknown = memvex({"-x", "prog"});
    EXPECT_EQ(unknown.status, 0);
    EXPECT_EQ(unknown.err, path + ": invalid option -- 'x'\n" + help.err);
    const RunResult missing = memvex({"-o"});
    EXPECT_EQ(missing.status, 0);
    EXPECT_EQ(missing.err, path + ": option requires an argument -- 'o'\n" + help.err);
}

TEST_F(MemvexCommandLine, BadOptionValuesExitOneWithTheirOwnLine) {
    const std::string w_error =
        path + ": Error in -W option: use -Wi,<morphel_arg> or -Wo,<morphel_arg>\n";
    for (const char* bad : {"-Wx,y", "-Wd,-q", "-Wd,-zz", "-Wi"}) {
        const RunResult r = memvex({bad, "prog"});
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_EQ(r.err, w_error) << bad;
    }
    const RunResult y = memvex({"-Ye,/opt", "prog"});
    EXPECT_EQ(y.status, 1);
    EXPECT_EQ(y.err, path + ": Error in -Y option: use -Yo,<morphel_location>\n");

    const RunResult i = memvex({"-i", "threads", "prog"});
    EXPECT_EQ(i.status, 1);
    EXPECT_EQ(i.err, "Error in -i flag. Use -i datarace\n");

    const RunResult f = memvex({"-F", "all", "prog"});
    EXPECT_EQ(f.status, 1);
    EXPECT_EQ(f.err, "Error in -F flag. Usage -F parent|child|both\n");
}

TEST_F(MemvexCommandLine, OperandErrorsPrintUsageThenTheError) {
    const std::string usage = memvex({"-h"}).err;
    const std::string h_error =
        "memvex (error): -H option has changed: it now requires a filename argument\n";
    const std::string no_target = "memvex (error): No input target specified\n";

    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    const Case cases[] = {
        {{"-H", "-o", "out", "prog"}, h_error},
        {{"-H", "r.html", "a", "b"}, h_error},
        {{"-H", "r.html"}, h_error},
        {{}, no_target},
        {{"a", "b"}, no_target},
        {{"prog", "-o", "x"}, no_target},
    };
    for (const Case& c : cases) {
        const RunResult r = memvex(c.args);
        EXPECT_EQ(r.status, 1) << testing::PrintToString(c.args);
        EXPECT_EQ(r.err, usage + c.error) << testing::PrintToString(c.args);
        EXPECT_EQ(r.out, "");
    }
}

}  // namespace
