// The libraries a program loads become targets of their own: listed through
// the audit library, filtered by the ignorable list, one target per file.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "unit/ryn_cache/cache_fixture.h"

using namespace ryn;

namespace {

using namespace ryn_test;

class Dependencies : public cache_test::CacheFixture {
protected:
    void SetUp() override {
        CacheFixture::SetUp();
        library("a");
        library("b");
        // The system's own libraries are ignorable, as the installed ryn.rc makes them.
        RynCache& cache = open_cache("ryn", true);
        for (const char* system_dir : {"/lib/", "/lib64/", "/usr/lib/", "/usr/lib64/"}) {
            cache.ignorable_libs.add_arg(system_dir);
        }
    }

    bool known(const std::string& path) {
        bool created = true;
        cache().lookup(path.c_str(), true, &created, {});
        return !created;
    }
};

// A program that prints the given lines, standing in for a listing: with no
// audit library at the configured place the loader runs the program itself.
std::string lister(const std::string& path, const std::vector<std::string>& lines) {
    std::string source = std::string(k_annotate_asm) + "#include <stdio.h>\nint main(void) {\n";
    for (const std::string& line : lines) {
        source += "    puts(\"" + line + "\");\n";
    }
    EXPECT_TRUE(compile_c(source + "    return 0;\n}\n", path));
    return path;
}

TEST_F(Dependencies, OneTargetPerFileHoweverItIsListedAndIgnorableOnesDropped) {
    ASSERT_EQ(symlink((dir / "liba.so").c_str(), (dir / "alias.so").c_str()), 0);
    ASSERT_EQ(mkdir((dir / "sub dir").c_str(), 0755), 0);
    const std::string helper = lister(dir / "sub dir/helper", {"liba.so"});
    const std::string main = lister(dir / "sub dir/lister",
                                    {"liba.so", dir / "liba.so", dir / "alias.so", helper,
                                     dir / "libb.so", "/usr/lib/x86_64-linux-gnu/libstdc++.so.6"});
    const ScopedChdir in_dir(dir.path());
    cache().ignorable_libs.add_arg("libb");
    cache().policy.audit_lib_path = dir / "no_audit_library_here/ryndl.so";
    bool uses_cxx = false;
    cache().add_target(main.c_str(), &uses_cxx, {.is_main = true});

    // A listed program is listed in turn; an ignorable runtime still counts.
    EXPECT_EQ(cache().ntargets, 3);
    EXPECT_TRUE(known(dir / "liba.so") && known(helper) && !known(dir / "libb.so"));
    EXPECT_TRUE(uses_cxx);
}

}  // namespace
