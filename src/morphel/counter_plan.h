// Where a probed copy counts: for each block a jump site, a trap site or
// nothing, the counters of its conditional branches, and the trampolines the
// jump sites lead to.
#pragma once

#include <Zydis/Zydis.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "block_finder.h"
#include "code_facts.h"
#include "ryn/probe_format.h"

namespace morphel {

struct PlannedSite {
    ryn_site site{};  // target filled when the trampolines are written
    // Jump sites: the end of the displaced instructions. Trap sites: 0, or
    // the end of an indirect call or jump later in the block that the
    // out-of-line copy runs on to and records.
    uint64_t run_end = 0;
    // Jump sites. A run may go on into the blocks after its own when only
    // their predecessor runs into them; the trampoline then counts each
    // block it enters (entries: block start, counter), the edges of each
    // conditional branch in it (branches: jcc address, index into
    // CountingPlan::branches), and on leaving for an address, the blocks
    // counted on their incoming edges (exits: destination, counter).
    std::vector<std::pair<uint64_t, uint32_t>> entries;
    std::vector<std::pair<uint64_t, long>> branches;
    std::vector<std::pair<uint64_t, uint32_t>> exits;
};

struct CountingPlan {
    std::vector<PlannedSite> sites;        // ascending
    std::vector<ryn_branch> branches;      // ascending
    std::vector<ryn_call_adjust> adjusts;  // ascending by entry
    std::vector<ryn_count_sum> sums;       // ascending by block
    uint64_t counter_count = 0;
    std::vector<uint64_t> locks;          // the trampolines' lock prefixes, ascending
    std::vector<ryn_indirect> indirects;  // ascending
    size_t unrecorded_indirects = 0;      // indirect sites whose targets go unrecorded
    size_t jump_blocks = 0;               // blocks counted by a jump site
    size_t trap_blocks = 0;               // by a trap
    size_t sum_blocks = 0;                // as the sum of their incoming edges (no site)
    size_t uncounted_blocks = 0;

    size_t jump_sites() const;
    size_t trap_sites() const;
    const ryn_indirect* indirect_at(uint64_t addr) const;
};

// Slot address (link-time) to imported symbol: calls through them are
// named already and record no targets.
using ImportSlots = std::unordered_map<uint64_t, std::string>;

// Plans the counting of one function's blocks. `probes` are their probes
// (same order), whose counters it sets. Branch counters are numbered after
// every block counter by finish().
class CounterPlanner {
public:
    CounterPlanner(const CodeFacts& facts, const ImportSlots& imports);
    // `entries_unknown`: the function may be entered between leaders, so
    // only one-byte traps are placed in it. `table_jumps`: its indirect
    // jumps through a jump table, ascending.
    void plan_function(const std::vector<Block>& blocks, ryn_probe* probes, bool entries_unknown,
                       const std::vector<uint64_t>& table_jumps);
    CountingPlan finish();

private:
    struct BlockCode;
    void plan_head(std::vector<BlockCode>& code, size_t b, bool entries_unknown);
    bool plan_lead_in(std::vector<BlockCode>& code, size_t b);
    void plan_tail(std::vector<BlockCode>& code, size_t b, bool entries_unknown);
    void plan_exit_runs(std::vector<BlockCode>& code);
    void count_on_edges(std::vector<BlockCode>& code, size_t first_site);
    void count_as_sums(std::vector<BlockCode>& code, size_t first_site);
    void forget_counter(std::vector<BlockCode>& code, size_t first_site, uint32_t freed);

    // A counter named before the branches are numbered: a block counter, or
    // an edge of a branch (by branch index).
    struct EdgeCounter {
        enum Kind { block, taken, not_taken } kind;
        uint32_t index;
    };
    uint32_t resolve(EdgeCounter edge) const;
    const std::vector<EdgeCounter>* sum_of(uint64_t block) const;
    bool calls_return_once(const BlockCode& c) const;
    bool block_edges(const BlockCode& c, std::vector<EdgeCounter>& edges) const;
    bool count_as_predecessor(std::vector<BlockCode>& code, size_t b);
    void plan_indirect(std::vector<BlockCode>& code, size_t first_site, bool entries_unknown,
                       const std::vector<uint64_t>& table_jumps);
    bool record_in_run(const BlockCode& c, size_t i, size_t first_site, bool entries_unknown);

    const CodeFacts& facts_;
    const ImportSlots& imports_;
    ZydisDecoder decoder_;
    CountingPlan plan_;
    uint32_t block_counters_ = 0;
    // Branch numbers stand in for counters until every block is numbered:
    // k means counters 2k and 2k+1 after the block counters.
    std::vector<uint32_t> counted_branch_;  // per branch: k or RYN_NO_COUNTER
    uint32_t counted_branch_count_ = 0;
    // Entry and source of each call adjust: a branch's taken edge, or the
    // counter of a block that jumps to the entry.
    std::vector<std::pair<uint64_t, EdgeCounter>> adjust_sources_;
    // Each sum-counted block with the edges that reach it.
    std::vector<std::pair<uint64_t, std::vector<EdgeCounter>>> sum_sources_;
    size_t function_sums_ = 0;  // where the current function's sums begin
};

// The trampolines of every jump site and the out-of-line copies of every
// trap site, written at `base`; fills each site's target and the plan's
// locks.
std::vector<uint8_t> write_trampolines(const CodeFacts& facts, CountingPlan& plan, uint64_t base,
                                       uint64_t counters_addr);

}  // namespace morphel
