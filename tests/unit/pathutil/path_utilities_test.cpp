#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "ryn/pathutil.h"
#include "support/test_support.h"

namespace {

std::string canonical(const std::string& path) {
    canonicalizeReset();
    char destination[2048];
    EXPECT_EQ(canonicalizePath(path.c_str(), destination), destination);
    return destination;
}

// Directories real/sub, work, bin, other; executables work/plain, bin/tool,
// other/tool; links abs and work/abs (absolute), rel, chain (to rel), loop,
// worklink, work/rel (to ../other/tool), work/chain (to rel).
void make_tree(const ryn_test::TempDir& dir) {
    const ryn_test::RunResult made = ryn_test::run_shell(
        "cd '" + dir.path() +
        "' && mkdir -p real/sub work bin other && touch bin/tool other/tool "
        "work/plain && chmod 755 */* && ln -s \"$PWD/real/sub\" abs && ln -s real/sub rel && "
        "ln -s rel chain && ln -s loop loop && ln -s work worklink && ln -s ../other/tool "
        "work/rel && ln -s \"$PWD/bin/tool\" work/abs && ln -s rel work/chain");
    ASSERT_EQ(made.status, 0) << made.err;
}

TEST(CanonicalizePath, CleansUpLexicallyAndKeepsLeadingDotDots) {
    ryn_test::TempDir dir;
    make_tree(dir);
    const ryn_test::ScopedChdir inside(dir / "real/sub");
    EXPECT_EQ(canonical("//usr/./lib//"), "/usr/lib");
    EXPECT_EQ(canonical("/../.."), "/");
    EXPECT_EQ(canonical("/a/..x/.b/..."), "/a/..x/.b/...");
    EXPECT_EQ(canonical("."), "");
    // ".." removes a component only once its prefix is known to exist.
    EXPECT_EQ(canonical("../../real/sub/../../.."), "../../..");
    EXPECT_EQ(canonical("missing/.."), "missing/..");
}

TEST(CanonicalizePath, DotDotAfterASymbolicLinkLeadsToTheParentOfItsTarget) {
    ryn_test::TempDir dir;
    make_tree(dir);
    EXPECT_EQ(canonical(dir / "abs/.."), dir / "real");
    EXPECT_EQ(canonical(dir / "rel/../x/./y/"), dir / "real/x/y");
    EXPECT_EQ(canonical(dir / "chain/../.."), dir.path());
    EXPECT_EQ(canonical(dir / "loop/.."), dir / "loop/..");
    const ryn_test::ScopedChdir inside(dir.path());
    EXPECT_EQ(canonical("rel/.."), "real");
    EXPECT_EQ(canonical("abs/.."), dir / "real");
    EXPECT_EQ(getDirname("a"), nullptr);
    const std::unique_ptr<char, decltype(&free)> root(getDirname("/a"), free);
    EXPECT_STREQ(root.get(), "/");
}

// The executable directory is remembered for the life of the process, so
// each search runs in a death-test child that writes its answer on stderr.
void expect_found(const std::string& name, const std::string& cwd, const char* path,
                  const std::string& expected, const char* working = nullptr) {
    EXPECT_EXIT(
        {
            if (chdir(cwd.c_str()) != 0 || setenv("PATH", path, 1) != 0) {
                _exit(2);
            }
            const char* found = fyuFindExecDir(name.c_str(), working);
            fprintf(stderr, "%s", found ? found : strerror(errno));
            _exit(0);
        },
        testing::ExitedWithCode(0), testing::Eq(expected));
}

TEST(FindExecDir, SearchesPathInOrderWithEmptyAndRelativeElementsFromTheWorkingDirectory) {
    ryn_test::TempDir dir;
    make_tree(dir);
    const std::string bin = dir / "bin";
    expect_found("tool", dir / "work", ("/nonexistent::" + bin).c_str(), bin);
    expect_found("plain", dir / "work", ("/nonexistent::" + bin).c_str(), dir / "work");
    expect_found("plain", dir / "work", "/nonexistent:", dir / "work");
    expect_found("plain", dir / "work", "", dir / "work");
    expect_found("tool", dir / "work", "/nonexistent:../other", dir / "work/../other");
    expect_found("tool", dir / "work", "/nonexistent", "No such file or directory");
    // Names with a slash are not looked up along PATH.
    expect_found("./plain", dir / "work", bin.c_str(), dir / "work");
    expect_found("/" + bin + "/tool//", dir / "work", "", bin);
    // A directory, or a file without the owner's execute bit, is passed over.
    ASSERT_EQ(mkdir((dir / "work/tool").c_str(), 0755), 0);
    chmod((bin + "/tool").c_str(), 0611);
    expect_found("tool", dir.path(), (dir / "work:" + bin + ":" + dir / "other").c_str(),
                 dir / "other");
    // The working directory given is used as spelt when it names the current one.
    expect_found("./plain", dir / "work", "", dir / "worklink", (dir / "worklink").c_str());
}

TEST(FindExecDir, FollowsSymbolicLinksToTheRealExecutable) {
    ryn_test::TempDir dir;
    make_tree(dir);
    expect_found("abs", dir.path(), (dir / "work").c_str(), dir / "bin");
    expect_found("chain", dir.path(), (dir / "work").c_str(), dir / "work/../other");
}

}  // namespace
