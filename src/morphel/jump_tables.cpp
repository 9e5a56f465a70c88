#include "jump_tables.h"

#include <cstring>
#include <optional>

namespace morphel {
namespace {

// How far back the instructions that build a jump's address are looked for.
constexpr size_t k_look_back = 16;
constexpr size_t k_max_entries = 65536;

struct Decoded {
    uint64_t addr = 0;
    ZydisDecodedInstruction insn;
    ZydisDecodedOperand ops[ZYDIS_MAX_OPERAND_COUNT];
};

std::optional<Decoded> decode_at(const ZydisDecoder& decoder, const CodeFacts& facts,
                                 uint64_t addr) {
    uint64_t available = 0;
    const uint8_t* bytes = facts.bytes_at(addr, &available);
    Decoded d;
    d.addr = addr;
    if (!bytes ||
        !ZYAN_SUCCESS(ZydisDecoderDecodeFull(&decoder, bytes, available, &d.insn, d.ops))) {
        return std::nullopt;
    }
    return d;
}

bool is_reg(const ZydisDecodedOperand& op, ZydisRegister reg) {
    return op.type == ZYDIS_OPERAND_TYPE_REGISTER && op.reg.value == reg;
}

// A memory operand [base + index*scale + disp] with the given parts.
bool is_table_access(const ZydisDecodedOperand& op, uint8_t scale) {
    return op.type == ZYDIS_OPERAND_TYPE_MEMORY && op.mem.index != ZYDIS_REGISTER_NONE &&
           op.mem.scale == scale;
}

template <typename Entry>
std::vector<uint64_t> read_entries(const CodeFacts& facts, uint64_t table, uint64_t base,
                                   const std::function<bool(uint64_t)>& is_instruction) {
    std::vector<uint64_t> entries;
    uint64_t available = 0;
    const uint8_t* bytes = facts.loaded_bytes_at(table, &available);
    for (uint64_t at = 0;
         bytes && at + sizeof(Entry) <= available && entries.size() < k_max_entries;
         at += sizeof(Entry)) {
        Entry value;
        std::memcpy(&value, bytes + at, sizeof value);
        const uint64_t target = base + static_cast<uint64_t>(static_cast<int64_t>(value));
        if (!is_instruction(target)) {
            break;
        }
        entries.push_back(target);
    }
    return entries;
}

ZydisRegister widest(ZydisRegister reg) {
    return ZydisRegisterGetLargestEnclosing(ZYDIS_MACHINE_MODE_LONG_64, reg);
}

// Whether the instruction writes (part of) the register.
bool writes(const Decoded& d, ZydisRegister reg) {
    for (uint8_t k = 0; k < d.insn.operand_count; ++k) {
        const ZydisDecodedOperand& op = d.ops[k];
        if (op.type == ZYDIS_OPERAND_TYPE_REGISTER &&
            (op.actions & ZYDIS_OPERAND_ACTION_MASK_WRITE) && widest(op.reg.value) == widest(reg)) {
            return true;
        }
    }
    return false;
}

// The nearest instruction from before[from] on (going back) that writes reg.
const Decoded* writer_of(const std::vector<Decoded>& before, size_t from, ZydisRegister reg) {
    for (size_t k = from; k < before.size(); ++k) {
        if (writes(before[k], reg)) {
            return &before[k];
        }
    }
    return nullptr;
}

}  // namespace

IndirectJumpTargets indirect_jump_targets(const ZydisDecoder& decoder, const CodeFacts& facts,
                                          const std::vector<uint64_t>& starts, size_t index,
                                          const std::function<bool(uint64_t)>& is_instruction) {
    IndirectJumpTargets result;
    const std::optional<Decoded> jump = decode_at(decoder, facts, starts[index]);
    if (!jump) {
        result.known = false;
        return result;
    }
    const ZydisDecodedOperand& operand = jump->ops[0];
    if (operand.type == ZYDIS_OPERAND_TYPE_MEMORY) {
        if (operand.mem.base == ZYDIS_REGISTER_RIP && operand.mem.index == ZYDIS_REGISTER_NONE) {
            return result;  // through the GOT: another function
        }
        if (operand.mem.base == ZYDIS_REGISTER_NONE && is_table_access(operand, 8)) {
            result.entries = read_entries<int64_t>(
                facts, static_cast<uint64_t>(operand.mem.disp.value), 0, is_instruction);
            return result;
        }
        result.known = false;
        return result;
    }
    if (operand.type != ZYDIS_OPERAND_TYPE_REGISTER) {
        result.known = false;
        return result;
    }
    std::vector<Decoded> before;  // nearest first
    for (size_t k = 1; k <= k_look_back && k <= index; ++k) {
        if (std::optional<Decoded> d = decode_at(decoder, facts, starts[index - k])) {
            before.push_back(*d);
        } else {
            break;
        }
    }
    const ZydisRegister target_reg = operand.reg.value;
    // Absolute entries loaded into the register.
    for (const Decoded& d : before) {
        if (d.insn.mnemonic == ZYDIS_MNEMONIC_MOV && is_reg(d.ops[0], target_reg) &&
            is_table_access(d.ops[1], 8) && d.ops[1].mem.base == ZYDIS_REGISTER_NONE) {
            result.entries = read_entries<int64_t>(
                facts, static_cast<uint64_t>(d.ops[1].mem.disp.value), 0, is_instruction);
            return result;
        }
        if (writes(d, target_reg)) {
            break;
        }
    }
    // Entries relative to the table: add R,X where one of them holds the
    // table's address (lea [rip+T]) and the other an entry sign-extended
    // from 32 bits (movsxd from memory, or cdqe).
    size_t i = 0;
    while (i < before.size() && !(before[i].insn.mnemonic == ZYDIS_MNEMONIC_ADD &&
                                  is_reg(before[i].ops[0], target_reg) &&
                                  before[i].ops[1].type == ZYDIS_OPERAND_TYPE_REGISTER)) {
        if (writes(before[i], target_reg)) {
            break;
        }
        ++i;
    }
    if (i < before.size() && before[i].insn.mnemonic == ZYDIS_MNEMONIC_ADD &&
        before[i].ops[1].type == ZYDIS_OPERAND_TYPE_REGISTER) {
        const ZydisRegister pair[2] = {target_reg, before[i].ops[1].reg.value};
        for (int base = 0; base < 2; ++base) {
            const Decoded* lea = writer_of(before, i + 1, pair[base]);
            const Decoded* entry = writer_of(before, i + 1, pair[1 - base]);
            if (!lea || !entry || lea->insn.mnemonic != ZYDIS_MNEMONIC_LEA ||
                lea->ops[1].mem.base != ZYDIS_REGISTER_RIP) {
                continue;
            }
            const bool sign_extended = entry->insn.mnemonic == ZYDIS_MNEMONIC_CDQE ||
                                       (entry->insn.mnemonic == ZYDIS_MNEMONIC_MOVSXD &&
                                        entry->ops[1].type == ZYDIS_OPERAND_TYPE_MEMORY);
            if (!sign_extended) {
                continue;
            }
            const uint64_t table =
                lea->addr + lea->insn.length + static_cast<uint64_t>(lea->ops[1].mem.disp.value);
            result.entries = read_entries<int32_t>(facts, table, table, is_instruction);
            return result;
        }
    }
    result.known = false;
    return result;
}

}  // namespace morphel
