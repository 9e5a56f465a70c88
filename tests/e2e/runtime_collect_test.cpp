// A collect run of the staged tool set measures a program and the library it
// loads: the program runs as it would, its library log names the library,
// the next run serves the library from its copy, and the data lands where
// the consumers look for it.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/e2e_support.h"
#include "support/runtime_support.h"

using namespace ryn_test;

namespace {

class Collect : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(compile_c(std::string(k_annotate_asm) +
                                  "int lib_twice(int x) { return 2 * x; }\n"
                                  "int lib_unused(void) { return 5; }\n",
                              lib, "-shared -fPIC -O0 -g"));
        ASSERT_TRUE(compile_c(std::string(k_annotate_asm) +
                                  "#include <stdio.h>\nint lib_twice(int x);\n"
                                  "int never(void) { return 3; }\n"
                                  "int main(int argc, char **argv) {\n"
                                  "    printf(\"r %d\\n\", lib_twice(argc));\n"
                                  "    return argc > 3 ? never() : 4;\n}\n",
                              prog, "-O0 -g -L" + work.path() + " -lone -Wl,-rpath," + work.path()));
    }
    RunResult collect(const std::vector<std::string>& extra_env = {}) {
        std::vector<std::string> env = ryn_e2e::hermetic_env(work.path());
        env.insert(env.end(), extra_env.begin(), extra_env.end());
        return run({stage_bin("ryn"), "collect", "-M", prog, "a"}, env, work.path());
    }

    TempDir work;
    std::string lib = work / "libone.so";
    std::string prog = work / "prog";
};

TEST_F(Collect, ProgramAndLoggedLibraryAreMeasured) {
    const RunResult plain = run({prog, "a"});
    const RunResult first = collect();
    EXPECT_EQ(first.out, plain.out);
    EXPECT_EQ(first.status, 0) << first.err;
    InstrData main_data = read_instrdata(work / "prog.instrdata/prog.instrdata");
    EXPECT_EQ(main_data.object, prog);
    EXPECT_EQ(reached(main_data, {"main", "never"}), std::vector<std::string>{"main"});
    const auto logs = ryn_e2e::files_ending_in(work / "cache", ".liblog");
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(read_file(logs[0]), lib + "\n");

    // The logged library is instrumented now and served from its copy.
    collect();
    const InstrData lib_data = read_instrdata(work / "libone.so.instrdata/prog.instrdata");
    EXPECT_EQ(lib_data.object, lib);
    EXPECT_EQ(reached(lib_data, {"lib_twice", "lib_unused"}),
              std::vector<std::string>{"lib_twice"});
}

TEST_F(Collect, DataDirectoryFromTheEnvironmentAccumulates) {
    const std::string elsewhere = work / "elsewhere";
    collect({"QVEN_RYN_INSTRDATA_DIR=" + elsewhere});
    collect({"QVEN_RYN_INSTRDATA_DIR=" + elsewhere});
    const InstrData data = read_instrdata(elsewhere + "/prog.instrdata/prog.instrdata");
    EXPECT_EQ(data.counts.at("main"), 2u);
    EXPECT_FALSE(exists(work / "prog.instrdata/prog.instrdata"));
}

}  // namespace
