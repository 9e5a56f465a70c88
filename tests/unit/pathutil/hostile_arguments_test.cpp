// The exported path functions are called by programs we do not control: a
// null argument or an overlong path must fail cleanly, never crash or write
// past the documented 1,025-byte result buffer.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "ryn/pathutil.h"

namespace {

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
    // Canonicalises fine, but to more than 1,024 bytes.
    const std::string long_clean = "/" + std::string(1100, 'c') + "/./x";
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
}

TEST(PathFunctionsHostileArguments, ResultsOfExactlyTheLimitStillFit) {
    const std::string limit = "/" + std::string(1023, 'e');
    GuardedDestination dest;
    canonicalizeReset();
    ASSERT_EQ(canonicalizePath((limit + "/.").c_str(), dest.padded.get()), dest.padded.get());
    EXPECT_EQ(std::string(dest.padded.get()), limit);
    EXPECT_TRUE(dest.guard_intact());
}

}  // namespace
