// The cache: who may use its directory, and its hash table (keys and
// iteration order).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "unit/ryn_cache/cache_fixture.h"

using namespace ryn;

namespace {

using namespace ryn_test;

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

// Walked by bucket, newest first within one; a table that grows still finds
// every target without making it again.
TEST_F(TargetCache, IteratesByBucketNewestFirstAndFindsEveryTargetAfterGrowing) {
    bool created = false;
    std::vector<std::pair<uint32_t, int>> order;  // bucket, then newest first
    for (int i = 0; i < 14; ++i) {
        lookup(spelling(i), &created);
        order.emplace_back(RynCache::encodeString(spelling(i).c_str()) % cache().nbuckets, -i);
    }
    std::sort(order.begin(), order.end());
    CacheIterator it(&cache());
    for (const auto& [bucket, newest_first] : order) {
        const Target* t = it.get_next_target();
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->name, spelling(-newest_first)) << "bucket " << bucket;
    }
    EXPECT_EQ(it.get_next_target(), nullptr);
    EXPECT_EQ(it.get_next_target(), nullptr);

    // Fourteen targets in thirteen buckets: the next look-up grows the table.
    for (int i = 0; i < 14; ++i) {
        EXPECT_EQ(lookup(spelling(i), &created)->name, spelling(i));
        EXPECT_FALSE(created);
    }
    EXPECT_EQ(cache().ntargets, 14);
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

}  // namespace
