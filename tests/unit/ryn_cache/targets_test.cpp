// Targets in the cache: who may use its directory, how paths are keyed, the
// libraries a program loads becoming targets of their own, and a target's
// cached copy: reused when the same engine made it with the same command
// line, kept apart per checking kind, refused for unusable paths.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "ryn/arg_cache.h"
#include "unit/ryn_cache/cache_fixture.h"

using namespace ryn;
using namespace ryn_test;

namespace {

class TargetCache : public cache_test::CacheFixture {
protected:
    void SetUp() override {
        CacheFixture::SetUp();
        open_cache();
    }

    std::string base_of(const char* dir, bool use_home, const char* kind) {
        return RynCache(dir, use_home, kind, false, &driver->util(), CachePolicy{}).base;
    }

    // The n-th spelling of prog's path: lookup keys paths as given.
    std::string spelling(int n) const { return dir.path() + std::string(n + 1, '/') + "prog"; }

    Target* lookup(const std::string& path, bool* created) {
        return cache().lookup(path.c_str(), false, created, {});
    }
};

TEST_F(TargetCache, ForeignOwnerEndsTheRunUnlessTheDirectoryWasChosen) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a directory away";
    }
    const ScopedChdir in_dir(dir.path());
    ASSERT_EQ(mkdir((dir / "QVEN_Ryn_Cache").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "QVEN_Ryn_Cache/count").c_str(), 0755), 0);
    ASSERT_EQ(chown((dir / "QVEN_Ryn_Cache/count").c_str(), 54321, 54321), 0);
    EXPECT_EXIT(base_of(nullptr, false, "count"), ::testing::ExitedWithCode(1),
                "^ryn \\(error\\): Cache directory is owned by another user: fatal error: \n$");
    // A directory named on purpose may be shared with other users.
    EXPECT_EQ(base_of("QVEN_Ryn_Cache", false, "count"), dir / "QVEN_Ryn_Cache/count");
}

// A table that grows still finds every target without making it again, and
// its walk meets each target once.
TEST_F(TargetCache, FindsAndWalksEveryTargetAfterGrowing) {
    bool created = false;
    for (int i = 0; i < 14; ++i) {
        lookup(spelling(i), &created);
    }
    // Fourteen targets in thirteen buckets: the next look-up grows the table.
    for (int i = 0; i < 14; ++i) {
        EXPECT_EQ(lookup(spelling(i), &created)->name, spelling(i));
        EXPECT_FALSE(created);
    }
    EXPECT_EQ(cache().ntargets, 14);
    std::multiset<std::string> walked;
    CacheIterator it(&cache());
    while (const Target* t = it.get_next_target()) {
        walked.insert(t->name);
    }
    EXPECT_EQ(walked.size(), 14u);
    EXPECT_EQ(std::set<std::string>(walked.begin(), walked.end()).size(), 14u);
}

TEST_F(TargetCache, AddTargetResolvesPathsLookupDoesNot) {
    const std::string link = dir / "link";
    ASSERT_EQ(symlink(prog.c_str(), link.c_str()), 0);
    const ScopedChdir in_dir(dir.path());
    Target* by_relative = add("prog");
    EXPECT_EQ(add(prog), by_relative);
    EXPECT_EQ(add(link), by_relative);
    EXPECT_EQ(by_relative->name, prog);
    EXPECT_EQ(cache().ntargets, 1);

    bool created = false;
    EXPECT_EQ(lookup(prog, &created), by_relative);
    EXPECT_FALSE(created);
    Target* dotted = lookup("./prog", &created);
    Target* linked = lookup(link, &created);
    EXPECT_TRUE(dotted != by_relative && linked != by_relative && linked != dotted);
    EXPECT_EQ(cache().ntargets, 3);
}

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

using TargetReuse = cache_test::CacheFixture;

TEST_F(TargetReuse, DependenciesAreOneTargetPerFileHoweverListedAndIgnorableOnesDropped) {
    library("a");
    library("b");
    open_cache("ryn", true);
    // The system's own libraries are ignorable, as the installed ryn.rc makes them.
    for (const char* ignorable : {"/lib/", "/lib64/", "/usr/lib/", "/usr/lib64/", "libb"}) {
        cache().ignorable_libs.add_arg(ignorable);
    }
    const auto known = [&](const std::string& path) {
        bool created = true;
        cache().lookup(path.c_str(), true, &created, {});
        return !created;
    };
    ASSERT_EQ(symlink((dir / "liba.so").c_str(), (dir / "alias.so").c_str()), 0);
    ASSERT_EQ(mkdir((dir / "sub dir").c_str(), 0755), 0);
    const std::string helper = lister(dir / "sub dir/helper", {"liba.so"});
    const std::string main = lister(dir / "sub dir/lister",
                                    {"liba.so", dir / "liba.so", dir / "alias.so", helper,
                                     dir / "libb.so", "/usr/lib/x86_64-linux-gnu/libstdc++.so.6"});
    const ScopedChdir in_dir(dir.path());
    cache().policy.audit_lib_path = dir / "no_audit_library_here/ryndl.so";
    bool uses_cxx = false;
    cache().add_target(main.c_str(), &uses_cxx, {.is_main = true});

    // A listed program is listed in turn; an ignorable runtime still counts.
    EXPECT_EQ(cache().ntargets, 3);
    EXPECT_TRUE(known(dir / "liba.so") && known(helper) && !known(dir / "libb.so"));
    EXPECT_TRUE(uses_cxx);
}

// A library's copy for full checking and its write-only copy live apart.
TEST_F(TargetReuse, FullAndWriteOnlyCopiesLiveApart) {
    const std::string lib = library("q");
    open_cache("memvex");
    const std::string write_only = add(lib, false)->cached_name;
    policy.check_all_libraries = true;
    reopen_cache();
    const std::string full = add(lib, false)->cached_name;
    ASSERT_TRUE(write_only.ends_with("_w/libq.so")) << write_only;
    EXPECT_EQ(full, write_only.substr(0, write_only.size() - 10) + "_f/libq.so");
    for (const std::string& copy : {write_only, full}) {
        EXPECT_TRUE(exists(std::filesystem::path(copy).parent_path())) << copy;
    }

    // The write-only list beats "all libraries"; a -c entry beats both and
    // brings its own option text, which is part of the directory name.
    reopen_cache().write_only_libs.add_arg("libq.so");
    EXPECT_EQ(add(lib, false)->cached_name, write_only);
    policy.memvex_check_list.push_back("/elsewhere/libq.so:leaks");
    reopen_cache().write_only_libs.add_arg("libq.so");
    const std::string checked = add(lib, false)->cached_name;
    EXPECT_TRUE(checked.ends_with("_f/libq.so") && checked != full) << checked;
}

TEST_F(TargetReuse, MissingFileOrPathWithoutSlashEndsTheRun) {
    open_cache();
    bool created = false;
    EXPECT_EXIT(cache().lookup((dir / "missing").c_str(), false, &created, {.is_main = true}),
                ::testing::ExitedWithCode(1),
                "^ryn \\(error\\): File " + dir / "missing" +
                    " not found \\(errno = 2\\) No such file or directory\n$");
    const ScopedChdir in_dir(dir.path());
    EXPECT_EXIT(cache().lookup("prog", false, &created, {.is_main = true}),
                ::testing::ExitedWithCode(1),
                "^ryn \\(error\\): Error computing binary name: fatal error: \n$");
}

}  // namespace
