#include "relocation.h"

#include <cstring>
#include <limits>

#include "block_finder.h"
#include "engine_error.h"

namespace morphel {
namespace {

bool rip_relative(const ZydisDecodedInstruction& insn) {
    return (insn.attributes & ZYDIS_ATTRIB_HAS_MODRM) && insn.raw.modrm.mod == 0 &&
           insn.raw.modrm.rm == 5;
}

int32_t rel32(uint64_t from, uint64_t target) {
    const int64_t distance = static_cast<int64_t>(target - from);
    if (distance < std::numeric_limits<int32_t>::min() ||
        distance > std::numeric_limits<int32_t>::max()) {
        throw EngineError("code too far from its out-of-line copy for a 32-bit displacement");
    }
    return static_cast<int32_t>(distance);
}

void store32(uint8_t* at, int32_t value) { std::memcpy(at, &value, sizeof value); }

// The memory operand of an indirect call, if it is one.
const ZydisDecodedOperand* memory_operand(const CodeInsn& code) {
    for (uint8_t i = 0; i < code.insn.operand_count_visible; ++i) {
        if (code.ops[i].type == ZYDIS_OPERAND_TYPE_MEMORY) {
            return &code.ops[i];
        }
    }
    return nullptr;
}

}  // namespace

bool CodeInsn::is_jcc() const {
    if (insn.meta.category != ZYDIS_CATEGORY_COND_BR) {
        return false;
    }
    return (insn.opcode_map == ZYDIS_OPCODE_MAP_DEFAULT && insn.opcode >= 0x70 &&
            insn.opcode <= 0x7f) ||
           (insn.opcode_map == ZYDIS_OPCODE_MAP_0F && insn.opcode >= 0x80 && insn.opcode <= 0x8f);
}

uint64_t CodeInsn::branch_target() const {
    return next() + static_cast<uint64_t>(insn.raw.imm[0].value.s);
}

bool CodeInsn::ends_flow() const { return morphel::ends_flow(insn); }

std::optional<CodeInsn> decode_insn(const ZydisDecoder& decoder, const CodeFacts& facts,
                                    uint64_t addr) {
    uint64_t available = 0;
    CodeInsn code;
    code.addr = addr;
    code.bytes = facts.bytes_at(addr, &available);
    if (!code.bytes || !ZYAN_SUCCESS(ZydisDecoderDecodeFull(&decoder, code.bytes, available,
                                                            &code.insn, code.ops))) {
        return std::nullopt;
    }
    return code;
}

Relocation relocation_of(const CodeInsn& code) {
    const ZydisDecodedInstruction& insn = code.insn;
    if (code.is_call()) {
        if (insn.opcode == 0xe8 && insn.raw.imm[0].is_relative) {
            return Relocation::call;
        }
        if (insn.opcode != 0xff || insn.raw.modrm.reg != 2) {
            return Relocation::impossible;
        }
        const ZydisDecodedOperand* memory = memory_operand(code);
        if (memory &&
            (memory->mem.base == ZYDIS_REGISTER_RSP || memory->mem.base == ZYDIS_REGISTER_ESP)) {
            // The emulation runs with 8 more bytes on the stack; only a
            // displacement that can absorb them keeps the length.
            const bool fits = insn.raw.disp.size == 32 ||
                              (insn.raw.disp.size == 8 && insn.raw.disp.value + 8 <= 127);
            return fits ? Relocation::call : Relocation::impossible;
        }
        return Relocation::call;
    }
    if (insn.meta.category == ZYDIS_CATEGORY_COND_BR) {
        if (code.is_jcc()) {
            return Relocation::jcc;
        }
        return insn.raw.imm[0].size == 8 ? Relocation::loop : Relocation::impossible;
    }
    if (insn.meta.category == ZYDIS_CATEGORY_UNCOND_BR && insn.raw.imm[0].is_relative) {
        return insn.opcode == 0xe9 || insn.opcode == 0xeb ? Relocation::jump
                                                          : Relocation::impossible;
    }
    for (const auto& imm : insn.raw.imm) {
        if (imm.is_relative) {
            return Relocation::impossible;
        }
    }
    if (rip_relative(insn)) {
        return insn.raw.disp.size == 32 ? Relocation::rip : Relocation::impossible;
    }
    return Relocation::copy;
}

void CodeBuffer::put_rel32(uint64_t target) {
    const int32_t value = rel32(here() + 4, target);
    const auto* p = reinterpret_cast<const uint8_t*>(&value);
    bytes_.insert(bytes_.end(), p, p + 4);
}

void CodeBuffer::patch_rel32(size_t at, uint64_t target) {
    store32(&bytes_[at], rel32(base_ + at + 4, target));
}

void CodeBuffer::align(size_t alignment) {
    while (bytes_.size() % alignment != 0) {
        bytes_.push_back(0xcc);
    }
}

void CodeBuffer::put_lock_prefix() {
    lock_prefixes_.push_back(here());
    put({0xf0});
}

void CodeBuffer::count(uint64_t counter_addr, bool keep_flags) {
    if (!keep_flags) {
        put_lock_prefix();
        put({0x48, 0xff, 0x05});  // lock inc qword [rip+counter]
        put_rel32(counter_addr);
        return;
    }
    put({0x48, 0x8d, 0x64, 0x24, 0x80});  // lea rsp,[rsp-128]
    put({0x50});                          // push rax
    put({0x0f, 0x90, 0xc0});              // seto al
    put({0x9f});                          // lahf
    put_lock_prefix();
    put({0x48, 0xff, 0x05});  // lock inc qword [rip+counter]
    put_rel32(counter_addr);
    put({0x04, 0x7f});                                      // add al,0x7f: OF back as it was
    put({0x9e});                                            // sahf
    put({0x58});                                            // pop rax
    put({0x48, 0x8d, 0xa4, 0x24, 0x80, 0x00, 0x00, 0x00});  // lea rsp,[rsp+128]
}

void CodeBuffer::jmp(uint64_t target) {
    put({0xe9});
    put_rel32(target);
}

size_t CodeBuffer::jcc(uint8_t condition, uint64_t target) {
    put({0x0f, static_cast<uint8_t>(0x80 | condition)});
    const size_t at = bytes_.size();
    put_rel32(target);
    return at;
}

bool CodeBuffer::relocate(const CodeInsn& code) {
    const ZydisDecodedInstruction& insn = code.insn;
    const size_t start = bytes_.size();
    switch (relocation_of(code)) {
    case Relocation::copy:
        bytes_.insert(bytes_.end(), code.bytes, code.bytes + insn.length);
        return !code.ends_flow();
    case Relocation::rip: {
        const uint64_t target = code.next() + static_cast<uint64_t>(insn.raw.disp.value);
        bytes_.insert(bytes_.end(), code.bytes, code.bytes + insn.length);
        store32(&bytes_[start + insn.raw.disp.offset], rel32(here(), target));
        return !code.ends_flow();
    }
    case Relocation::jump: jmp(code.branch_target()); return false;
    case Relocation::jcc: jcc(code.condition(), code.branch_target()); return true;
    case Relocation::loop:
        // op +5; jmp fallthrough; jmp target
        bytes_.insert(bytes_.end(), code.bytes, code.bytes + insn.length);
        bytes_[start + insn.raw.imm[0].offset] = 5;
        jmp(code.next());
        jmp(code.branch_target());
        return false;
    case Relocation::call: {
        put({0x48, 0x8d, 0x64, 0x24, 0xf8});  // lea rsp,[rsp-8]: the return address slot
        put({0x50});                          // push rax
        put({0x48, 0x8d, 0x05});              // lea rax,[rip+return address]
        put_rel32(code.next());
        put({0x48, 0x89, 0x44, 0x24, 0x08});  // mov [rsp+8],rax
        put({0x58});                          // pop rax
        if (insn.opcode == 0xe8) {
            jmp(code.branch_target());
            return false;
        }
        // The same operand, as jmp (ff /4) instead of call (ff /2).
        const size_t at = bytes_.size();
        bytes_.insert(bytes_.end(), code.bytes, code.bytes + insn.length);
        uint8_t& modrm = bytes_[at + insn.raw.modrm.offset];
        modrm = static_cast<uint8_t>((modrm & ~0x38) | (4 << 3));
        if (rip_relative(insn)) {
            const uint64_t target = code.next() + static_cast<uint64_t>(insn.raw.disp.value);
            store32(&bytes_[at + insn.raw.disp.offset], rel32(here(), target));
        } else if (const ZydisDecodedOperand* memory = memory_operand(code);
                   memory && (memory->mem.base == ZYDIS_REGISTER_RSP ||
                              memory->mem.base == ZYDIS_REGISTER_ESP)) {
            if (insn.raw.disp.size == 8) {
                bytes_[at + insn.raw.disp.offset] = static_cast<uint8_t>(insn.raw.disp.value + 8);
            } else {
                store32(&bytes_[at + insn.raw.disp.offset],
                        static_cast<int32_t>(insn.raw.disp.value + 8));
            }
        }
        return false;
    }
    case Relocation::impossible: break;
    }
    throw EngineError("an instruction that cannot be moved was planned out of line");
}

}  // namespace morphel
