// The objects users link or load from the install tree: kalnote.o marks a
// program as annotated without changing how it runs, and each checker runtime
// is a shared object a program can load.
#include <dlfcn.h>

#include <string>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

using ryn_test::run;
using ryn_test::TempDir;

TEST(StagedRuntimes, KalnoteMarksAProgramAsAnnotated) {
    TempDir dir;
    const std::string prog = dir / "prog";
    ASSERT_TRUE(ryn_test::compile_c(ryn_test::hello_source("annotated"), prog,
                                    ryn_test::kalnote_object()));
    EXPECT_EQ(run({prog}).out, "annotated\n");
    EXPECT_NE(run({"readelf", "-S", prog}).out.find(".annotate"), std::string::npos);
    // The object carries its own stack note, so linking it in keeps the
    // stack non-executable.
    const std::string segments = run({"readelf", "-lW", prog}).out;
    const size_t stack = segments.find("GNU_STACK");
    ASSERT_NE(stack, std::string::npos);
    const std::string line = segments.substr(stack, segments.find('\n', stack) - stack);
    EXPECT_NE(line.find(" RW "), std::string::npos) << line;
    EXPECT_EQ(line.find("RWE"), std::string::npos) << line;
}

TEST(StagedRuntimes, CheckerRuntimesLoad) {
    for (const std::string name : {"libmemvex.so", "libvek.so", "libvek_binstr.so"}) {
        SCOPED_TRACE(name);
        void* handle = dlopen(ryn_test::stage_lib("amd64/" + name).c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        dlclose(handle);
    }
}

}  // namespace
