// Moving instructions out of line: what each kind needs to keep meaning
// the same at another address, and the code that does it.
#pragma once

#include <Zydis/Zydis.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "code_facts.h"

namespace morphel {

struct CodeInsn {
    uint64_t addr = 0;
    const uint8_t* bytes = nullptr;
    ZydisDecodedInstruction insn{};
    ZydisDecodedOperand ops[ZYDIS_MAX_OPERAND_COUNT]{};

    uint64_t next() const { return addr + insn.length; }
    // A jcc (not loop or jrcxz), whose condition is cc.
    bool is_jcc() const;
    uint8_t condition() const { return insn.opcode & 0xf; }
    bool is_call() const { return insn.meta.category == ZYDIS_CATEGORY_CALL; }
    // The target of a relative branch or call.
    uint64_t branch_target() const;
    // Whether control never continues with the next instruction.
    bool ends_flow() const;
};

// Decodes the instruction at `addr` of the file's code.
std::optional<CodeInsn> decode_insn(const ZydisDecoder& decoder, const CodeFacts& facts,
                                    uint64_t addr);

enum class Relocation {
    copy,        // position-independent: the same bytes
    rip,         // a RIP-relative operand: the displacement is recomputed
    jump,        // jmp rel8/rel32: re-encoded as rel32
    jcc,         // likewise for a conditional jump
    loop,        // loop/jrcxz: only a rel8 form exists
    call,        // emulated out of line so the return address stays the original one
    impossible,  // e.g. xbegin, or an operand the emulation cannot adjust
};
Relocation relocation_of(const CodeInsn& insn);

// Code being written at a known address.
class CodeBuffer {
public:
    explicit CodeBuffer(uint64_t base) : base_(base) {}
    uint64_t here() const { return base_ + bytes_.size(); }
    const std::vector<uint8_t>& bytes() const { return bytes_; }
    void put(std::initializer_list<uint8_t> bytes) { bytes_.insert(bytes_.end(), bytes); }
    void put_rel32(uint64_t target);  // relative to the end of these 4 bytes
    void patch_rel32(size_t at, uint64_t target);
    void align(size_t alignment);

    // Adds one to the uint64_t at counter_addr, preserving every register
    // and, when `keep_flags`, every flag (stepping over the red zone to save
    // them); else it changes OF SF ZF AF PF and touches no stack.
    void count(uint64_t counter_addr, bool keep_flags = true);
    // A lock prefix (0xF0) for a counter increment, noted so that a process
    // with one thread can run without it; lock_prefixes() lists them all,
    // ascending.
    void put_lock_prefix();
    const std::vector<uint64_t>& lock_prefixes() const { return lock_prefixes_; }
    void jmp(uint64_t target);
    // Returns the offset of the rel32 to patch.
    size_t jcc(uint8_t condition, uint64_t target);
    // The instruction moved here; returns whether control can go on after
    // it (false after an unconditional jump, a return, a loop's pair of
    // jumps, an emulated call).
    bool relocate(const CodeInsn& insn);

private:
    uint64_t base_;
    std::vector<uint8_t> bytes_;
    std::vector<uint64_t> lock_prefixes_;
};

}  // namespace morphel
