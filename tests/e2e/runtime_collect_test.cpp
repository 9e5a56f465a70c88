// A collect run of the staged tool set leaves its data where the consumers
// look for it: with QVEN_RYN_INSTRDATA_DIR set, there, adding up run after
// run. (The corpus collects programs with their libraries.)
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/e2e_support.h"
#include "support/runtime_support.h"

using namespace ryn_test;

namespace {

TEST(Collect, DataDirectoryFromTheEnvironmentAccumulates) {
    TempDir work;
    const std::string prog = work / "prog";
    ASSERT_TRUE(compile_c(hello_source("hi"), prog, "'" + kalnote_object() + "'"));
    std::vector<std::string> env = ryn_e2e::hermetic_env(work.path());
    env.push_back("QVEN_RYN_INSTRDATA_DIR=" + (work / "elsewhere"));
    for (int i = 0; i < 2; ++i) {
        const RunResult collected = run({stage_bin("ryn"), "collect", "-M", prog}, env, work.path());
        ASSERT_EQ(collected.status, 0) << collected.err;
        EXPECT_EQ(collected.out, "hi\n");
    }
    EXPECT_EQ(read_instrdata(work / "elsewhere/prog.instrdata/prog.instrdata").counts.at("main"), 2u);
    EXPECT_FALSE(exists(work / "prog.instrdata/prog.instrdata"));
}

}  // namespace
