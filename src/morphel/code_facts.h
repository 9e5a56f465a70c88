// What the engine reads from a file before it decodes anything: the bytes of
// its executable sections, its functions and its DWARF line table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace morphel {

// One executable section's bytes, borrowed from the open file.
struct CodeSection {
    uint64_t addr = 0;
    uint64_t size = 0;
    const uint8_t* bytes = nullptr;
};

struct Function {
    uint64_t addr = 0;
    uint64_t size = 0;
    std::string name;
};

// One row of the line table; `file` indexes CodeFacts::files.
struct LineRow {
    uint64_t addr = 0;
    uint32_t file = 0;
    uint32_t line = 0;
    bool is_stmt = false;
    bool end_sequence = false;
};

struct CodeFacts {
    std::vector<CodeSection> code;
    // Every loaded section with contents (code included): jump tables live
    // in read-only data.
    std::vector<CodeSection> loaded;
    std::vector<Function> functions;  // ascending, not overlapping
    std::vector<std::string> files;   // source paths named by the line table
    // Ascending by address; where a sequence ends at the address another
    // begins, the end comes first.
    std::vector<LineRow> lines;
    std::vector<uint64_t> landing_pads;  // ascending, unique

    // The bytes from `addr` to the end of its section, if it is code.
    const uint8_t* bytes_at(uint64_t addr, uint64_t* available) const;
    // The same for any loaded section's contents.
    const uint8_t* loaded_bytes_at(uint64_t addr, uint64_t* available) const;
    // The row that describes the instruction at `addr`, if any.
    const LineRow* line_of(uint64_t addr) const;
};

}  // namespace morphel
