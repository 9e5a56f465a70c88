// The libraries a program loads become targets of their own: listed through
// the audit library, filtered by the ignorable list, one target per file.
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ryn/exec_util.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/target.h"
#include "support/test_support.h"

namespace {

using namespace ryn_test;

const char* const k_system_dirs[] = {"/lib/", "/lib64/", "/usr/lib/", "/usr/lib64/"};

// A program that prints the given lines, standing in for a listing: with no
// audit library at the configured place the loader runs the program itself.
std::string lister_source(const std::vector<std::string>& lines) {
    std::string source = std::string(k_annotate_asm) + "#include <stdio.h>\nint main(void) {\n";
    for (const std::string& line : lines) {
        source += "    puts(\"" + line + "\");\n";
    }
    return source + "    return 0;\n}\n";
}

class Dependencies : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string body = std::string(k_annotate_asm) + "int f_NAME(void) { return 1; }\n";
        for (const char* name : {"a", "b"}) {
            std::string source = body;
            source.replace(source.find("NAME"), 4, name);
            ASSERT_TRUE(compile_c(source, dir / ("lib" + std::string(name) + ".so"),
                                  "-shared -fPIC"));
        }
        driver.audit_lib_dir = stage_lib("amd64");
    }

    std::unique_ptr<RynCache> open_cache(bool ignore_system = true) {
        auto cache = std::make_unique<RynCache>((dir / "cache").c_str(), false, "count", true,
                                                driver.util.get(), &driver);
        if (ignore_system) {
            for (const char* system_dir : k_system_dirs) {
                cache->ignorable_libs.add_arg(system_dir);
            }
        }
        return cache;
    }

    // A program linked against both libraries, found again through its run path.
    std::string linked_program() {
        const std::string prog = dir / "prog";
        EXPECT_TRUE(compile_c(std::string(k_annotate_asm) +
                                  "int f_a(void); int f_b(void);\n"
                                  "int main(void) { return f_a() + f_b() - 2; }\n",
                              prog, "-L" + dir.path() + " -la -lb -Wl,-rpath," + dir.path()));
        return prog;
    }

    bool known(RynCache& cache, const std::string& path) {
        bool created = true;
        cache.lookup(false, path.c_str(), true, &created, false, false, false, true);
        return !created;
    }

    TempDir dir;
    ScopedEnv no_env_cache{"QVEN_RYN_CACHE_DIR", nullptr};
    RynDriver driver{"ryn", 4, RynDriver::PrepareOnly{}};
};

TEST_F(Dependencies, ProgramWithTwoLibrariesGivesThreeTargets) {
    const std::string prog = linked_program();
    auto cache = open_cache();
    bool uses_cxx = false;
    Target* main_target = cache->add_target(true, prog.c_str(), &uses_cxx, false, false, false,
                                            true);
    EXPECT_TRUE(main_target->valid);
    EXPECT_EQ(cache->ntargets, 3);
    EXPECT_FALSE(uses_cxx);

    for (const char* name : {"liba.so", "libb.so"}) {
        bool created = true;
        const Target* t = cache->lookup(false, (dir / name).c_str(), true, &created, false,
                                        false, false, true);
        EXPECT_FALSE(created) << name;
        EXPECT_TRUE(t->is_shared_lib && t->valid && t->has_annotations && !t->is_main) << name;
    }
}

TEST_F(Dependencies, IgnorableEntriesMatchPathOrBasenamePrefixes) {
    const std::string prog = linked_program();
    {
        auto cache = open_cache();
        cache->ignorable_libs.add_arg("iba");      // not a prefix of either name
        cache->ignorable_libs.add_arg("liba");     // drops liba.so
        cache->add_target(true, prog.c_str(), nullptr, false, false, false, true);
        EXPECT_EQ(cache->ntargets, 2);
        EXPECT_FALSE(known(*cache, dir / "liba.so"));
        EXPECT_TRUE(known(*cache, dir / "libb.so"));
    }
    {
        auto cache = open_cache();
        cache->ignorable_libs.add_arg((dir.path() + "/").c_str());
        cache->add_target(true, prog.c_str(), nullptr, false, false, false, true);
        EXPECT_EQ(cache->ntargets, 1);
    }
    {
        // A shared library is never listed.
        auto cache = open_cache(false);
        cache->add_target(true, (dir / "liba.so").c_str(), nullptr, false, false, false, true);
        EXPECT_EQ(cache->ntargets, 1);
    }
}

TEST_F(Dependencies, OneTargetPerFileHoweverItIsNamed) {
    ASSERT_EQ(symlink((dir / "liba.so").c_str(), (dir / "alias.so").c_str()), 0);
    const std::string prog = dir / "lister";
    ASSERT_TRUE(compile_c(lister_source({"liba.so", dir / "liba.so", dir / "alias.so",
                                         dir / "libb.so", dir / "libb.so", prog}),
                          prog));
    driver.audit_lib_dir = dir / "no_audit_library_here";
    const ScopedChdir in_dir(dir.path());
    auto cache = open_cache();
    cache->add_target(true, prog.c_str(), nullptr, false, false, false, true);
    EXPECT_EQ(cache->ntargets, 3);
    EXPECT_TRUE(known(*cache, dir / "liba.so"));
    EXPECT_TRUE(known(*cache, dir / "libb.so"));
}

TEST_F(Dependencies, ListedProgramsAreListedInTurnAndTraced) {
    const std::string helper = dir / "helper";
    const std::string prog = dir / "lister";
    ASSERT_TRUE(compile_c(lister_source({dir / "libb.so"}), helper));
    ASSERT_TRUE(compile_c(lister_source({"liba.so", helper}), prog));
    driver.audit_lib_dir = dir / "no_audit_library_here";
    driver.very_verbose = true;
    const ScopedChdir in_dir(dir.path());
    auto cache = open_cache();

    testing::internal::CaptureStderr();
    // A library registered first is not listed and leaves the level alone.
    cache->add_target(false, (dir / "libb.so").c_str(), nullptr, false, false, false, true);
    cache->add_target(true, prog.c_str(), nullptr, false, false, false, true);
    const std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(cache->ntargets, 4);
    EXPECT_TRUE(known(*cache, helper));
    EXPECT_TRUE(known(*cache, dir / "liba.so"));
    EXPECT_NE(err.find("ryn (info): DEPLEVEL 1 liba.so\n"), std::string::npos) << err;
    EXPECT_NE(err.find("ryn (info): DEPLEVEL 1 " + helper + "\n"), std::string::npos) << err;
    EXPECT_NE(err.find("ryn (info): DEPLEVEL 2 " + dir.path() + "/libb.so\n"),
              std::string::npos)
        << err;
}

TEST_F(Dependencies, RuntimeLibraryIsNoticedEvenWhenIgnorable) {
    const std::string source = dir / "cxx.cpp";
    const std::string prog = dir / "cxx";
    write_file(source, std::string(k_annotate_asm) +
                           "#include <string>\n#include <cstdio>\n"
                           "int main(int argc, char**) { std::string s(argc, 'x');\n"
                           "  std::puts(s.c_str()); return 0; }\n");
    const RunResult built = run({"g++", "-g", "-o", prog, source});
    ASSERT_EQ(built.status, 0) << built.err;

    auto cache = open_cache();
    bool uses_cxx = false;
    cache->add_target(true, prog.c_str(), &uses_cxx, false, false, false, true);
    EXPECT_TRUE(uses_cxx);
    EXPECT_EQ(cache->ntargets, 1);
}

}  // namespace
