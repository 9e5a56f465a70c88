// Planning where indirect calls and jumps record their targets.
#include <algorithm>
#include <span>

#include "indirect_sites.h"
#include "planned_block.h"

namespace morphel {
namespace {

// The bytes "jmp rel32" needs, and the longest run a site records.
constexpr uint64_t k_jump_length = 5;
constexpr uint64_t k_max_run = 255;

}  // namespace

// Whether a jump site can run the instruction c.insns[i] from a trampoline
// that records first: one already moves it, one that ends just before it
// takes it along, or a new one over the instructions before it does.
bool CounterPlanner::record_in_run(const BlockCode& c, size_t i, size_t first_site,
                                   bool entries_unknown) {
    const CodeInsn& insn = c.insns[i];
    const auto sites = std::span(plan_.sites).subspan(first_site);
    for (const PlannedSite& p : sites) {
        if (p.site.kind == RYN_SITE_JUMP && insn.addr >= p.site.addr && insn.addr < p.run_end) {
            return true;
        }
    }
    if (entries_unknown || relocation_of(insn) == Relocation::impossible) {
        return false;
    }
    if (i > 0) {
        for (PlannedSite& p : sites) {
            if (p.site.kind == RYN_SITE_JUMP && p.run_end == insn.addr &&
                p.site.length + insn.insn.length <= k_max_run) {
                p.run_end = insn.next();
                p.site.length = static_cast<uint8_t>(p.site.length + insn.insn.length);
                return true;
            }
        }
    }
    const auto taken = [&](const CodeInsn& at) {
        return std::ranges::any_of(sites, [&](const PlannedSite& p) {
            return at.addr >= p.site.addr && at.addr < p.site.addr + p.site.length;
        });
    };
    if (taken(insn)) {
        return false;
    }
    // A trap that counts the block, when the instructions from there on
    // make room for a jump, becomes a run that counts it and goes on
    // through the call (as in "sub rsp,8; call [rax+16]").
    const auto head = std::ranges::find_if(sites, [&](const PlannedSite& p) {
        return p.site.addr == c.block->addr && p.site.kind == RYN_SITE_TRAP &&
               p.site.counter != RYN_NO_COUNTER;
    });
    if (i > 0 && head != sites.end()) {
        uint64_t length = insn.insn.length;
        bool moves = true;
        for (size_t k = 0; k < i; ++k) {
            length += c.insns[k].insn.length;
            moves = moves && !c.insns[k].is_call() &&
                    relocation_of(c.insns[k]) != Relocation::impossible &&
                    (k == 0 || !taken(c.insns[k]));
        }
        if (moves && length >= k_jump_length && length <= k_max_run) {
            head->site.kind = RYN_SITE_JUMP;
            head->site.length = static_cast<uint8_t>(length);
            head->run_end = insn.next();
            head->entries.push_back({c.block->addr, head->site.counter});
            head->site.counter = RYN_NO_COUNTER;
            --plan_.trap_blocks;
            ++plan_.jump_blocks;
            return true;
        }
    }
    uint64_t length = insn.insn.length;
    size_t k = i;
    while (length < k_jump_length && k > 0 && !c.insns[k - 1].is_call() &&
           relocation_of(c.insns[k - 1]) != Relocation::impossible && !taken(c.insns[k - 1])) {
        --k;
        length += c.insns[k].insn.length;
    }
    if (length < k_jump_length) {
        return false;
    }
    PlannedSite planned;
    planned.site.addr = c.insns[k].addr;
    planned.site.kind = RYN_SITE_JUMP;
    planned.site.length = static_cast<uint8_t>(length);
    planned.site.original = c.insns[k].bytes[0];
    planned.site.counter = planned.site.taken_counter = planned.site.not_taken_counter =
        RYN_NO_COUNTER;
    planned.run_end = insn.next();
    plan_.sites.push_back(std::move(planned));
    return true;
}

// Every indirect call and every indirect jmp but a jump table's records
// its targets, from a trampoline where one fits, else behind a trap.
void CounterPlanner::plan_indirect(std::vector<BlockCode>& code, size_t first_site,
                                   bool entries_unknown, const std::vector<uint64_t>& table_jumps) {
    for (const BlockCode& c : code) {
        for (size_t i = 0; i < c.insns.size(); ++i) {
            const CodeInsn& insn = c.insns[i];
            if (!is_indirect_branch(insn) || std::ranges::binary_search(table_jumps, insn.addr)) {
                continue;
            }
            const ZydisDecodedOperand& op = insn.ops[0];
            if (op.type == ZYDIS_OPERAND_TYPE_MEMORY && op.mem.base == ZYDIS_REGISTER_RIP &&
                imports_.contains(insn.next() + static_cast<uint64_t>(op.mem.disp.value))) {
                continue;
            }
            std::optional<ryn_indirect> site = describe_indirect(insn);
            if (!site) {
                ++plan_.unrecorded_indirects;
                continue;
            }
            if (record_in_run(c, i, first_site, entries_unknown)) {
                plan_.indirects.push_back(*site);
                continue;
            }
            // Behind a trap: the block's own, or one of its own.
            const auto sites = std::span(plan_.sites).subspan(first_site);
            // The block's trap may run the block out of line up to the
            // instruction and record there: one trap per pass instead of
            // two. Entries into the middle of the block, where they may
            // happen, still meet the instruction's own trap.
            const auto head = std::ranges::find_if(sites, [&](const PlannedSite& p) {
                return p.site.addr == c.block->addr && p.site.kind == RYN_SITE_TRAP &&
                       p.run_end == 0;
            });
            const bool straight = std::all_of(
                c.insns.begin(), c.insns.begin() + static_cast<long>(i), [](const CodeInsn& k) {
                    return !k.is_call() && relocation_of(k) != Relocation::impossible;
                });
            if (i > 0 && head != sites.end() && straight &&
                relocation_of(insn) != Relocation::impossible) {
                head->run_end = insn.next();
                if (!entries_unknown) {
                    plan_.indirects.push_back(*site);
                    continue;
                }
            }
            const bool trapped = std::ranges::any_of(sites, [&](const PlannedSite& p) {
                return p.site.addr == insn.addr && p.site.kind == RYN_SITE_TRAP;
            });
            const bool covered = std::ranges::any_of(sites, [&](const PlannedSite& p) {
                return insn.addr >= p.site.addr && insn.addr < p.site.addr + p.site.length;
            });
            if (!trapped && (covered || relocation_of(insn) == Relocation::impossible)) {
                ++plan_.unrecorded_indirects;
                continue;
            }
            if (!trapped) {
                PlannedSite planned;
                planned.site.addr = insn.addr;
                planned.site.kind = RYN_SITE_TRAP;
                planned.site.length = insn.insn.length;
                planned.site.original = insn.bytes[0];
                planned.site.counter = planned.site.taken_counter = planned.site.not_taken_counter =
                    RYN_NO_COUNTER;
                plan_.sites.push_back(std::move(planned));
            }
            plan_.indirects.push_back(*site);
        }
    }
}

}  // namespace morphel
