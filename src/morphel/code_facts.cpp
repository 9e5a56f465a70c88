#include "code_facts.h"

#include <algorithm>

namespace morphel {

namespace {

const uint8_t* bytes_in(const std::vector<CodeSection>& sections, uint64_t addr,
                        uint64_t* available) {
    for (const CodeSection& section : sections) {
        if (addr >= section.addr && addr - section.addr < section.size) {
            *available = section.size - (addr - section.addr);
            return section.bytes + (addr - section.addr);
        }
    }
    *available = 0;
    return nullptr;
}

}  // namespace

const uint8_t* CodeFacts::bytes_at(uint64_t addr, uint64_t* available) const {
    return bytes_in(code, addr, available);
}

const uint8_t* CodeFacts::loaded_bytes_at(uint64_t addr, uint64_t* available) const {
    return bytes_in(loaded, addr, available);
}

const LineRow* CodeFacts::line_of(uint64_t addr) const {
    // The last row at or below the address, unless a sequence ended there.
    auto it = std::upper_bound(lines.begin(), lines.end(), addr,
                               [](uint64_t a, const LineRow& row) { return a < row.addr; });
    if (it == lines.begin()) {
        return nullptr;
    }
    --it;
    return it->end_sequence ? nullptr : &*it;
}

}  // namespace morphel
