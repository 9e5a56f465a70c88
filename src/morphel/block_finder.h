// Basic blocks of functions, found by decoding their code linearly.
#pragma once

#include <Zydis/Zydis.h>

#include <cstdint>
#include <vector>

#include "code_facts.h"

namespace morphel {

struct Block {
    uint64_t addr = 0;
    uint64_t end = 0;  // the next block's address, or the function's end
    uint32_t insn_count = 0;
    bool function_entry = false;
    bool line_statement = false;
    // Reached otherwise than by running on from the block before: a direct
    // branch of its function names it (branched), or something else can
    // (foreign: the entry, another function's branch, a jump table, the
    // unwinder).
    bool branched = false;
    bool foreign = false;
};

// Whether control never goes on to the next instruction in sequence.
bool ends_flow(const ZydisDecodedInstruction& insn);

// Reuses its buffers from one function to the next, so decoding allocates
// nothing per instruction.
class BlockFinder {
public:
    explicit BlockFinder(const CodeFacts& facts);

    // Appends the blocks of `function` to `blocks`, ascending. When the
    // function's code cannot be trusted (a byte that does not decode, a
    // decode that does not end at the function's end, a branch, landing pad
    // or line statement that falls inside an instruction, an access to the
    // function's own bytes as data) it appends nothing and returns false.
    bool find_blocks(const Function& function, std::vector<Block>& blocks);

    // Direct jmp/jcc/call targets of `function` that lie outside it, when its
    // code decodes; these are leaders of the functions they land in.
    void add_outside_targets(const Function& function, std::vector<uint64_t>& targets);
    // Branch targets from other functions, ascending; borrowed.
    void use_outside_targets(const std::vector<uint64_t>* targets) { outside_ = targets; }
    // Whether the last function found may be entered between its leaders
    // (an indirect jump whose table was not recovered, or a branch from
    // elsewhere into the middle of an instruction).
    bool entries_unknown() const { return entries_unknown_; }
    // The indirect jumps of the last function found that go through a jump
    // table (whose entries are the function's own blocks), ascending.
    const std::vector<uint64_t>& table_jumps() const { return table_jumps_; }

private:
    bool decode(const Function& function);
    // Index of the instruction starting at `addr`, or -1.
    long instruction_at(uint64_t addr) const;
    bool mark_leader(uint64_t addr, uint8_t flag);

    const CodeFacts& facts_;
    ZydisDecoder decoder_;
    std::vector<uint64_t> starts_;   // instruction addresses of the function
    std::vector<uint8_t> leaders_;   // per instruction: leader flags
    std::vector<uint64_t> targets_;  // branch targets inside the function
    std::vector<uint64_t> outside_targets_;
    std::vector<uint64_t> call_targets_;  // calls into the function itself
    std::vector<size_t> indirect_jumps_;  // instruction indices
    std::vector<uint64_t> table_jumps_;
    const std::vector<uint64_t>* outside_ = nullptr;
    bool entries_unknown_ = false;
};

}  // namespace morphel
