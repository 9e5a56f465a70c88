// The pattern checks behind red zones and quarantine: damage is found at its
// exact offset whatever the span's length and alignment, and an intact span
// is never taken for a damaged one.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "pattern_check.h"

namespace {

constexpr unsigned char k_pattern = 0xfd;

TEST(PatternCheck, DamageIsFoundAtItsOffsetForEveryLengthAndAlignment) {
    // Past 300 bytes: two wide steps, the 32-byte steps and the last vector.
    std::vector<unsigned char> buffer(300 + 16);
    for (size_t align = 0; align < 8; ++align) {
        for (size_t size = 0; size <= 300; ++size) {
            unsigned char* span = buffer.data() + align;
            std::memset(buffer.data(), 0, buffer.size());
            std::memset(span, k_pattern, size);
            ASSERT_TRUE(mv_all_pattern(span, size, k_pattern)) << size << "@" << align;
            ASSERT_TRUE(mv_all_pattern_portable(span, size, k_pattern)) << size << "@" << align;
            ASSERT_EQ(mv_first_damaged(span, size, k_pattern), size) << size << "@" << align;
            for (size_t at = 0; at < size; ++at) {
                span[at] = k_pattern ^ 0x01;  // one bit off, the least a write changes
                ASSERT_FALSE(mv_all_pattern(span, size, k_pattern)) << size << "@" << align;
                ASSERT_FALSE(mv_all_pattern_portable(span, size, k_pattern))
                    << size << "@" << align;
                ASSERT_EQ(mv_first_damaged(span, size, k_pattern), at) << size << "@" << align;
                span[at] = k_pattern;
            }
        }
    }
}

TEST(PatternCheck, TheFirstOfSeveralDamagedBytesIsReported) {
    std::vector<unsigned char> span(100, k_pattern);
    span[71] = 0;
    span[40] = 0;
    span[99] = 0;
    EXPECT_EQ(mv_first_damaged(span.data(), span.size(), k_pattern), 40u);
    // Bytes past the span do not count, damaged or not.
    EXPECT_EQ(mv_first_damaged(span.data(), 40, k_pattern), 40u);
    EXPECT_TRUE(mv_all_pattern(span.data(), 40, k_pattern));
}

}  // namespace
