// The experiment tool stand-in records its command line in the experiment
// directory, and refuses a command line the driver could not have meant.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.h"

using namespace ryn_test;
using Args = std::vector<std::string>;

namespace {

RunResult er_ryn(Args args, const std::string& cwd) {
    args.insert(args.begin(), stage_dir() + "/lib/analyzer/er_ryn");
    return run(args, {}, cwd);
}

TEST(ErRyn, RecordsEachRunInItsExperimentAndRefusesMalformedCommands) {
    TempDir dir;
    const std::string prog = dir / "prog";
    write_file(prog, "");
    ASSERT_EQ(er_ryn({"-d", "exp", "-v", prog, "-vv", "-ryn", "-checkfile=c", prog, "-bcc"}, dir.path())
                  .status,
              0);
    ASSERT_EQ(er_ryn({"-o", "mine.er", prog, "-bcc"}, dir.path()).status, 0);
    ASSERT_EQ(er_ryn({prog, "-bcc"}, dir.path()).status, 0);
    EXPECT_EQ(read_file(dir / "test.1.er/command"),
              "-d\nexp\n-v\n" + prog + "\n-vv\n-ryn\n-checkfile=c\n" + prog + "\n-bcc\n");
    EXPECT_EQ(read_file(dir / "mine.er/command"), "-o\nmine.er\n" + prog + "\n-bcc\n");
    EXPECT_EQ(read_file(dir / "test.2.er/command"), prog + "\n-bcc\n");

    for (const Args& bad : {Args{"-v"}, Args{"-d"}, Args{dir / "absent", "-bcc"}, Args{prog, prog, "-bcc"},
                            Args{prog, "-bcc", prog}, Args{"-o", "x", prog, "-bcc"}}) {
        const RunResult refused = er_ryn(bad, dir.path());
        EXPECT_EQ(refused.status, 2);
        EXPECT_EQ(refused.err.rfind("er_ryn: error: ", 0), 0u) << refused.err;
    }
    EXPECT_FALSE(exists(dir / "test.3.er"));
}

}  // namespace
