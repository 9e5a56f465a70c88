#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "ryn/pathutil.h"
#include "support/test_support.h"

namespace {

std::string canonical(const std::string& path) {
    char destination[2048];
    EXPECT_EQ(canonicalizePath(path.c_str(), destination), destination);
    return destination;
}

class CanonicalizePath : public testing::Test {
protected:
    void SetUp() override { canonicalizeReset(); }
    void TearDown() override { canonicalizeReset(); }
};

TEST_F(CanonicalizePath, CleansUpLexically) {
    EXPECT_EQ(canonical("//usr/./lib//"), "/usr/lib");
    EXPECT_EQ(canonical("/"), "/");
    EXPECT_EQ(canonical("/.."), "/");
    EXPECT_EQ(canonical("/../../etc"), "/etc");
    EXPECT_EQ(canonical("../../a"), "../../a");
    EXPECT_EQ(canonical("./../x/./"), "../x");
    EXPECT_EQ(canonical("."), "");
    EXPECT_EQ(canonical(""), "");
    EXPECT_EQ(canonical("/a/..x/.b/..."), "/a/..x/.b/...");
}

TEST_F(CanonicalizePath, DotDotNeedsItsPrefixToExist) {
    ryn_test::TempDir dir;
    ryn_test::ScopedChdir inside(dir.path());
    ASSERT_EQ(mkdir("a", 0755), 0);
    ASSERT_EQ(mkdir("a/b", 0755), 0);
    EXPECT_EQ(canonical("a/.."), "");
    EXPECT_EQ(canonical("a/b/../.."), "");
    EXPECT_EQ(canonical("a/b/../../.."), "..");
    EXPECT_EQ(canonical(dir / "a/b/.."), dir / "a");
    // Leading ".." components are kept, and what follows them is looked up
    // relative to the current directory.
    const ryn_test::ScopedChdir deeper(dir / "a/b");
    EXPECT_EQ(canonical("../../a/.."), "../..");
    // A prefix that does not exist leaves the whole path as it was.
    EXPECT_EQ(canonical(dir / "x/../a"), dir / "x/../a");
    EXPECT_EQ(canonical("missing/.."), "missing/..");
}

TEST_F(CanonicalizePath, DotDotAfterASymbolicLinkLeadsToTheParentOfItsTarget) {
    ryn_test::TempDir dir;
    ASSERT_EQ(ryn_test::run_shell("mkdir -p '" + dir.path() + "/real/sub'").status, 0);
    ASSERT_EQ(symlink((dir / "real/sub").c_str(), (dir / "abs").c_str()), 0);
    ASSERT_EQ(symlink("real/sub", (dir / "rel").c_str()), 0);
    ASSERT_EQ(symlink("rel", (dir / "chain").c_str()), 0);
    EXPECT_EQ(canonical(dir / "abs/.."), dir / "real");
    EXPECT_EQ(canonical(dir / "rel/.."), dir / "real");
    EXPECT_EQ(canonical(dir / "rel/../x/./y/"), dir / "real/x/y");
    EXPECT_EQ(canonical(dir / "chain/../.."), dir.path());
    // Links passed without a following ".." stay as written.
    EXPECT_EQ(canonical(dir / "rel/z"), dir / "rel/z");

    const ryn_test::ScopedChdir inside(dir.path());
    EXPECT_EQ(canonical("rel/.."), "real");
    // An absolute target makes a relative path absolute.
    EXPECT_EQ(canonical("../" + dir.path().substr(dir.path().rfind('/') + 1) + "/abs/.."),
              dir / "real");
}

TEST_F(CanonicalizePath, LinksThatLeadBackToThemselvesLeaveThePathAsItWas) {
    ryn_test::TempDir dir;
    ASSERT_EQ(symlink("b", (dir / "a").c_str()), 0);
    ASSERT_EQ(symlink("a", (dir / "b").c_str()), 0);
    EXPECT_EQ(canonical(dir / "a/.."), dir / "a/..");
}

TEST_F(CanonicalizePath, LookupsAreCachedForFivePathsUntilReset) {
    ryn_test::TempDir dir;
    ASSERT_EQ(ryn_test::run_shell("cd '" + dir.path() + "' && mkdir -p one/x two/y p1 p2 p3 p4")
                  .status,
              0);
    const std::string link = dir / "l";
    ASSERT_EQ(symlink("one/x", link.c_str()), 0);
    EXPECT_EQ(canonical(link + "/.."), dir / "one");
    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(symlink("two/y", link.c_str()), 0);
    // The link and its target's directory fill two of the five entries; the
    // answer stays cached through three other lookups and a hit...
    for (const char* other : {"p1", "p2", "p3"}) {
        canonical(dir / other + "/..");
    }
    EXPECT_EQ(canonical(link + "/.."), dir / "one");
    // ...but a hit does not make it newer: one more lookup pushes it out.
    canonical(dir / "p4/..");
    EXPECT_EQ(canonical(link + "/.."), dir / "two");

    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(symlink("one/x", link.c_str()), 0);
    EXPECT_EQ(canonical(link + "/.."), dir / "two");
    canonicalizeReset();
    EXPECT_EQ(canonical(link + "/.."), dir / "one");
}

TEST(PathPieces, DirnameAndBasename) {
    auto dirname = [](const char* path) {
        char* result = getDirname(path);
        const std::string text = result ? result : "(null)";
        free(result);
        return text;
    };
    EXPECT_EQ(dirname("/a"), "/");
    EXPECT_EQ(dirname("a"), "(null)");
    EXPECT_EQ(dirname("a/b/c"), "a/b");
    EXPECT_EQ(dirname("/usr/lib/"), "/usr/lib");
    EXPECT_EQ(dirname("/"), "(null)");
    EXPECT_EQ(dirname("ab"), "(null)");
    EXPECT_EQ(dirname(nullptr), "(null)");

    EXPECT_STREQ(getBasename("/usr/lib/libc.so"), "libc.so");
    EXPECT_STREQ(getBasename("libc.so"), "libc.so");
    EXPECT_STREQ(getBasename("/usr/lib/"), "");
    EXPECT_EQ(getBasename(nullptr), nullptr);

    ryn_test::TempDir dir;
    ASSERT_EQ(symlink(".", (dir / "self").c_str()), 0);
    char buffer[4096];
    EXPECT_STREQ(canonicalizePathEx((dir / "self/self/.").c_str(), buffer), dir.path().c_str());
    EXPECT_EQ(canonicalizePathEx((dir / "missing").c_str(), buffer), nullptr);
}

}  // namespace
