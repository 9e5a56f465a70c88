// The heap checker's block registry: under threads every block inserted is
// found and totals stay right, whole-heap lookups find the block around an
// address, and removals keep the rest findable. Of two racing frees exactly
// one retiring the block is the heap runtime's end-to-end test.
#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "block_registry.h"

namespace {

constexpr int k_threads = 8;
constexpr int k_blocks = 4000;

// Made-up addresses: the registry never touches the blocks' bytes.
uintptr_t address_of(int thread, int index) {
    return ((uintptr_t)(thread + 1) << 36) + (uintptr_t)index * 64;
}

mv_block block_at(uintptr_t user, size_t size) {
    mv_block block{};
    block.user = user;
    block.size = size;
    block.state = MV_LIVE;
    return block;
}

class BlockRegistry : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(mv_registry_init()); }
    void TearDown() override {
        // Leave the shared registry empty for the next test.
        for (int t = 0; t < k_threads; ++t)
            for (int i = 0; i < k_blocks; ++i)
                mv_registry_remove(address_of(t, i), nullptr);
    }
};

TEST_F(BlockRegistry, ConcurrentInsertsAreAllFoundCountedAndSnapshotInOrder) {
    std::vector<std::thread> threads;
    for (int t = 0; t < k_threads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < k_blocks; ++i) {
                mv_block block = block_at(address_of(t, i), 10 + i % 7);
                block.alloc_stack = (uint32_t)i;
                ASSERT_TRUE(mv_registry_insert(&block));
            }
        });
    for (auto& thread : threads)
        thread.join();
    uint64_t blocks = 0, bytes = 0, expected_bytes = 0;
    for (int i = 0; i < k_blocks; ++i)
        expected_bytes += 10 + i % 7;
    mv_registry_totals(&blocks, &bytes);
    EXPECT_EQ(blocks, (uint64_t)k_threads * k_blocks);
    EXPECT_EQ(bytes, expected_bytes * k_threads);
    for (int t = 0; t < k_threads; ++t)
        for (int i = 0; i < k_blocks; i += 97) {
            mv_block found{};
            ASSERT_TRUE(mv_registry_get(address_of(t, i), &found));
            EXPECT_EQ(found.alloc_stack, (uint32_t)i);
        }
    mv_block none{};
    EXPECT_FALSE(mv_registry_get(address_of(0, 0) + 16, &none));
}

TEST_F(BlockRegistry, AddressesInsideABlockLeadToItAndOthersToNothing) {
    mv_block small = block_at(address_of(1, 0), 48);
    mv_block empty = block_at(address_of(1, 10), 0);
    ASSERT_TRUE(mv_registry_insert(&small));
    ASSERT_TRUE(mv_registry_insert(&empty));
    mv_block found{};
    ASSERT_TRUE(mv_registry_find_containing(small.user + 47, &found));
    EXPECT_EQ(found.user, small.user);
    EXPECT_FALSE(mv_registry_find_containing(small.user + 48, &found));
    ASSERT_TRUE(mv_registry_find_containing(empty.user, &found));
    EXPECT_EQ(found.user, empty.user);

    mv_block removed{};
    ASSERT_TRUE(mv_registry_remove(small.user, &removed));
    EXPECT_EQ(removed.size, 48u);
    EXPECT_FALSE(mv_registry_remove(small.user, &removed));
    EXPECT_FALSE(mv_registry_find_containing(small.user + 1, &found));
}

// More blocks than buckets, so many share one: removing a bucket's first
// block, a middle one or the last one must keep every other block findable.
TEST_F(BlockRegistry, BlocksSharingBucketsSurviveRemovalsInAnyOrder) {
    constexpr int k_many = 600000;
    auto user_of = [](int i) { return ((uintptr_t)9 << 36) + (uintptr_t)i * 32; };
    // Every third block goes, first from the front then from the back, so
    // chains lose heads, tails and middles.
    auto gone = [](int i) { return (i < k_many / 2 ? i : k_many - 3 - i) % 3 == 0; };
    for (int i = 0; i < k_many; ++i) {
        mv_block block = block_at(user_of(i), (size_t)i % 7);
        ASSERT_TRUE(mv_registry_insert(&block));
    }
    for (int i = 0; i < k_many / 2; i += 3)
        ASSERT_TRUE(mv_registry_remove(user_of(i), nullptr));
    for (int i = k_many - 3; i >= k_many / 2; i -= 3)
        ASSERT_TRUE(mv_registry_remove(user_of(i), nullptr));
    uint64_t blocks = 0, bytes = 0, kept = 0, kept_bytes = 0, visited = 0;
    for (int i = 0; i < k_many; ++i) {
        mv_block found{};
        ASSERT_EQ(mv_registry_get(user_of(i), &found), !gone(i)) << i;
        if (!gone(i)) {
            EXPECT_EQ(found.size, (size_t)i % 7);
            kept_bytes += (size_t)i % 7;
            ++kept;
        }
    }
    mv_registry_totals(&blocks, &bytes);
    EXPECT_EQ(blocks, kept);
    EXPECT_EQ(bytes, kept_bytes);
    mv_registry_for_each([](mv_block*, void* count) { ++*(uint64_t*)count; }, &visited);
    EXPECT_EQ(visited, kept);
    for (int i = 0; i < k_many; ++i)
        mv_registry_remove(user_of(i), nullptr);
}

}  // namespace
