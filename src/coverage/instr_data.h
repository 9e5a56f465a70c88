// One object's instrumentation data as a run leaves it: which build it
// describes, how often each of its blocks ran and where its conditional
// branches went.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace coverage {

struct Block {
    uint64_t addr = 0;
    uint32_t insn_count = 0;
    uint32_t line = 0;     // 0: unknown
    uint32_t flags = 0;    // RYN_PROBE_* flags
    uint64_t count = 0;    // executions, or runs that reached it (see counts_exact)
    std::string function;  // "" unknown
    std::string file;      // "" unknown

    bool executed() const { return count > 0; }
    bool is_function_entry() const;
};

struct Branch {
    uint64_t addr = 0;   // the conditional branch instruction
    uint64_t block = 0;  // the block it ends
    uint64_t taken = 0;
    uint64_t not_taken = 0;
};

// How often a function was called: its entry block's count less the
// branches from inside the function back to it.
struct EntryCalls {
    uint64_t addr = 0;  // the function's entry block
    uint64_t calls = 0;
};

// Where an indirect call or jump at `site` went, and how often: a link-time
// address in the object at `object`. Target 0 with object "" counts the
// executions whose target was not recorded.
struct IndirectTarget {
    uint64_t site = 0;
    uint64_t target = 0;
    uint64_t count = 0;
    std::string object;
};

struct InstrData {
    std::string object;                         // original path of the object
    std::string digest;                         // MD5 text of the object's content
    std::string program;                        // the main program whose runs recorded it
    std::vector<Block> blocks;                  // ascending addresses
    std::vector<Branch> branches;               // ascending addresses
    std::vector<EntryCalls> calls;              // ascending addresses
    std::vector<IndirectTarget> indirect = {};  // ascending (site, target, object)
    // False when some run only noted which blocks it reached: block counts
    // then include runs, not executions, and branch counts are incomplete.
    bool counts_exact = true;

    // The block starting at addr, if any.
    const Block* block_at(uint64_t addr) const;
};

// Reads data in the text form the runtime writes. `origin` names the source
// in error messages. Throws CoverageError on anything malformed: a wrong
// header, a missing field, a block or branch count that disagrees with the
// lines.
InstrData parse_instr_data(std::istream& in, const std::string& origin);

// Reads the file at `path` (CoverageError when it cannot be read).
InstrData read_instr_data_file(const std::string& path);

// Writes `data` in the same form; parse_instr_data reads it back unchanged.
void write_instr_data(std::ostream& out, const InstrData& data);

}  // namespace coverage
