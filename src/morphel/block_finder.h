// Basic blocks of functions, found by decoding their code linearly.
#pragma once

#include <Zydis/Zydis.h>

#include <cstdint>
#include <vector>

#include "code_facts.h"

namespace morphel {

struct Block {
    uint64_t addr = 0;
    uint32_t insn_count = 0;
    bool function_entry = false;
    bool line_statement = false;
};

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
};

}  // namespace morphel
