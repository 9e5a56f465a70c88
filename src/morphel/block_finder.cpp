#include "block_finder.h"

#include <algorithm>

#include "jump_tables.h"

namespace morphel {
namespace {

constexpr uint8_t k_leader = 0x1;
constexpr uint8_t k_entry = 0x2;
constexpr uint8_t k_statement = 0x4;
constexpr uint8_t k_branched = 0x8;
constexpr uint8_t k_foreign = 0x10;

// Whether the memory operand counts from the next instruction.
bool rip_relative(const ZydisDecodedInstruction& insn) {
    return (insn.attributes & ZYDIS_ATTRIB_HAS_MODRM) && insn.raw.modrm.mod == 0 &&
           insn.raw.modrm.rm == 5;
}

}  // namespace

bool ends_flow(const ZydisDecodedInstruction& insn) {
    switch (insn.meta.category) {
    case ZYDIS_CATEGORY_UNCOND_BR:
    case ZYDIS_CATEGORY_RET: return true;
    default: return insn.mnemonic == ZYDIS_MNEMONIC_UD2 || insn.mnemonic == ZYDIS_MNEMONIC_HLT;
    }
}

BlockFinder::BlockFinder(const CodeFacts& facts) : facts_(facts) {
    ZydisDecoderInit(&decoder_, ZYDIS_MACHINE_MODE_LONG_64, ZYDIS_STACK_WIDTH_64);
}

bool BlockFinder::decode(const Function& function) {
    starts_.clear();
    leaders_.clear();
    targets_.clear();
    outside_targets_.clear();
    call_targets_.clear();
    indirect_jumps_.clear();
    uint64_t available = 0;
    const uint8_t* bytes = facts_.bytes_at(function.addr, &available);
    if (!bytes || available < function.size) {
        return false;
    }
    ZydisDecodedInstruction insn;
    ZydisDecoderContext context;
    bool next_is_leader = true;
    uint64_t offset = 0;
    while (offset < function.size) {
        if (!ZYAN_SUCCESS(ZydisDecoderDecodeInstruction(&decoder_, &context, bytes + offset,
                                                        function.size - offset, &insn))) {
            return false;
        }
        const uint64_t addr = function.addr + offset;
        starts_.push_back(addr);
        leaders_.push_back(next_is_leader ? k_leader : 0);
        const ZydisInstructionCategory category = insn.meta.category;
        const bool branch = category == ZYDIS_CATEGORY_COND_BR ||
                            category == ZYDIS_CATEGORY_UNCOND_BR || category == ZYDIS_CATEGORY_CALL;
        if (branch && insn.raw.imm[0].is_relative) {
            const uint64_t target =
                addr + insn.length + static_cast<uint64_t>(insn.raw.imm[0].value.s);
            if (target >= function.addr && target - function.addr < function.size) {
                (category == ZYDIS_CATEGORY_CALL ? call_targets_ : targets_).push_back(target);
            } else {
                outside_targets_.push_back(target);
            }
        }
        if (category == ZYDIS_CATEGORY_UNCOND_BR && !insn.raw.imm[0].is_relative) {
            indirect_jumps_.push_back(starts_.size() - 1);
        }
        // Code that addresses its own function's bytes as data (a constant or
        // a jump table placed between its instructions) may hold bytes that
        // decode but are no instructions; a probe there would change data.
        if (rip_relative(insn)) {
            const uint64_t target = addr + insn.length + static_cast<uint64_t>(insn.raw.disp.value);
            if (target > function.addr && target - function.addr < function.size) {
                return false;
            }
        }
        next_is_leader = category == ZYDIS_CATEGORY_COND_BR || ends_flow(insn);
        offset += insn.length;
    }
    return offset == function.size;
}

long BlockFinder::instruction_at(uint64_t addr) const {
    const auto it = std::lower_bound(starts_.begin(), starts_.end(), addr);
    return it != starts_.end() && *it == addr ? it - starts_.begin() : -1;
}

bool BlockFinder::mark_leader(uint64_t addr, uint8_t flag) {
    const long index = instruction_at(addr);
    if (index < 0) {
        return false;
    }
    leaders_[static_cast<size_t>(index)] |= k_leader | flag;
    return true;
}

void BlockFinder::add_outside_targets(const Function& function, std::vector<uint64_t>& targets) {
    if (decode(function)) {
        targets.insert(targets.end(), outside_targets_.begin(), outside_targets_.end());
    }
}

bool BlockFinder::find_blocks(const Function& function, std::vector<Block>& blocks) {
    entries_unknown_ = false;
    table_jumps_.clear();
    if (!decode(function)) {
        return false;
    }
    const uint64_t end = function.addr + function.size;
    mark_leader(function.addr, k_entry | k_foreign);
    for (const uint64_t target : targets_) {
        if (!mark_leader(target, k_branched)) {
            return false;
        }
    }
    for (const uint64_t target : call_targets_) {
        if (!mark_leader(target, k_foreign)) {
            return false;
        }
    }
    if (outside_) {
        for (auto it = std::lower_bound(outside_->begin(), outside_->end(), function.addr);
             it != outside_->end() && *it < end; ++it) {
            if (!mark_leader(*it, k_foreign)) {
                entries_unknown_ = true;
            }
        }
    }
    const auto is_instruction = [this](uint64_t addr) { return instruction_at(addr) >= 0; };
    for (const size_t jump : indirect_jumps_) {
        const IndirectJumpTargets reach =
            indirect_jump_targets(decoder_, facts_, starts_, jump, is_instruction);
        entries_unknown_ = entries_unknown_ || !reach.known;
        if (!reach.entries.empty()) {
            table_jumps_.push_back(starts_[jump]);
        }
        for (const uint64_t entry : reach.entries) {
            mark_leader(entry, k_foreign);
        }
    }
    const auto pads_begin =
        std::lower_bound(facts_.landing_pads.begin(), facts_.landing_pads.end(), function.addr);
    for (auto it = pads_begin; it != facts_.landing_pads.end() && *it < end; ++it) {
        if (!mark_leader(*it, k_foreign)) {
            return false;
        }
    }
    const auto rows_begin =
        std::lower_bound(facts_.lines.begin(), facts_.lines.end(), function.addr,
                         [](const LineRow& row, uint64_t addr) { return row.addr < addr; });
    for (auto it = rows_begin; it != facts_.lines.end() && it->addr < end; ++it) {
        if (it->is_stmt && !it->end_sequence && !mark_leader(it->addr, k_statement)) {
            return false;
        }
    }
    for (size_t i = 0; i < starts_.size();) {
        size_t next = i + 1;
        while (next < starts_.size() && !(leaders_[next] & k_leader)) {
            ++next;
        }
        Block block;
        block.addr = starts_[i];
        block.end = next < starts_.size() ? starts_[next] : end;
        block.insn_count = static_cast<uint32_t>(next - i);
        block.function_entry = leaders_[i] & k_entry;
        block.line_statement = leaders_[i] & k_statement;
        block.branched = leaders_[i] & k_branched;
        block.foreign = leaders_[i] & k_foreign;
        blocks.push_back(block);
        i = next;
    }
    return true;
}

}  // namespace morphel
