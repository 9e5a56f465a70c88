#include "probe_table.h"

#include <algorithm>
#include <cstring>

#include "block_finder.h"

namespace morphel {
namespace {

constexpr uint16_t k_max_insn_count = UINT16_MAX;

template <typename T>
void append_bytes(std::vector<char>& out, const T& value) {
    const char* bytes = reinterpret_cast<const char*>(&value);
    out.insert(out.end(), bytes, bytes + sizeof value);
}

}  // namespace

uint32_t StringPool::add(const std::string& text) {
    if (text.empty()) {
        return 0;
    }
    const auto [it, added] = offsets_.try_emplace(text, static_cast<uint32_t>(bytes_.size()));
    if (added) {
        bytes_.insert(bytes_.end(), text.begin(), text.end());
        bytes_.push_back('\0');
    }
    return it->second;
}

ProbeSet plan_probes(const CodeFacts& facts, const ImportSlots& imports) {
    ProbeSet set;
    BlockFinder finder(facts);
    CounterPlanner planner(facts, imports);
    std::vector<Block> blocks;
    // A branch from another function (a split-off cold part, a tail call
    // into the middle) makes a leader too.
    std::vector<uint64_t> outside_targets;
    for (const Function& function : facts.functions) {
        finder.add_outside_targets(function, outside_targets);
    }
    std::sort(outside_targets.begin(), outside_targets.end());
    outside_targets.erase(std::unique(outside_targets.begin(), outside_targets.end()),
                          outside_targets.end());
    finder.use_outside_targets(&outside_targets);
    std::vector<uint32_t> file_offsets;
    for (const std::string& file : facts.files) {
        file_offsets.push_back(set.strings.add(file));
    }
    for (const Function& function : facts.functions) {
        blocks.clear();
        if (!finder.find_blocks(function, blocks)) {
            ++set.functions_skipped;
            continue;
        }
        const uint32_t name = set.strings.add(function.name);
        const size_t first = set.probes.size();
        for (const Block& block : blocks) {
            uint64_t available = 0;
            const uint8_t* byte = facts.bytes_at(block.addr, &available);
            const LineRow* row = facts.line_of(block.addr);
            ryn_probe probe{};
            probe.addr = block.addr;
            probe.function = name;
            probe.file = row ? file_offsets[row->file] : 0;
            probe.line = row ? row->line : 0;
            probe.insn_count =
                static_cast<uint16_t>(std::min<uint32_t>(block.insn_count, k_max_insn_count));
            probe.original = *byte;
            probe.flags =
                static_cast<uint8_t>((block.function_entry ? RYN_PROBE_FUNCTION_ENTRY : 0) |
                                     (block.line_statement ? RYN_PROBE_LINE_STATEMENT : 0));
            set.probes.push_back(probe);
        }
        planner.plan_function(blocks, set.probes.data() + first, finder.entries_unknown(),
                              finder.table_jumps());
    }
    set.counting = planner.finish();
    // Functions come in address order and their blocks too, so the table is
    // already sorted; stay safe against equal addresses all the same.
    std::stable_sort(set.probes.begin(), set.probes.end(),
                     [](const ryn_probe& a, const ryn_probe& b) { return a.addr < b.addr; });
    set.probes.erase(
        std::unique(set.probes.begin(), set.probes.end(),
                    [](const ryn_probe& a, const ryn_probe& b) { return a.addr == b.addr; }),
        set.probes.end());
    return set;
}

namespace {

uint64_t align_up(uint64_t value, uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

}  // namespace

std::vector<char> build_probe_segment(ProbeSet& set, const std::string& settings,
                                      const std::string& digest, const CodeFacts& facts,
                                      uint64_t addr, uint64_t counters_addr) {
    CountingPlan& plan = set.counting;
    if (counters_addr == 0 || plan.counter_count == 0) {
        for (ryn_probe& probe : set.probes) {
            probe.counter = RYN_NO_COUNTER;
        }
        for (ryn_branch& branch : plan.branches) {
            branch.taken_counter = branch.not_taken_counter = RYN_NO_COUNTER;
        }
        plan.sites.clear();
        plan.adjusts.clear();
        plan.sums.clear();
        plan.unrecorded_indirects += plan.indirects.size();
        plan.indirects.clear();
        plan.uncounted_blocks = set.probes.size();
        plan.jump_blocks = plan.trap_blocks = plan.sum_blocks = 0;
        plan.counter_count = 0;
        counters_addr = 0;
    }
    const std::string all_settings = settings + "counting " + std::to_string(plan.jump_sites()) +
                                     " " + std::to_string(plan.trap_sites()) + " " +
                                     std::to_string(plan.uncounted_blocks) + "\n" + "indirect " +
                                     std::to_string(plan.indirects.size()) + " " +
                                     std::to_string(plan.unrecorded_indirects) + "\n";
    std::vector<char> table = build_probe_table(set, all_settings, digest);
    ryn_probe_header header;
    std::memcpy(&header, table.data(), sizeof header);
    header.sites_offset = align_up(table.size(), 8);
    header.site_count = static_cast<uint32_t>(plan.sites.size());
    header.branches_offset = header.sites_offset + plan.sites.size() * sizeof(ryn_site);
    header.branch_count = static_cast<uint32_t>(plan.branches.size());
    header.call_adjusts_offset = header.branches_offset + plan.branches.size() * sizeof(ryn_branch);
    header.call_adjust_count = static_cast<uint32_t>(plan.adjusts.size());
    header.sums_offset = header.call_adjusts_offset + plan.adjusts.size() * sizeof(ryn_call_adjust);
    header.sum_count = static_cast<uint32_t>(plan.sums.size());
    header.indirects_offset = header.sums_offset + plan.sums.size() * sizeof(ryn_count_sum);
    header.indirect_count = static_cast<uint32_t>(plan.indirects.size());
    header.counters_addr = counters_addr;
    header.counter_count = plan.counter_count;
    const uint64_t code_offset =
        align_up(header.indirects_offset + plan.indirects.size() * sizeof(ryn_indirect), 16);
    const std::vector<uint8_t> code =
        write_trampolines(facts, plan, addr + code_offset, counters_addr);

    std::memcpy(table.data(), &header, sizeof header);
    table.resize(header.sites_offset, '\0');
    for (const PlannedSite& planned : plan.sites) {
        append_bytes(table, planned.site);
    }
    for (const ryn_branch& branch : plan.branches) {
        append_bytes(table, branch);
    }
    for (const ryn_call_adjust& adjust : plan.adjusts) {
        append_bytes(table, adjust);
    }
    for (const ryn_count_sum& sum : plan.sums) {
        append_bytes(table, sum);
    }
    for (const ryn_indirect& site : plan.indirects) {
        append_bytes(table, site);
    }
    table.resize(code_offset, '\0');
    table.insert(table.end(), code.begin(), code.end());
    // After the code: where the code ends is only known once it is written.
    if (!plan.locks.empty()) {
        header.locks_offset = align_up(table.size(), 8);
        header.lock_count = static_cast<uint32_t>(plan.locks.size());
        std::memcpy(table.data(), &header, sizeof header);
        table.resize(header.locks_offset, static_cast<char>(0xcc));  // int3 after the code
        for (const uint64_t lock : plan.locks) {
            append_bytes(table, lock);
        }
    }
    return table;
}

std::vector<char> build_probe_table(const ProbeSet& set, const std::string& settings,
                                    const std::string& digest) {
    ryn_probe_header header{};
    std::memcpy(header.magic, RYN_PROBE_MAGIC, RYN_PROBE_MAGIC_SIZE);
    header.version = RYN_PROBE_VERSION;
    header.probe_count = static_cast<uint32_t>(set.probes.size());
    header.probes_offset = sizeof header;
    header.strings_offset = header.probes_offset + set.probes.size() * sizeof(ryn_probe);
    header.strings_size = set.strings.bytes().size();
    header.settings_offset = header.strings_offset + header.strings_size;
    header.settings_size = settings.size();
    std::memcpy(header.digest, digest.data(), std::min<size_t>(digest.size(), RYN_DIGEST_CHARS));

    std::vector<char> table;
    table.reserve(header.settings_offset + settings.size());
    append_bytes(table, header);
    for (const ryn_probe& probe : set.probes) {
        append_bytes(table, probe);
    }
    table.insert(table.end(), set.strings.bytes().begin(), set.strings.bytes().end());
    table.insert(table.end(), settings.begin(), settings.end());
    return table;
}

}  // namespace morphel
