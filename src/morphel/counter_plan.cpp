#include "counter_plan.h"

#include <algorithm>

#include "planned_block.h"

namespace morphel {
namespace {

// The bytes "jmp rel32" needs.
constexpr uint64_t k_jump_length = 5;
// A site records its length in a byte.
constexpr uint64_t k_max_run = 255;

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
    return std::ranges::count(sites, RYN_SITE_JUMP,
                              [](const PlannedSite& p) { return p.site.kind; });
}

size_t CountingPlan::trap_sites() const { return sites.size() - jump_sites(); }

const ryn_indirect* CountingPlan::indirect_at(uint64_t addr) const {
    const auto it = std::ranges::lower_bound(indirects, addr, {}, &ryn_indirect::addr);
    return it != indirects.end() && it->addr == addr ? &*it : nullptr;
}

CounterPlanner::CounterPlanner(const CodeFacts& facts, const ImportSlots& imports)
    : facts_(facts), imports_(imports) {
    ZydisDecoderInit(&decoder_, ZYDIS_MACHINE_MODE_LONG_64, ZYDIS_STACK_WIDTH_64);
}

void CounterPlanner::plan_function(const std::vector<Block>& blocks, ryn_probe* probes,
                                   bool entries_unknown, const std::vector<uint64_t>& table_jumps) {
    std::vector<BlockCode> code(blocks.size());
    const uint64_t entry = !blocks.empty() && blocks[0].function_entry ? blocks[0].addr : 0;
    for (size_t b = 0; b < blocks.size(); ++b) {
        BlockCode& c = code[b];
        c.block = &blocks[b];
        c.probe = &probes[b];
        c.probe->counter = RYN_NO_COUNTER;
        for (uint64_t addr = blocks[b].addr; addr < blocks[b].end;) {
            const std::optional<CodeInsn> insn = decode_insn(decoder_, facts_, addr);
            if (!insn) {
                c.insns.clear();
                break;
            }
            c.insns.push_back(*insn);
            c.bytes += insn->insn.length;
            c.all_displaceable = c.all_displaceable && displaceable(*insn);
            addr = insn->next();
        }
        if (c.insns.empty()) {
            c.all_displaceable = false;
            continue;
        }
        const CodeInsn& last = c.insns.back();
        if (last.insn.meta.category == ZYDIS_CATEGORY_COND_BR) {
            c.branch = static_cast<long>(plan_.branches.size());
            plan_.branches.push_back({last.addr, blocks[b].addr, RYN_NO_COUNTER, RYN_NO_COUNTER});
            counted_branch_.push_back(last.is_jcc() ? counted_branch_count_++ : RYN_NO_COUNTER);
            c.branch_open = last.is_jcc();
        }
    }
    const size_t first_site = plan_.sites.size();
    function_sums_ = sum_sources_.size();
    for (size_t b = 0; b < code.size(); ++b) {
        if (code[b].insns.empty()) {
            continue;
        }
        if (!code[b].absorbed && (entries_unknown || !count_as_predecessor(code, b))) {
            plan_head(code, b, entries_unknown);
        }
        if (code[b].branch_open) {
            plan_tail(code, b, entries_unknown);
        }
    }
    if (!entries_unknown) {
        plan_exit_runs(code);
        count_on_edges(code, first_site);
        count_as_sums(code, first_site);
    }
    plan_indirect(code, first_site, entries_unknown, table_jumps);
    std::stable_sort(
        plan_.sites.begin() + static_cast<long>(first_site), plan_.sites.end(),
        [](const PlannedSite& a, const PlannedSite& b) { return a.site.addr < b.site.addr; });
    for (const BlockCode& c : code) {
        if (c.probe->counter == RYN_NO_COUNTER) {
            ++plan_.uncounted_blocks;
        }
        // Branches back to the function's entry from inside the function.
        if (c.insns.empty() || entry == 0 || !c.insns.back().insn.raw.imm[0].is_relative ||
            c.insns.back().branch_target() != entry) {
            continue;
        }
        if (c.branch >= 0) {
            adjust_sources_.push_back(
                {entry, {EdgeCounter::taken, static_cast<uint32_t>(c.branch)}});
        } else if (c.insns.back().insn.meta.category != ZYDIS_CATEGORY_UNCOND_BR) {
            continue;
        } else if (c.probe->counter == RYN_SUM_COUNTER) {
            // Its count is the sum of its edges: subtract each.
            for (const EdgeCounter edge : *sum_of(c.block->addr)) {
                adjust_sources_.push_back({entry, edge});
            }
        } else if (c.probe->counter != RYN_NO_COUNTER) {
            adjust_sources_.push_back({entry, {EdgeCounter::block, c.probe->counter}});
        }
    }
}

// A jump over the block's first whole instructions; when they are all of
// it, the run goes on into the following blocks that only it runs into and
// that could not hold a jump of their own. Else a trap on the first
// instruction.
void CounterPlanner::plan_head(std::vector<BlockCode>& code, size_t b, bool entries_unknown) {
    BlockCode& head = code[b];
    uint64_t length = 0;
    size_t n = 0;
    while (!entries_unknown && n < head.insns.size() && length < k_jump_length &&
           displaceable(head.insns[n])) {
        length += head.insns[n].insn.length;
        ++n;
    }
    // A short rest of the block goes along, so that it needs no site of its
    // own and the run may go on.
    uint64_t rest = 0;
    bool rest_moves = true;
    for (size_t i = n; i < head.insns.size(); ++i) {
        rest += head.insns[i].insn.length;
        rest_moves = rest_moves && displaceable(head.insns[i]);
    }
    if (!entries_unknown && length >= k_jump_length && rest_moves && rest < k_jump_length) {
        length += rest;
        n = head.insns.size();
    }
    size_t last_block = b;
    if (!entries_unknown && n == head.insns.size()) {
        for (size_t next = b + 1; next < code.size(); ++next) {
            const BlockCode& c = code[next];
            const CodeInsn& before = code[next - 1].insns.back();
            if (c.block->branched || c.block->foreign || !c.all_displaceable ||
                before.ends_flow() || relocation_of(before) == Relocation::loop ||
                length + c.bytes > k_max_run ||
                (length >= k_jump_length && c.bytes >= k_jump_length)) {
                break;
            }
            length += c.bytes;
            last_block = next;
        }
    }
    if (length >= k_jump_length) {
        PlannedSite planned;
        planned.site = make_site(head.insns[0], RYN_SITE_JUMP, length);
        planned.run_end = head.block->addr + length;
        for (size_t i = b; i <= last_block; ++i) {
            BlockCode& c = code[i];
            c.probe->counter = block_counters_++;
            c.absorbed = i > b;
            c.covered = i == b ? n : c.insns.size();
            planned.entries.push_back({c.block->addr, c.probe->counter});
            if (c.covered == c.insns.size() && c.branch_open) {
                planned.branches.push_back({c.insns.back().addr, c.branch});
                c.branch_open = false;
            }
            ++plan_.jump_blocks;
        }
        plan_.sites.push_back(std::move(planned));
        return;
    }
    if (!entries_unknown && plan_lead_in(code, b)) {
        return;
    }
    const CodeInsn& first = head.insns[0];
    head.covered = 1;
    if (head.insns.size() == 1 && head.branch_open) {
        head.probe->counter = block_counters_++;
        PlannedSite planned;
        planned.site = make_site(first, RYN_SITE_BRANCH_TRAP, first.insn.length);
        planned.site.counter = head.probe->counter;
        planned.branches.push_back({first.addr, head.branch});
        head.branch_open = false;
        plan_.sites.push_back(std::move(planned));
        ++plan_.trap_blocks;
    } else if (relocation_of(first) != Relocation::impossible) {
        head.probe->counter = block_counters_++;
        PlannedSite planned;
        planned.site = make_site(first, RYN_SITE_TRAP, first.insn.length);
        planned.site.counter = head.probe->counter;
        plan_.sites.push_back(std::move(planned));
        ++plan_.trap_blocks;
    }
}

// A block only its predecessor runs into, too short for a jump: a run that
// begins with the predecessor's last instructions (after its own sites, and
// where a call returns at the latest) and goes on through the block.
bool CounterPlanner::plan_lead_in(std::vector<BlockCode>& code, size_t b) {
    BlockCode& c = code[b];
    if (b == 0 || c.block->branched || c.block->foreign || !c.all_displaceable) {
        return false;
    }
    BlockCode& before = code[b - 1];
    if (before.insns.empty() || before.branch >= 0 || before.insns.back().ends_flow()) {
        return false;
    }
    uint64_t length = c.bytes;
    size_t k = before.insns.size();
    while (length < k_jump_length && k > std::max<size_t>(before.covered, 1) &&
           displaceable(before.insns[k - 1])) {
        --k;
        length += before.insns[k].insn.length;
    }
    if (length < k_jump_length || length > k_max_run) {
        return false;
    }
    PlannedSite planned;
    planned.site = make_site(before.insns[k], RYN_SITE_JUMP, length);
    planned.run_end = c.block->addr + c.bytes;
    c.probe->counter = block_counters_++;
    c.covered = c.insns.size();
    planned.entries.push_back({c.block->addr, c.probe->counter});
    if (c.branch_open) {
        planned.branches.push_back({c.insns.back().addr, c.branch});
        c.branch_open = false;
    }
    before.covered = before.insns.size();
    ++plan_.jump_blocks;
    plan_.sites.push_back(std::move(planned));
    return true;
}

// The conditional branch with the instructions before it, else a trap on
// the branch itself.
void CounterPlanner::plan_tail(std::vector<BlockCode>& code, size_t b, bool entries_unknown) {
    BlockCode& c = code[b];
    const CodeInsn& last = c.insns.back();
    size_t k = c.insns.size();
    uint64_t length = 0;
    bool fits = !entries_unknown;
    while (fits && length < k_jump_length) {
        if (k <= std::max<size_t>(c.covered, 1) || !displaceable(c.insns[k - 1])) {
            fits = false;
            break;
        }
        --k;
        length += c.insns[k].insn.length;
    }
    PlannedSite planned;
    if (fits) {
        planned.site = make_site(c.insns[k], RYN_SITE_JUMP, length);
        planned.run_end = last.next();
    } else {
        planned.site = make_site(last, RYN_SITE_BRANCH_TRAP, last.insn.length);
    }
    planned.branches.push_back({last.addr, c.branch});
    c.branch_open = false;
    plan_.sites.push_back(std::move(planned));
}

// A trap on a block that a jump or the block before reaches is avoidable
// when those predecessors leave it from a run: give each predecessor that
// does not yet a run over its last instructions.
void CounterPlanner::plan_exit_runs(std::vector<BlockCode>& code) {
    std::vector<bool> trapped(code.size(), false);
    for (size_t x = 0; x < code.size(); ++x) {
        trapped[x] = !code[x].insns.empty() && code[x].block->branched && !code[x].block->foreign &&
                     std::ranges::any_of(plan_.sites, [&](const PlannedSite& p) {
                         return p.site.addr == code[x].block->addr && p.site.kind == RYN_SITE_TRAP;
                     });
    }
    for (size_t q = 0; q < code.size(); ++q) {
        BlockCode& c = code[q];
        if (c.insns.empty() || c.covered >= c.insns.size() || c.branch >= 0) {
            continue;
        }
        const CodeInsn& last = c.insns.back();
        const bool jumps =
            last.insn.meta.category == ZYDIS_CATEGORY_UNCOND_BR && last.insn.raw.imm[0].is_relative;
        size_t x = code.size();
        if (jumps) {
            for (size_t i = 0; i < code.size(); ++i) {
                if (!code[i].insns.empty() && code[i].block->addr == last.branch_target()) {
                    x = i;
                }
            }
        } else if (!last.ends_flow() && q + 1 < code.size()) {
            x = q + 1;
        }
        if (x == code.size() || !trapped[x]) {
            continue;
        }
        size_t k = c.insns.size();
        uint64_t length = 0;
        while (length < k_jump_length && k > std::max<size_t>(c.covered, 1) &&
               displaceable(c.insns[k - 1])) {
            --k;
            length += c.insns[k].insn.length;
        }
        if (length < k_jump_length) {
            continue;
        }
        PlannedSite planned;
        planned.site = make_site(c.insns[k], RYN_SITE_JUMP, length);
        planned.run_end = last.next();
        c.covered = c.insns.size();
        plan_.sites.push_back(std::move(planned));
    }
}

// A block that only direct branches of its function and the block before it
// lead to, each from inside a jump site's run, needs no trap of its own:
// those trampolines count it as they leave for it.
void CounterPlanner::count_on_edges(std::vector<BlockCode>& code, size_t first_site) {
    const auto run_holding = [&](uint64_t addr) -> PlannedSite* {
        for (size_t i = first_site; i < plan_.sites.size(); ++i) {
            PlannedSite& p = plan_.sites[i];
            if (p.site.kind == RYN_SITE_JUMP && addr >= p.site.addr && addr < p.run_end) {
                return &p;
            }
        }
        return nullptr;
    };
    for (size_t x = 0; x < code.size(); ++x) {
        BlockCode& target = code[x];
        if (target.insns.empty() || target.block->foreign ||
            target.probe->counter == RYN_NO_COUNTER) {
            continue;
        }
        const auto trap = std::find_if(plan_.sites.begin() + static_cast<long>(first_site),
                                       plan_.sites.end(), [&](const PlannedSite& p) {
                                           return p.site.addr == target.block->addr &&
                                                  p.site.kind == RYN_SITE_TRAP;
                                       });
        if (trap == plan_.sites.end()) {
            continue;
        }
        std::vector<PlannedSite*> sources;
        bool all_in_runs = true;
        for (size_t q = 0; q < code.size() && all_in_runs; ++q) {
            if (code[q].insns.empty()) {
                continue;
            }
            const CodeInsn& last = code[q].insns.back();
            const bool branches_here =
                last.insn.raw.imm[0].is_relative && !last.is_call() &&
                (last.insn.meta.category == ZYDIS_CATEGORY_UNCOND_BR || last.is_jcc()) &&
                last.branch_target() == target.block->addr;
            const bool runs_on = q + 1 == x && !last.ends_flow();
            if (!branches_here && !runs_on) {
                continue;
            }
            PlannedSite* run = run_holding(last.addr);
            // The run must leave from that very instruction.
            all_in_runs = run && (last.is_jcc() || last.next() == run->run_end) &&
                          !last.is_call() && relocation_of(last) != Relocation::loop;
            sources.push_back(run);
        }
        if (!all_in_runs || sources.empty()) {
            continue;
        }
        std::sort(sources.begin(), sources.end());
        sources.erase(std::unique(sources.begin(), sources.end()), sources.end());
        for (PlannedSite* run : sources) {
            run->exits.push_back({target.block->addr, target.probe->counter});
        }
        plan_.sites.erase(trap);
        --plan_.trap_blocks;
        ++plan_.jump_blocks;
    }
}

const std::vector<CounterPlanner::EdgeCounter>* CounterPlanner::sum_of(uint64_t block) const {
    for (size_t i = function_sums_; i < sum_sources_.size(); ++i) {
        if (sum_sources_[i].first == block) {
            return &sum_sources_[i].second;
        }
    }
    return nullptr;
}

// Whether every call in the block comes back exactly once per entry, as far
// as can be told: a direct call of a function of this file that is not one
// that returns twice (fork, setjmp: the child or the longjmp goes on past the
// call uncounted). A call that never returns makes the count too high; that
// is accepted.
bool CounterPlanner::calls_return_once(const BlockCode& c) const {
    static constexpr const char* k_twice[] = {"fork", "setjmp", "getcontext", "savectx", "clone"};
    for (const CodeInsn& insn : c.insns) {
        if (!insn.is_call()) {
            continue;
        }
        if (!insn.insn.raw.imm[0].is_relative) {
            return false;
        }
        const uint64_t target = insn.branch_target();
        const auto f = std::ranges::lower_bound(facts_.functions, target, {}, &Function::addr);
        if (f == facts_.functions.end() || f->addr != target ||
            std::ranges::any_of(
                k_twice, [&](const char* w) { return f->name.find(w) != std::string::npos; })) {
            return false;
        }
    }
    return true;
}

// The counters whose sum is the count of control leaving the block at its
// end: its own, or the edges of a sum. False when it has none or a call in
// it may return other than once.
bool CounterPlanner::block_edges(const BlockCode& c, std::vector<EdgeCounter>& edges) const {
    if (!calls_return_once(c)) {
        return false;
    }
    if (c.probe->counter == RYN_SUM_COUNTER) {
        const std::vector<EdgeCounter>* sum = sum_of(c.block->addr);
        edges.insert(edges.end(), sum->begin(), sum->end());
        return true;
    }
    if (c.probe->counter == RYN_NO_COUNTER) {
        return false;
    }
    edges.push_back({EdgeCounter::block, c.probe->counter});
    return true;
}

// A block only the one before runs into (a new line, say) is entered as
// often as that one leaves for it: the same counters give its count, and it
// needs no site. Not after a call, whose return lands here; not when it
// ends in a branch, whose edges would then need a site of their own and
// might get only a trap.
bool CounterPlanner::count_as_predecessor(std::vector<BlockCode>& code, size_t b) {
    BlockCode& c = code[b];
    if (b == 0 || c.block->branched || c.block->foreign || c.block->function_entry ||
        c.branch >= 0) {
        return false;
    }
    const BlockCode& before = code[b - 1];
    if (before.insns.empty() || before.insns.back().ends_flow() || before.insns.back().is_call()) {
        return false;
    }
    std::vector<EdgeCounter> edges;
    if (before.branch >= 0) {
        if (!before.insns.back().is_jcc()) {
            return false;
        }
        edges.push_back({EdgeCounter::not_taken, static_cast<uint32_t>(before.branch)});
    } else if (!block_edges(before, edges)) {
        return false;
    }
    c.probe->counter = RYN_SUM_COUNTER;
    sum_sources_.push_back({c.block->addr, std::move(edges)});
    ++plan_.sum_blocks;
    return true;
}

// A block left with a trap whose every way in is a counted edge of its
// function (the block before running into it, a jmp or a jcc's taken edge)
// needs no site: its count is the sum of those edges' counters. Not when
// anything else may enter it: the entry, a jump table, the unwinder,
// another function, a return from a call just before it.
void CounterPlanner::count_as_sums(std::vector<BlockCode>& code, size_t first_site) {
    if (std::ranges::any_of(code, [](const BlockCode& c) { return c.insns.empty(); })) {
        return;
    }
    const auto counted_block = [](const BlockCode& c) {
        return c.probe->counter != RYN_NO_COUNTER && c.probe->counter != RYN_SUM_COUNTER;
    };
    for (size_t x = 0; x < code.size(); ++x) {
        BlockCode& target = code[x];
        const uint64_t addr = target.block->addr;
        if (target.block->foreign || target.block->function_entry || !counted_block(target)) {
            continue;
        }
        const auto trap =
            std::find_if(plan_.sites.begin() + static_cast<long>(first_site), plan_.sites.end(),
                         [&](const PlannedSite& p) {
                             return p.site.addr == addr && p.site.kind == RYN_SITE_TRAP;
                         });
        if (trap == plan_.sites.end()) {
            continue;
        }
        std::vector<EdgeCounter> edges;
        bool known = true;
        for (size_t q = 0; q < code.size() && known; ++q) {
            const BlockCode& from = code[q];
            // Every instruction that names the block must be an edge below.
            for (size_t i = 0; i < from.insns.size() && known; ++i) {
                const CodeInsn& insn = from.insns[i];
                if (insn.insn.raw.imm[0].is_relative && insn.branch_target() == addr) {
                    known = i + 1 == from.insns.size() && q != x &&
                            (insn.is_jcc() || insn.insn.meta.category == ZYDIS_CATEGORY_UNCOND_BR);
                }
            }
            if (!known) {
                break;
            }
            const CodeInsn& last = from.insns.back();
            if (last.insn.raw.imm[0].is_relative && last.branch_target() == addr) {
                if (last.is_jcc()) {
                    edges.push_back({EdgeCounter::taken, static_cast<uint32_t>(from.branch)});
                } else {
                    known = block_edges(from, edges);
                }
            }
            if (q + 1 != x || last.ends_flow()) {
                continue;
            }
            // A call just before: its return lands here, and a call that does
            // not return would make the edge too high.
            if (last.is_call()) {
                known = false;
            } else if (from.branch >= 0) {
                known = last.is_jcc();
                edges.push_back({EdgeCounter::not_taken, static_cast<uint32_t>(from.branch)});
            } else {
                known = block_edges(from, edges);
            }
        }
        // A sum already made of this block's counter needs it.
        const uint32_t freed = target.probe->counter;
        known =
            known && std::none_of(sum_sources_.begin() + static_cast<long>(function_sums_),
                                  sum_sources_.end(), [&](const auto& sum) {
                                      return std::ranges::any_of(sum.second, [&](EdgeCounter e) {
                                          return e.kind == EdgeCounter::block && e.index == freed;
                                      });
                                  });
        if (!known || edges.empty()) {
            continue;
        }
        target.probe->counter = RYN_SUM_COUNTER;
        plan_.sites.erase(trap);
        sum_sources_.push_back({addr, std::move(edges)});
        forget_counter(code, first_site, freed);
        --plan_.trap_blocks;
        ++plan_.sum_blocks;
    }
}

// Numbers the block counters after `freed` one lower, so that none is left
// unused. Only the current function's blocks have such counters yet.
void CounterPlanner::forget_counter(std::vector<BlockCode>& code, size_t first_site,
                                    uint32_t freed) {
    const auto renumber = [freed](uint32_t& counter) {
        if (counter != RYN_NO_COUNTER && counter != RYN_SUM_COUNTER && counter > freed) {
            --counter;
        }
    };
    for (BlockCode& c : code) {
        renumber(c.probe->counter);
    }
    for (size_t i = first_site; i < plan_.sites.size(); ++i) {
        PlannedSite& p = plan_.sites[i];
        renumber(p.site.counter);
        for (auto& entry : p.entries) {
            renumber(entry.second);
        }
        for (auto& exit : p.exits) {
            renumber(exit.second);
        }
    }
    for (auto& sum : sum_sources_) {
        for (EdgeCounter& edge : sum.second) {
            if (edge.kind == EdgeCounter::block) {
                renumber(edge.index);
            }
        }
    }
    --block_counters_;
}

uint32_t CounterPlanner::resolve(EdgeCounter edge) const {
    if (edge.kind == EdgeCounter::block) {
        return edge.index;
    }
    const uint32_t k = counted_branch_[edge.index];
    if (k == RYN_NO_COUNTER) {
        return RYN_NO_COUNTER;
    }
    return block_counters_ + 2 * k + (edge.kind == EdgeCounter::not_taken ? 1 : 0);
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
        if (planned.branches.empty()) {
            continue;
        }
        const ryn_branch& branch =
            plan_.branches[static_cast<size_t>(planned.branches.back().second)];
        planned.site.taken_counter = branch.taken_counter;
        planned.site.not_taken_counter = branch.not_taken_counter;
        if (planned.site.kind == RYN_SITE_BRANCH_TRAP) {
            const CodeInsn insn = *decode_insn(decoder_, facts_, branch.addr);
            planned.site.condition = insn.condition();
            planned.site.target = insn.branch_target();
            planned.site.fallthrough = insn.next();
        }
    }
    for (const auto& [entry, source] : adjust_sources_) {
        const uint32_t counter = resolve(source);
        if (counter != RYN_NO_COUNTER) {
            plan_.adjusts.push_back({entry, counter, 0});
        }
    }
    for (const auto& [block, edges] : sum_sources_) {
        for (const EdgeCounter edge : edges) {
            plan_.sums.push_back({block, resolve(edge), 0});
        }
    }
    // A function's sums come in the order they were found.
    std::ranges::stable_sort(plan_.sums, {}, &ryn_count_sum::block);
    plan_.counter_count = block_counters_ + 2 * counted_branch_count_;
    // Each indirect site's slots follow every other counter.
    std::ranges::sort(plan_.indirects, {}, &ryn_indirect::addr);
    for (ryn_indirect& site : plan_.indirects) {
        site.slots = static_cast<uint32_t>(plan_.counter_count);
        plan_.counter_count += RYN_INDIRECT_COUNTERS;
    }
    return std::move(plan_);
}

}  // namespace morphel
