#include "indirect_sites.h"

#include <cstring>

namespace morphel {
namespace {

// What the recording pushes below the red zone before it reads the
// operand: rax and rcx.
constexpr int32_t k_stack_moved = 128 + 2 * 8;

std::optional<uint8_t> register_number(ZydisRegister reg) {
    if (reg == ZYDIS_REGISTER_NONE) {
        return RYN_REG_NONE;
    }
    if (reg == ZYDIS_REGISTER_RIP) {
        return RYN_REG_RIP;
    }
    if (reg >= ZYDIS_REGISTER_RAX && reg <= ZYDIS_REGISTER_R15) {
        return static_cast<uint8_t>(reg - ZYDIS_REGISTER_RAX);
    }
    return std::nullopt;
}

constexpr uint8_t k_rsp = 4;
constexpr uint8_t k_rcx = 1;

}  // namespace

bool is_indirect_branch(const CodeInsn& insn) {
    const auto& raw = insn.insn;
    return raw.opcode_map == ZYDIS_OPCODE_MAP_DEFAULT && raw.opcode == 0xff &&
           (raw.attributes & ZYDIS_ATTRIB_HAS_MODRM) &&
           (raw.raw.modrm.reg == 2 || raw.raw.modrm.reg == 4);
}

std::optional<ryn_indirect> describe_indirect(const CodeInsn& insn) {
    if (!is_indirect_branch(insn) || insn.insn.address_width != 64) {
        return std::nullopt;
    }
    const ZydisDecodedOperand& op = insn.ops[0];
    ryn_indirect site{};
    site.addr = insn.addr;
    site.kind = insn.insn.raw.modrm.reg == 2 ? RYN_INDIRECT_CALL : RYN_INDIRECT_JUMP;
    site.length = insn.insn.length;
    site.index = RYN_REG_NONE;
    site.scale = 1;
    if (op.type == ZYDIS_OPERAND_TYPE_REGISTER) {
        const std::optional<uint8_t> reg = register_number(op.reg.value);
        if (!reg || *reg == k_rsp || *reg >= 16) {
            return std::nullopt;
        }
        site.base = *reg;
        return site;
    }
    if (op.type != ZYDIS_OPERAND_TYPE_MEMORY || op.size != 64 ||
        (op.mem.segment != ZYDIS_REGISTER_DS && op.mem.segment != ZYDIS_REGISTER_SS)) {
        return std::nullopt;
    }
    const std::optional<uint8_t> base = register_number(op.mem.base);
    const std::optional<uint8_t> index = register_number(op.mem.index);
    if (!base || !index || *index == RYN_REG_RIP ||
        (*base == RYN_REG_RIP && *index != RYN_REG_NONE) || op.mem.disp.value < INT32_MIN ||
        op.mem.disp.value > INT32_MAX) {
        return std::nullopt;
    }
    site.memory = 1;
    site.base = *base;
    site.index = *index;
    site.scale = op.mem.scale == 0 ? 1 : op.mem.scale;
    site.disp = static_cast<int32_t>(op.mem.disp.value);
    return site;
}

void record_target(CodeBuffer& code, const ryn_indirect& site, uint64_t slots_addr) {
    const auto count_at = [slots_addr](uint32_t k) { return slots_addr + 8 * uint64_t{k}; };
    const auto target_at = [slots_addr](uint32_t k) {
        return slots_addr + 8 * uint64_t{RYN_INDIRECT_SLOTS + 1 + k};
    };
    code.put({0x48, 0x8d, 0x64, 0x24, 0x80});  // lea rsp,[rsp-128]
    code.put({0x50, 0x51});                    // push rax; push rcx
    // The target into rcx, read as the instruction reads it.
    if (!site.memory) {
        // mov rcx,reg
        code.put({static_cast<uint8_t>(0x48 | (site.base >= 8 ? 0x04 : 0)), 0x89,
                  static_cast<uint8_t>(0xc0 | ((site.base & 7) << 3) | k_rcx)});
    } else if (site.base == RYN_REG_RIP) {
        code.put({0x48, 0x8b, 0x0d});  // mov rcx,[rip+slot]
        code.put_rel32(site.addr + site.length + static_cast<uint64_t>(int64_t{site.disp}));
    } else {
        const bool has_base = site.base != RYN_REG_NONE;
        const bool has_index = site.index != RYN_REG_NONE;
        const uint8_t rex = static_cast<uint8_t>(0x48 | (has_index && site.index >= 8 ? 0x02 : 0) |
                                                 (has_base && site.base >= 8 ? 0x01 : 0));
        const int32_t disp = site.disp + (site.base == k_rsp ? k_stack_moved : 0);
        const uint8_t scale_bits = static_cast<uint8_t>(site.scale == 8   ? 3
                                                        : site.scale == 4 ? 2
                                                        : site.scale == 2 ? 1
                                                                          : 0);
        const uint8_t sib_index = has_index ? (site.index & 7) : 4;
        code.put({rex, 0x8b});
        if (!has_base) {
            // mod 00, rm 100, SIB base 101: [index*scale + disp32]
            code.put({static_cast<uint8_t>((k_rcx << 3) | 4),
                      static_cast<uint8_t>((scale_bits << 6) | (sib_index << 3) | 5)});
        } else if (!has_index && (site.base & 7) != 4) {
            code.put({static_cast<uint8_t>(0x80 | (k_rcx << 3) | (site.base & 7))});
        } else {
            code.put(
                {static_cast<uint8_t>(0x80 | (k_rcx << 3) | 4),
                 static_cast<uint8_t>((scale_bits << 6) | (sib_index << 3) | (site.base & 7))});
        }
        uint8_t bytes[4];
        std::memcpy(bytes, &disp, sizeof bytes);
        code.put({bytes[0], bytes[1], bytes[2], bytes[3]});
    }
    // The flags through ax (cheaper than pushfq/popfq): OF in al, the
    // others in ah.
    code.put({0x0f, 0x90, 0xc0, 0x9f, 0x50});         // seto al; lahf; push rax
    std::vector<std::pair<size_t, uint32_t>> to_hit;  // rel32 to patch, slot
    std::vector<size_t> to_next;
    for (uint32_t k = 0; k < RYN_INDIRECT_SLOTS; ++k) {
        for (const size_t at : to_next) {
            code.patch_rel32(at, code.here());
        }
        to_next.clear();
        code.put({0x48, 0x8b, 0x05});  // mov rax,[rip+target k]
        code.put_rel32(target_at(k));
        code.put({0x48, 0x39, 0xc8});                     // cmp rax,rcx
        to_hit.push_back({code.jcc(4, code.here()), k});  // je hit
        code.put({0x48, 0x85, 0xc0});                     // test rax,rax
        to_next.push_back(code.jcc(5, code.here()));      // jne next slot
        code.put_lock_prefix();
        code.put({0x48, 0x0f, 0xb1, 0x0d});  // lock cmpxchg [rip+target k],rcx
        code.put_rel32(target_at(k));
        to_hit.push_back({code.jcc(4, code.here()), k});  // claimed
        code.put({0x48, 0x39, 0xc8});  // cmp rax,rcx: claimed by another for the same
        to_hit.push_back({code.jcc(4, code.here()), k});
        to_next.push_back(code.jcc(5, code.here()));
    }
    for (const size_t at : to_next) {
        code.patch_rel32(at, code.here());
    }
    std::vector<size_t> to_done;
    const auto add_one = [&](uint64_t counter) {
        code.put_lock_prefix();
        code.put({0x48, 0xff, 0x05});  // lock inc qword [rip+counter]
        code.put_rel32(counter);
        code.put({0xe9});
        to_done.push_back(code.bytes().size());
        code.put_rel32(code.here() + 4);
    };
    add_one(count_at(RYN_INDIRECT_SLOTS));  // no slot: other
    for (uint32_t k = 0; k < RYN_INDIRECT_SLOTS; ++k) {
        const uint64_t hit = code.here();
        for (const auto& [at, slot] : to_hit) {
            if (slot == k) {
                code.patch_rel32(at, hit);
            }
        }
        add_one(count_at(k));
    }
    for (const size_t at : to_done) {
        code.patch_rel32(at, code.here());
    }
    code.put({0x58, 0x04, 0x7f, 0x9e});  // pop rax; add al,0x7f (OF back); sahf
    code.put({0x59, 0x58});              // pop rcx; pop rax
    code.put({0x48, 0x8d, 0xa4, 0x24, 0x80, 0x00, 0x00, 0x00});  // lea rsp,[rsp+128]
}

}  // namespace morphel
