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

ProbeSet plan_probes(const CodeFacts& facts) {
    ProbeSet set;
    BlockFinder finder(facts);
    std::vector<Block> blocks;
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
        for (const Block& block : blocks) {
            uint64_t available = 0;
            const uint8_t* byte = facts.bytes_at(block.addr, &available);
            const LineRow* row = facts.line_of(block.addr);
            ryn_probe probe{};
            probe.addr = block.addr;
            probe.function = name;
            probe.file = row ? file_offsets[row->file] : 0;
            probe.line = row ? row->line : 0;
            probe.insn_count = static_cast<uint16_t>(std::min<uint32_t>(block.insn_count, k_max_insn_count));
            probe.original = *byte;
            probe.flags = static_cast<uint8_t>((block.function_entry ? RYN_PROBE_FUNCTION_ENTRY : 0) |
                                               (block.line_statement ? RYN_PROBE_LINE_STATEMENT : 0));
            set.probes.push_back(probe);
        }
    }
    // Functions come in address order and their blocks too, so the table is
    // already sorted; stay safe against equal addresses all the same.
    std::stable_sort(set.probes.begin(), set.probes.end(),
                     [](const ryn_probe& a, const ryn_probe& b) { return a.addr < b.addr; });
    set.probes.erase(std::unique(set.probes.begin(), set.probes.end(),
                                 [](const ryn_probe& a, const ryn_probe& b) { return a.addr == b.addr; }),
                     set.probes.end());
    return set;
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
