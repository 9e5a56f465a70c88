// The recorded counts laid over the target's code decoded again: each
// block's instructions, each function's blocks and totals, and where each
// call goes.
#pragma once

#include <Zydis/Zydis.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "code_reader.h"
#include "coverage/instr_data.h"
#include "coverage/symbol_names.h"

namespace morphel {

enum class CallKind { none, direct, import, indirect };

struct Instruction {
    uint64_t addr = 0;
    uint8_t length = 0;
    ZydisMnemonic mnemonic = ZYDIS_MNEMONIC_INVALID;
    CallKind call = CallKind::none;
    uint64_t call_target = 0;  // direct: the address called
    std::string import;        // import: the imported symbol
};

struct ProfileBlock {
    const coverage::Block* data = nullptr;  // owned by the profile's data
    size_t function = 0;                    // index into functions()
    std::vector<Instruction> instructions;  // empty when the bytes do not decode
};

struct ProfileFunction {
    std::string symbol;          // as the symbol table names it
    std::string demangled;       // the symbol demangled, or the symbol
    uint64_t addr = 0;           // its lowest address
    std::vector<size_t> blocks;  // into blocks(), ascending addresses
    uint64_t calls = 0;
    uint64_t executed_instructions = 0;
    size_t blocks_executed = 0;
};

class ExecutionProfile {
public:
    // `data` must outlive the profile.
    ExecutionProfile(const std::string& target, const coverage::InstrData& data);

    const std::string& target() const { return target_; }
    const coverage::InstrData& data() const { return data_; }
    const CodeFacts& facts() const { return reader_.facts(); }
    const std::vector<ProfileFunction>& functions() const { return functions_; }
    const std::vector<ProfileBlock>& blocks() const { return blocks_; }
    uint64_t executed_instructions() const { return executed_instructions_; }

    // The functions that ran, hottest (most instructions executed) first,
    // at most `top` of them.
    std::vector<const ProfileFunction*> hottest(size_t top) const;
    size_t functions_run() const;
    // Every function `name` names: its symbol, its demangled name, or that
    // name without its parameters. Throws EngineError when there is none.
    std::vector<const ProfileFunction*> named(const std::string& name) const;
    // The function whose code holds `addr`, if any.
    const ProfileFunction* function_at(uint64_t addr) const;

    // Who a call instruction calls, as the reports name it.
    std::string callee_name(const Instruction& insn) const;
    // The instruction in assembler syntax (Intel), a call followed by its
    // callee, or by `where` when given (where an indirect branch went).
    std::string text(const Instruction& insn, const std::string& where = "") const;

private:
    void add_functions();
    void add_blocks();
    void decode_block(ProfileBlock& block);
    // The symbol imported through the stub at `addr`, or "".
    std::string import_through_stub(uint64_t addr) const;
    size_t function_for(const coverage::Block& block);

    std::string target_;
    const coverage::InstrData& data_;
    CodeReader reader_;
    ZydisDecoder decoder_;
    ZydisFormatter formatter_;
    std::unordered_map<uint64_t, std::string> import_slots_;
    std::vector<ProfileFunction> functions_;
    std::vector<ProfileBlock> blocks_;
    // Code ranges, ascending, with the function each belongs to.
    struct Range {
        uint64_t addr;
        uint64_t size;
        size_t function;
    };
    std::vector<Range> ranges_;
    std::unordered_map<std::string, size_t> by_symbol_;
    uint64_t executed_instructions_ = 0;
};

// The count a block's instructions each ran, times their number, without
// wrapping.
uint64_t instructions_executed(const coverage::Block& block);

using coverage::demangle;

// Counts add up to UINT64_MAX at most, as the data files' counts do.
inline uint64_t saturating_add(uint64_t a, uint64_t b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

}  // namespace morphel
