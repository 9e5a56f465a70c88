// The audit library answers the driver's two probes and stops the probed
// program before any of its own code runs.
#include <string>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

using ryn_test::compile_c;
using ryn_test::run;
using ryn_test::run_shell;
using ryn_test::TempDir;

std::string audit_library() { return ryn_test::stage_lib("amd64/ryndl.so"); }

// A program linked to an annotated library, with output of its own from a
// constructor and from main.
class RyndlProbe : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(compile_c(std::string(ryn_test::k_annotate_asm) +
                                  "int dep_value(void) { return 7; }\n",
                              lib_, "-shared -fPIC"));
        ASSERT_TRUE(compile_c("#include <stdio.h>\nint dep_value(void);\n"
                              "__attribute__((constructor)) static void early(void) "
                              "{ puts(\"constructor ran\"); }\n"
                              "int main(void) { printf(\"main %d\\n\", dep_value()); return 0; }\n",
                              prog_, "-L" + dir_.path() + " -ldep -Wl,-rpath," + dir_.path()));
    }

    TempDir dir_;
    const std::string lib_ = dir_ / "libdep.so";
    const std::string prog_ = dir_ / "prog";
};

TEST_F(RyndlProbe, ListsLoadedFilesAndStopsBeforeTheProgram) {
    const auto listing = run({prog_}, {"QVEN_RYN_AUDIT_PRINT_DEPS=yes", "LD_CONFGEN=yes",
                                       "LD_LOADAVAIL=yes", "LD_AUDIT=" + audit_library()});
    EXPECT_EQ(listing.status, 0) << listing.err;
    EXPECT_NE(listing.out.find(lib_ + "\n"), std::string::npos) << listing.out;
    EXPECT_NE(listing.out.find("/libc.so.6\n"), std::string::npos) << listing.out;
    EXPECT_EQ(listing.out.find("vdso"), std::string::npos) << listing.out;
    EXPECT_EQ(listing.out.find("constructor ran"), std::string::npos) << listing.out;
    EXPECT_EQ(listing.out.find("main 7"), std::string::npos) << listing.out;
    // Every line is a path: the main program's empty name is left out.
    size_t start = 0;
    for (size_t end; (end = listing.out.find('\n', start)) != std::string::npos; start = end + 1) {
        EXPECT_EQ(listing.out[start], '/') << listing.out;
    }
}

TEST_F(RyndlProbe, AnswersTheVersionProbeAndNothingElse) {
    const auto probe = run_shell("QVEN_RYN_AUDIT_VERSION=yes LD_AUDIT=" + audit_library() + " " +
                                 prog_ + " 2>&1 | cat");
    EXPECT_EQ(probe.status, 0);
    EXPECT_EQ(probe.out, "LAV_VERSION=4\n");
}

TEST_F(RyndlProbe, PassiveWithoutAProbe) {
    const auto plain = run({prog_}, {"LD_AUDIT=" + audit_library()});
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.out, "constructor ran\nmain 7\n");
    EXPECT_EQ(plain.err, "");
    const auto not_yes = run({prog_}, {"QVEN_RYN_AUDIT_PRINT_DEPS=no", "LD_AUDIT=" + audit_library()});
    EXPECT_EQ(not_yes.out, "constructor ran\nmain 7\n");
}

TEST(RyndlLibrary, NeedsNoCxxRuntime) {
    const auto deps = run({"readelf", "-d", audit_library()});
    ASSERT_EQ(deps.status, 0);
    EXPECT_EQ(deps.out.find("libstdc++"), std::string::npos) << deps.out;
}

}  // namespace
