// The exported path functions: lexical clean-up with ".." that follows links,
// the executable's directory searched along PATH, and arguments from programs
// we do not control: a null argument or an overlong path fails cleanly, never
// crashing or writing past the documented 1,025-byte result buffer.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

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

TEST(CanonicalizePath, CleansUpLexicallyAndDotDotFollowsLinks) {
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
    // After a symbolic link, ".." leads to the parent of its target.
    EXPECT_EQ(canonical(dir / "abs/.."), dir / "real");
    EXPECT_EQ(canonical(dir / "rel/../x/./y/"), dir / "real/x/y");
    EXPECT_EQ(canonical(dir / "chain/../.."), dir.path());
    EXPECT_EQ(canonical(dir / "loop/.."), dir / "loop/..");
    const ryn_test::ScopedChdir at_top(dir.path());
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

TEST(FindExecDir, SearchesPathInOrderFromTheWorkingDirectoryAndFollowsLinks) {
    ryn_test::TempDir dir;
    make_tree(dir);
    const std::string bin = dir / "bin";
    expect_found("tool", dir / "work", ("/nonexistent::" + bin).c_str(), bin);
    expect_found("plain", dir / "work", ("/nonexistent::" + bin).c_str(), dir / "work");
    expect_found("tool", dir / "work", "/nonexistent:../other", dir / "work/../other");
    expect_found("tool", dir / "work", "/nonexistent", "No such file or directory");
    // Names with a slash are not looked up along PATH.
    expect_found("./plain", dir / "work", bin.c_str(), dir / "work");
    // Symbolic links lead to the real executable.
    expect_found("abs", dir.path(), (dir / "work").c_str(), dir / "bin");
    expect_found("chain", dir.path(), (dir / "work").c_str(), dir / "work/../other");
    // A directory, or a file without the owner's execute bit, is passed over.
    ASSERT_EQ(mkdir((dir / "work/tool").c_str(), 0755), 0);
    chmod((bin + "/tool").c_str(), 0611);
    expect_found("tool", dir.path(), (dir / "work:" + bin + ":" + dir / "other").c_str(),
                 dir / "other");
    // The working directory given is used as spelt when it names the current one.
    expect_found("./plain", dir / "work", "", dir / "worklink", (dir / "worklink").c_str());
}

constexpr size_t k_documented_size = 1025;
constexpr size_t k_guard = 512;
constexpr char k_guard_byte = '\x5a';

// A destination of exactly the documented size on the heap (so that the
// sanitizer sees an overflow), plus a copy that shows one without it.
struct GuardedDestination {
    std::unique_ptr<char[]> exact{new char[k_documented_size]};
    std::unique_ptr<char[]> padded{new char[k_documented_size + k_guard]};
    GuardedDestination() { memset(padded.get(), k_guard_byte, k_documented_size + k_guard); }
    bool guard_intact() const {
        for (size_t i = k_documented_size; i < k_documented_size + k_guard; ++i) {
            if (padded[i] != k_guard_byte) {
                return false;
            }
        }
        return true;
    }
};

TEST(PathFunctionsHostileArguments, NullArgumentsFailInsteadOfCrashing) {
    char destination[k_documented_size];
    errno = 0;
    EXPECT_EQ(canonicalizePath(nullptr, destination), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(canonicalizePath("/usr", nullptr), nullptr);
    EXPECT_EQ(canonicalizePathEx(nullptr, destination), nullptr);
    EXPECT_EQ(canonicalizePathEx("/", nullptr), nullptr);
    EXPECT_EQ(getBasename(nullptr), nullptr);
    EXPECT_EQ(getDirname(nullptr), nullptr);
    EXPECT_EQ(fyuChdir(nullptr), -1);
    EXPECT_EQ(fyuIscwd(nullptr), -1);
    fyuSaveWorkingDir(nullptr);
    // Each test runs in a process of its own, where nothing was found yet.
    ASSERT_EQ(fyuGetExecDir(), nullptr);
    EXPECT_EQ(fyuFindExecDir(nullptr, nullptr), nullptr);
    EXPECT_EQ(fyuFindExecDir("", "/"), nullptr);
    EXPECT_EQ(fyuGetCmdName(), nullptr);
}

TEST(PathFunctionsHostileArguments, OverlongResultsAreRefusedWithoutWritingPastTheBuffer) {
    // Cannot be canonicalised (its ".." follows a missing directory), so the
    // result would be the source itself: longer than the buffer.
    const std::string unresolvable = "/no-such-dir-" + std::string(1100, 'u') + "/..";
    // Canonicalises fine, but to 1,025 bytes: one more than the limit.
    const std::string long_clean = "/" + std::string(1024, 'c') + "/.";
    for (const std::string& source : {unresolvable, long_clean}) {
        canonicalizeReset();
        GuardedDestination dest;
        errno = 0;
        EXPECT_EQ(canonicalizePath(source.c_str(), dest.exact.get()), nullptr);
        EXPECT_EQ(errno, ENAMETOOLONG);
        EXPECT_EQ(dest.exact[0], '\0') << "a refused result must not leave a cut path behind";
        EXPECT_EQ(canonicalizePath(source.c_str(), dest.padded.get()), nullptr);
        EXPECT_TRUE(dest.guard_intact());
    }
    const std::string limit = "/" + std::string(1023, 'e');
    GuardedDestination dest;
    canonicalizeReset();
    ASSERT_EQ(canonicalizePath((limit + "/.").c_str(), dest.padded.get()), dest.padded.get());
    EXPECT_EQ(std::string(dest.padded.get()), limit);
    EXPECT_TRUE(dest.guard_intact());
}

}  // namespace
