// One object's instrumentation data as a run leaves it: which build it
// describes and how many runs reached each of its blocks.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace coverage {

struct Block {
    uint64_t addr = 0;
    uint32_t insn_count = 0;
    uint32_t line = 0;      // 0: unknown
    uint32_t flags = 0;     // RYN_PROBE_* flags
    uint64_t count = 0;     // runs that reached the block
    std::string function;   // "" unknown
    std::string file;       // "" unknown

    bool executed() const { return count > 0; }
    bool is_function_entry() const;
};

struct InstrData {
    std::string object;   // original path of the object
    std::string digest;   // MD5 text of the object's content
    std::string program;  // the main program whose runs recorded it
    std::vector<Block> blocks;  // ascending addresses
};

// Reads data in the text form the runtime writes. `origin` names the source
// in error messages. Throws CoverageError on anything malformed: a wrong
// header, a missing field, a block count that disagrees with the lines.
InstrData parse_instr_data(std::istream& in, const std::string& origin);

// Reads the file at `path` (CoverageError when it cannot be read).
InstrData read_instr_data_file(const std::string& path);

// Writes `data` in the same form; parse_instr_data reads it back unchanged.
void write_instr_data(std::ostream& out, const InstrData& data);

}  // namespace coverage
