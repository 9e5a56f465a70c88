#include "counter_plan.h"

#include "engine_error.h"
#include "relocation.h"

namespace morphel {
namespace {

// The bytes "jmp rel32" needs.
constexpr uint64_t k_jump_length = 5;

ryn_site make_site(const CodeInsn& at, ryn_site_kind kind, uint64_t length) {
    ryn_site site{};
    site.addr = at.addr;
    site.kind = static_cast<uint8_t>(kind);
    site.length = static_cast<uint8_t>(length);
    site.original = at.bytes[0];
    site.counter = RYN_NO_COUNTER;
    site.taken_counter = RYN_NO_COUNTER;
    site.not_taken_counter = RYN_NO_COUNTER;
    return site;
}

// Instructions a jump site may displace: moved without a call (whose return
// address would point into the trampoline).
bool displaceable(const CodeInsn& insn) {
    return !insn.is_call() && relocation_of(insn) != Relocation::impossible;
}

}  // namespace

size_t CountingPlan::jump_sites() const {
    size_t n = 0;
    for (const PlannedSite& p : sites) {
        n += p.site.kind == RYN_SITE_JUMP;
    }
    return n;
}

size_t CountingPlan::trap_sites() const { return sites.size() - jump_sites(); }

CounterPlanner::CounterPlanner(const CodeFacts& facts) : facts_(facts) {
    ZydisDecoderInit(&decoder_, ZYDIS_MACHINE_MODE_LONG_64, ZYDIS_STACK_WIDTH_64);
}

void CounterPlanner::plan_function(const std::vector<Block>& blocks, ryn_probe* probes, bool entries_unknown) {
    const uint64_t entry = !blocks.empty() && blocks[0].function_entry ? blocks[0].addr : 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
        if (!plan_block(blocks[i], probes[i], entries_unknown, entry)) {
            probes[i].counter = RYN_NO_COUNTER;
            ++plan_.uncounted_blocks;
        }
    }
}

bool CounterPlanner::plan_block(const Block& block, ryn_probe& probe, bool entries_unknown, uint64_t entry) {
    probe.counter = RYN_NO_COUNTER;
    std::vector<CodeInsn> insns;
    for (uint64_t addr = block.addr; addr < block.end;) {
        const std::optional<CodeInsn> insn = decode_insn(decoder_, facts_, addr);
        if (!insn) {
            return false;
        }
        insns.push_back(*insn);
        addr = insn->next();
    }
    if (insns.empty()) {
        return false;
    }
    const CodeInsn& last = insns.back();
    long branch = -1;
    if (last.insn.meta.category == ZYDIS_CATEGORY_COND_BR) {
        branch = static_cast<long>(plan_.branches.size());
        plan_.branches.push_back({last.addr, block.addr, RYN_NO_COUNTER, RYN_NO_COUNTER});
        counted_branch_.push_back(last.is_jcc() ? static_cast<uint32_t>(counted_branch_count_++)
                                                : RYN_NO_COUNTER);
    }
    bool branch_open = branch >= 0 && counted_branch_[static_cast<size_t>(branch)] != RYN_NO_COUNTER;

    // Head: a jump over the first whole instructions, else a trap on the first.
    size_t head_end = 1;
    uint64_t length = 0;
    size_t n = 0;
    while (!entries_unknown && n < insns.size() && length < k_jump_length && displaceable(insns[n])) {
        length += insns[n].insn.length;
        ++n;
    }
    if (!entries_unknown && length >= k_jump_length) {
        probe.counter = block_counters_++;
        PlannedSite planned{make_site(insns[0], RYN_SITE_JUMP, length), block.addr + length, probe.counter};
        if (n == insns.size() && branch_open) {
            planned.branch = branch;
            branch_open = false;
        }
        plan_.sites.push_back(planned);
        head_end = n;
        ++plan_.jump_blocks;
    } else if (insns.size() == 1 && branch_open) {
        probe.counter = block_counters_++;
        PlannedSite planned{make_site(last, RYN_SITE_BRANCH_TRAP, last.insn.length)};
        planned.site.counter = probe.counter;
        planned.branch = branch;
        branch_open = false;
        plan_.sites.push_back(planned);
        ++plan_.trap_blocks;
    } else if (relocation_of(insns[0]) != Relocation::impossible) {
        probe.counter = block_counters_++;
        PlannedSite planned{make_site(insns[0], RYN_SITE_TRAP, insns[0].insn.length)};
        planned.site.counter = probe.counter;
        plan_.sites.push_back(planned);
        ++plan_.trap_blocks;
    }

    // Tail: the conditional branch with the instructions before it, else a
    // trap on the branch itself.
    if (branch_open) {
        size_t k = insns.size();
        uint64_t tail_length = 0;
        bool fits = !entries_unknown;
        while (fits && tail_length < k_jump_length) {
            if (k <= head_end || !displaceable(insns[k - 1])) {
                fits = false;
                break;
            }
            --k;
            tail_length += insns[k].insn.length;
        }
        PlannedSite planned;
        if (fits) {
            planned = {make_site(insns[k], RYN_SITE_JUMP, tail_length), last.next()};
        } else {
            planned = {make_site(last, RYN_SITE_BRANCH_TRAP, last.insn.length)};
        }
        planned.branch = branch;
        plan_.sites.push_back(planned);
    }

    // Branches back to the function's entry from inside the function.
    const bool direct = last.insn.raw.imm[0].is_relative;
    if (entry != 0 && direct && last.branch_target() == entry) {
        if (branch >= 0) {
            adjust_sources_.push_back({entry, branch});
        } else if (last.insn.meta.category == ZYDIS_CATEGORY_UNCOND_BR && probe.counter != RYN_NO_COUNTER) {
            adjust_sources_.push_back({entry, -1 - static_cast<long>(probe.counter)});
        }
    }
    return probe.counter != RYN_NO_COUNTER;
}

CountingPlan CounterPlanner::finish() {
    const auto taken = [this](size_t branch) {
        return block_counters_ + 2 * counted_branch_[branch];
    };
    for (size_t i = 0; i < plan_.branches.size(); ++i) {
        if (counted_branch_[i] != RYN_NO_COUNTER) {
            plan_.branches[i].taken_counter = taken(i);
            plan_.branches[i].not_taken_counter = taken(i) + 1;
        }
    }
    for (PlannedSite& planned : plan_.sites) {
        if (planned.branch >= 0) {
            const ryn_branch& branch = plan_.branches[static_cast<size_t>(planned.branch)];
            planned.site.taken_counter = branch.taken_counter;
            planned.site.not_taken_counter = branch.not_taken_counter;
            if (planned.site.kind == RYN_SITE_BRANCH_TRAP) {
                const CodeInsn insn = *decode_insn(decoder_, facts_, branch.addr);
                planned.site.condition = insn.condition();
                planned.site.target = insn.branch_target();
                planned.site.fallthrough = insn.next();
            }
        }
    }
    for (const auto& [entry, source] : adjust_sources_) {
        const uint32_t counter = source >= 0 ? plan_.branches[static_cast<size_t>(source)].taken_counter
                                             : static_cast<uint32_t>(-1 - source);
        if (counter != RYN_NO_COUNTER) {
            plan_.adjusts.push_back({entry, counter, 0});
        }
    }
    plan_.counter_count = block_counters_ + 2 * counted_branch_count_;
    return std::move(plan_);
}

std::vector<uint8_t> write_trampolines(const CodeFacts& facts, CountingPlan& plan, uint64_t base,
                                       uint64_t counters_addr) {
    ZydisDecoder decoder;
    ZydisDecoderInit(&decoder, ZYDIS_MACHINE_MODE_LONG_64, ZYDIS_STACK_WIDTH_64);
    const auto counter = [counters_addr](uint32_t index) { return counters_addr + 8 * uint64_t{index}; };
    const auto decode = [&](uint64_t addr) {
        std::optional<CodeInsn> insn = decode_insn(decoder, facts, addr);
        if (!insn) {
            throw EngineError("planned code no longer decodes");
        }
        return *insn;
    };
    CodeBuffer code(base);
    for (PlannedSite& planned : plan.sites) {
        ryn_site& site = planned.site;
        if (site.kind == RYN_SITE_BRANCH_TRAP) {
            continue;
        }
        code.align(8);
        site.target = code.here();
        if (site.kind == RYN_SITE_TRAP) {
            const CodeInsn insn = decode(site.addr);
            if (code.relocate(insn)) {
                code.jmp(insn.next());
            }
            continue;
        }
        if (planned.block_counter != RYN_NO_COUNTER) {
            code.count(counter(planned.block_counter));
        }
        bool goes_on = true;
        for (uint64_t addr = site.addr; addr < planned.run_end;) {
            const CodeInsn insn = decode(addr);
            if (planned.branch >= 0 && insn.next() == planned.run_end) {
                const ryn_branch& branch = plan.branches[static_cast<size_t>(planned.branch)];
                const size_t to_taken = code.jcc(insn.condition(), code.here());
                code.count(counter(branch.not_taken_counter));
                code.jmp(insn.next());
                code.patch_rel32(to_taken, code.here());
                code.count(counter(branch.taken_counter));
                code.jmp(insn.branch_target());
                goes_on = false;
            } else {
                goes_on = code.relocate(insn);
            }
            addr = insn.next();
        }
        if (goes_on) {
            code.jmp(planned.run_end);
        }
    }
    return code.bytes();
}

}  // namespace morphel
