// The cache's hash table: keys, growth, iteration order and the hash itself.
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/target.h"
#include "support/test_support.h"

namespace {

using namespace ryn_test;

class CacheTable : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(compile_c(std::string(k_annotate_asm) + hello_source("hi"), prog));
        cache = std::make_unique<RynCache>((dir / "cache").c_str(), false, "count", false,
                                           driver.util.get(), &driver);
    }

    // A distinct spelling of the fixture's path: lookup keys paths as given.
    std::string spelling(int n) const {
        std::string path = dir.path() + "/";
        for (int i = 0; i < n; ++i) {
            path += "./";
        }
        return path + "prog";
    }

    Target* lookup(const std::string& path, bool* created) {
        return cache->lookup(false, path.c_str(), false, created, false, false, false, true);
    }

    TempDir dir;
    ScopedEnv no_env_cache{"QVEN_RYN_CACHE_DIR", nullptr};
    std::string prog = dir / "prog";
    RynDriver driver{"ryn", 4, RynDriver::PrepareOnly{}};
    std::unique_ptr<RynCache> cache;
};

TEST(EncodeString, SignedBytesTimesFive) {
    EXPECT_EQ(RynCache::encodeString(""), 0u);
    EXPECT_EQ(RynCache::encodeString("a"), 97u);
    EXPECT_EQ(RynCache::encodeString("ab"), 97u * 5 + 98);
    EXPECT_EQ(RynCache::encodeString("\xff"), 0xffffffffu);
    EXPECT_EQ(RynCache::encodeString("a\xff"), 97u * 5 - 1);
    EXPECT_EQ(RynCache::encodeString("\x80z"), static_cast<uint32_t>(-128 * 5 + 'z'));
    // 'z' * (5^14 + ... + 1) overflows 32 bits.
    EXPECT_EQ(RynCache::encodeString(std::string(15, 'z').c_str()), 3073196846u);
}

TEST_F(CacheTable, GrowsFourfoldOnceItHoldsMoreTargetsThanBuckets) {
    EXPECT_EQ(cache->nbuckets, 13u);
    bool created = false;
    for (int i = 0; i < 14; ++i) {
        lookup(spelling(i), &created);
        EXPECT_TRUE(created);
    }
    EXPECT_EQ(cache->ntargets, 14);
    EXPECT_EQ(cache->nbuckets, 13u);
    {
        // The fifteenth insertion grows the table before inserting.
        RynCache fresh((dir / "cache").c_str(), false, "count", false, driver.util.get(),
                       &driver);
        for (int i = 0; i < 15; ++i) {
            fresh.lookup(false, spelling(i).c_str(), false, &created, false, false, false, true);
        }
        EXPECT_EQ(fresh.nbuckets, 52u);
        EXPECT_EQ(fresh.ntargets, 15);
    }

    // The check comes first in every call, even one that finds its target.
    Target* existing = lookup(spelling(3), &created);
    EXPECT_FALSE(created);
    EXPECT_EQ(cache->nbuckets, 52u);
    EXPECT_EQ(cache->ntargets, 14);

    // Every target is still found under its key after the move.
    for (int i = 0; i < 14; ++i) {
        EXPECT_EQ(lookup(spelling(i), &created)->name, spelling(i));
        EXPECT_FALSE(created);
    }
    EXPECT_EQ(lookup(spelling(3), &created), existing);
}

TEST_F(CacheTable, AddTargetResolvesPathsLookupDoesNot) {
    EXPECT_STREQ(cache->cache_top(), (dir / "cache").c_str());
    EXPECT_EQ(cache->base, dir / "cache/count");

    const std::string link = dir / "link";
    ASSERT_EQ(symlink(prog.c_str(), link.c_str()), 0);
    const ScopedChdir in_dir(dir.path());

    Target* by_relative = cache->add_target(true, "prog", nullptr, false, false, false, true);
    Target* by_absolute = cache->add_target(true, prog.c_str(), nullptr, false, false, false, true);
    Target* by_link = cache->add_target(true, link.c_str(), nullptr, false, false, false, true);
    EXPECT_EQ(by_relative, by_absolute);
    EXPECT_EQ(by_link, by_absolute);
    EXPECT_EQ(by_absolute->name, prog);
    EXPECT_EQ(cache->ntargets, 1);

    bool created = false;
    EXPECT_EQ(lookup(prog, &created), by_absolute);
    EXPECT_FALSE(created);
    Target* dotted = lookup("./prog", &created);
    Target* linked = lookup(link, &created);
    EXPECT_TRUE(dotted != by_absolute && linked != by_absolute && linked != dotted);
    EXPECT_EQ(cache->ntargets, 3);
}

TEST_F(CacheTable, IterationGoesByBucketNewestFirst) {
    {
        CacheIterator empty(cache.get());
        EXPECT_EQ(empty.get_next_target(), nullptr);
    }
    // Fourteen keys in thirteen buckets: at least one bucket holds two.
    std::vector<std::string> keys;
    bool created = false;
    for (int i = 0; i < 14; ++i) {
        keys.push_back(spelling(i));
        lookup(keys.back(), &created);
    }
    std::vector<std::pair<uint32_t, int>> order;  // bucket, then newest first
    for (int i = 0; i < 14; ++i) {
        order.emplace_back(RynCache::encodeString(keys[i].c_str()) % 13, -i);
    }
    std::sort(order.begin(), order.end());
    ASSERT_NE(std::adjacent_find(order.begin(), order.end(),
                                 [](auto a, auto b) { return a.first == b.first; }),
              order.end());

    CacheIterator it(cache.get());
    for (const auto& [bucket, negated_index] : order) {
        const Target* t = it.get_next_target();
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->name, keys[-negated_index]) << "bucket " << bucket;
    }
    EXPECT_EQ(it.get_next_target(), nullptr);
    EXPECT_EQ(it.get_next_target(), nullptr);
}

}  // namespace
