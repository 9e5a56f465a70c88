// The audit library answers the driver's two probes and stops the probed
// program before any code of the program runs.
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "support/test_support.h"

using namespace ryn_test;

namespace {

TEST(Ryndl, AnswersBothProbesBeforeTheProgramRuns) {
    TempDir dir;
    const std::string lib = dir / "libdep.so";
    const std::string prog = dir / "prog";
    ASSERT_TRUE(compile_c("int dep_value(void) { return 7; }\n", lib, "-shared -fPIC"));
    ASSERT_TRUE(
        compile_c("#include <stdio.h>\nint dep_value(void);\n"
                  "__attribute__((constructor)) static void early(void) { puts(\"early\"); }\n"
                  "int main(void) { printf(\"main %d\\n\", dep_value()); return 0; }\n",
                  prog, "-L" + dir.path() + " -ldep -Wl,-rpath," + dir.path()));
    const std::string audit = "LD_AUDIT=" + stage_lib("amd64/ryndl.so");
    // Without a probe it stays out of the way.
    ASSERT_EQ(run({prog}, {audit}).out, "early\nmain 7\n");

    const RunResult listing =
        run({prog}, {"QVEN_RYN_AUDIT_PRINT_DEPS=yes", "LD_CONFGEN=yes", "LD_LOADAVAIL=yes", audit});
    EXPECT_EQ(listing.status, 0) << listing.err;
    EXPECT_NE(listing.out.find(lib + "\n"), std::string::npos) << listing.out;
    EXPECT_NE(listing.out.find("/libc.so.6\n"), std::string::npos) << listing.out;
    // Paths only: no vDSO, no empty name for the program, no output of its own.
    EXPECT_TRUE(std::regex_match(listing.out, std::regex("(/[^\n]*\n)+"))) << listing.out;

    const RunResult probe =
        run_shell("QVEN_RYN_AUDIT_VERSION=yes " + audit + " " + prog + " 2>&1 | cat");
    EXPECT_EQ(probe.out, "LAV_VERSION=4\n");
}

}  // namespace
