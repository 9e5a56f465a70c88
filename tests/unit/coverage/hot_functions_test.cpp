// Which functions did a run's work: executed instructions (count times
// block size) decide, not how often a function's blocks ran; equal work goes
// by where a function begins; what never ran, or belongs to no function, is
// left out; sums near 2^64 neither wrap nor report more than all the work.
#include <ranges>

#include <gtest/gtest.h>

#include "coverage/hot_functions.h"
#include "ryn/probe_format.h"

using coverage::Block;
using coverage::HotFunctions;
using coverage::InstrData;

namespace {

constexpr uint32_t k_entry = RYN_PROBE_FUNCTION_ENTRY;

InstrData data_of(std::vector<Block> blocks) {
    InstrData data;
    data.blocks = std::move(blocks);
    return data;
}

using Names = std::vector<std::string>;
Names names(const HotFunctions& hot) {
    const auto order = hot.order | std::views::transform(&coverage::FunctionWork::name);
    return {order.begin(), order.end()};
}

TEST(HotFunctions, OrderByExecutedInstructionsThenByWhereTheFunctionBegins) {
    const HotFunctions hot = hot_functions(data_of({
        // The cold part of `wide`, placed below its entry by the compiler.
        {0x100, 2, 0, 0, 5, "wide", ""},
        // tight: its block ran most often, but 1000 x 1 < 30 x 40.
        {0x200, 1, 0, k_entry, 1000, "tight", ""},
        {0x300, 40, 0, k_entry, 30, "wide", ""},
        // Two functions with the same work: the lower one first, whatever the names.
        {0x400, 10, 0, k_entry, 10, "zeta", ""},
        {0x500, 4, 0, k_entry, 25, "alpha", ""},
        {0x600, 3, 0, k_entry, 0, "idle", ""},
        {0x700, 9, 0, 0, 999, "", ""},
    }));
    EXPECT_EQ(names(hot), (Names{"wide", "tight", "zeta", "alpha"}));
    EXPECT_EQ(hot.order[0].instructions, 40u * 30 + 2 * 5);
    EXPECT_EQ(hot.order[0].addr, 0x300u);  // the entry, not the lowest block
    EXPECT_EQ(hot.functions, 5u);          // idle counts, the unnamed block does not
    EXPECT_EQ(hot.instructions, 1210u + 1000 + 100 + 100);
}

TEST(HotFunctions, TheFewestLeadingFunctionsThatReachTheShare) {
    // 50%, 40%, 10%: two reach 90% exactly; a little less needs the third.
    const HotFunctions even = hot_functions(data_of({{0x10, 1, 0, k_entry, 50, "a", ""},
                                                     {0x20, 1, 0, k_entry, 40, "b", ""},
                                                     {0x30, 1, 0, k_entry, 10, "c", ""}}));
    EXPECT_EQ(functions_reaching(even, 90), 2u);
    EXPECT_EQ(share_of_first(even, 2), 90u);
    const HotFunctions short_of = hot_functions(data_of({{0x10, 1, 0, k_entry, 500, "a", ""},
                                                         {0x20, 1, 0, k_entry, 399, "b", ""},
                                                         {0x30, 1, 0, k_entry, 101, "c", ""}}));
    EXPECT_EQ(functions_reaching(short_of, 90), 3u);
    EXPECT_EQ(share_of_first(short_of, 2), 89u);  // rounded down, never up to the mark
    EXPECT_EQ(share_of_first(short_of, 3), 100u);
}

TEST(HotFunctions, HugeCountsSaturateInsteadOfWrapping) {
    const HotFunctions hot = hot_functions(data_of({
        {0x10, 1, 0, k_entry, 1, "small", ""},
        {0x20, 4, 0, k_entry, UINT64_MAX / 2, "huge", ""},  // x 4 overflows
        {0x30, 4, 0, 0, UINT64_MAX / 2, "huge", ""},
    }));
    EXPECT_EQ(names(hot), (Names{"huge", "small"}));
    EXPECT_EQ(hot.order[0].instructions, UINT64_MAX);
    EXPECT_EQ(hot.instructions, UINT64_MAX);
    EXPECT_EQ(functions_reaching(hot, 90), 1u);
    EXPECT_LE(share_of_first(hot, 2), 100u);
}

}  // namespace
