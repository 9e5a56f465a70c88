// The code the sites lead to: trampolines that count and run the moved
// instructions, and the out-of-line copies behind the traps.
#include <algorithm>

#include "counter_plan.h"
#include "engine_error.h"
#include "flag_liveness.h"
#include "indirect_sites.h"
#include "relocation.h"

namespace morphel {

std::vector<uint8_t> write_trampolines(const CodeFacts& facts, CountingPlan& plan, uint64_t base,
                                       uint64_t counters_addr) {
    ZydisDecoder decoder;
    ZydisDecoderInit(&decoder, ZYDIS_MACHINE_MODE_LONG_64, ZYDIS_STACK_WIDTH_64);
    const auto counter = [counters_addr](uint32_t index) {
        return counters_addr + 8 * uint64_t{index};
    };
    const auto decode = [&](uint64_t addr) {
        std::optional<CodeInsn> insn = decode_insn(decoder, facts, addr);
        if (!insn) {
            throw EngineError("planned code no longer decodes");
        }
        return *insn;
    };
    const FlagLiveness flags(facts);
    CodeBuffer code(base);
    for (PlannedSite& planned : plan.sites) {
        ryn_site& site = planned.site;
        if (site.kind == RYN_SITE_BRANCH_TRAP) {
            continue;
        }
        code.align(8);
        site.target = code.here();
        if (site.kind == RYN_SITE_TRAP) {
            // The instruction, or the block up to an indirect call or jump
            // that records its target here (the handler records one at
            // addr itself).
            const uint64_t end = std::max(planned.run_end, decode(site.addr).next());
            bool goes_on = true;
            for (uint64_t addr = site.addr; addr < end;) {
                const CodeInsn insn = decode(addr);
                const ryn_indirect* indirect = plan.indirect_at(addr);
                if (indirect && addr != site.addr) {
                    record_target(code, *indirect, counter(indirect->slots));
                }
                goes_on = code.relocate(insn);
                addr = insn.next();
            }
            if (goes_on) {
                code.jmp(end);
            }
            continue;
        }
        const auto leave_for = [&](uint64_t destination) {
            for (const auto& [to, index] : planned.exits) {
                if (to == destination) {
                    code.count(counter(index), flags.live_at(destination));
                }
            }
            code.jmp(destination);
        };
        struct TakenEdge {
            size_t rel32_at;
            uint32_t counter;
            uint64_t target;
        };
        std::vector<TakenEdge> taken_edges;
        bool goes_on = true;
        for (uint64_t addr = site.addr; addr < planned.run_end;) {
            const CodeInsn insn = decode(addr);
            for (const auto& [at, index] : planned.entries) {
                if (at == addr) {
                    code.count(counter(index), flags.live_at(addr));
                }
            }
            if (const ryn_indirect* indirect = plan.indirect_at(addr)) {
                record_target(code, *indirect, counter(indirect->slots));
            }
            const auto branch =
                std::ranges::find(planned.branches, addr, &std::pair<uint64_t, long>::first);
            const bool last = insn.next() == planned.run_end;
            if (branch != planned.branches.end()) {
                const ryn_branch& edges = plan.branches[static_cast<size_t>(branch->second)];
                taken_edges.push_back({code.jcc(insn.condition(), code.here()), edges.taken_counter,
                                       insn.branch_target()});
                code.count(counter(edges.not_taken_counter), flags.live_at(insn.next()));
                goes_on = true;
            } else if (last && relocation_of(insn) == Relocation::jump) {
                leave_for(insn.branch_target());
                goes_on = false;
            } else if (relocation_of(insn) == Relocation::jcc) {
                code.jcc(insn.condition(), insn.branch_target());
                goes_on = true;
            } else {
                goes_on = code.relocate(insn);
            }
            addr = insn.next();
        }
        if (goes_on) {
            leave_for(planned.run_end);
        }
        for (const TakenEdge& edge : taken_edges) {
            code.patch_rel32(edge.rel32_at, code.here());
            code.count(counter(edge.counter), flags.live_at(edge.target));
            leave_for(edge.target);
        }
    }
    plan.locks = code.lock_prefixes();
    return code.bytes();
}

}  // namespace morphel
