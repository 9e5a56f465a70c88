// Where a probed copy counts: for each block a jump site, a trap site or
// nothing, the counters of its conditional branches, and the trampolines the
// jump sites lead to.
#pragma once

#include <Zydis/Zydis.h>

#include <cstdint>
#include <vector>

#include "block_finder.h"
#include "code_facts.h"
#include "ryn/probe_format.h"

namespace morphel {

struct PlannedSite {
    ryn_site site{};      // target filled when the trampolines are written
    uint64_t run_end = 0;  // jump sites: the end of the displaced instructions
    // Jump sites: the block counter the trampoline adds to first, and the
    // branch (index into CountingPlan::branches) whose edges it counts.
    uint32_t block_counter = RYN_NO_COUNTER;
    long branch = -1;
};

struct CountingPlan {
    std::vector<PlannedSite> sites;     // ascending
    std::vector<ryn_branch> branches;   // ascending
    std::vector<ryn_call_adjust> adjusts;  // ascending by entry
    uint64_t counter_count = 0;
    size_t jump_blocks = 0;  // blocks counted by a jump site
    size_t trap_blocks = 0;  // by a trap
    size_t uncounted_blocks = 0;

    size_t jump_sites() const;
    size_t trap_sites() const;
};

// Plans the counting of one function's blocks. `probes` are their probes
// (same order), whose counters it sets. Branch counters are numbered after
// every block counter by finish().
class CounterPlanner {
public:
    explicit CounterPlanner(const CodeFacts& facts);
    // `entries_unknown`: the function may be entered between leaders, so
    // only one-byte traps are placed in it.
    void plan_function(const std::vector<Block>& blocks, ryn_probe* probes, bool entries_unknown);
    CountingPlan finish();

private:
    bool plan_block(const Block& block, ryn_probe& probe, bool entries_unknown, uint64_t entry);

    const CodeFacts& facts_;
    ZydisDecoder decoder_;
    CountingPlan plan_;
    uint32_t block_counters_ = 0;
    // Branch numbers stand in for counters until every block is numbered:
    // k means counters 2k and 2k+1 after the block counters.
    std::vector<uint32_t> counted_branch_;  // per branch: k or RYN_NO_COUNTER
    uint32_t counted_branch_count_ = 0;
    // Entry and source of each call adjust: a branch index, or -1 - the
    // block counter of a block that jumps to the entry.
    std::vector<std::pair<uint64_t, long>> adjust_sources_;
};

// The trampolines of every jump site and the out-of-line copies of every
// trap site, written at `base`; fills each site's target.
std::vector<uint8_t> write_trampolines(const CodeFacts& facts, CountingPlan& plan, uint64_t base,
                                       uint64_t counters_addr);

}  // namespace morphel
