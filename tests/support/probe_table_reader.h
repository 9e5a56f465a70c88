// Reads the probe table of an instrumented copy back from the file, the way
// a report tool would, and what the binary tools see in the file, for tests
// of the engine and of the runtime.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ryn/probe_format.h"

namespace ryn_test {

struct ProbeTable {
    ryn_probe_header header{};
    std::vector<ryn_probe> probes;
    std::string strings;
    std::string settings;
    std::vector<ryn_site> sites;
    std::vector<ryn_branch> branches;
    std::vector<ryn_count_sum> sums;
    // The PT_LOAD that covers exactly the table, if any: its p_flags.
    std::optional<uint32_t> segment_flags;

    std::string text(uint32_t string_offset) const;
    const ryn_probe* find(uint64_t probe_addr) const;
};

// The table in the section RYN_PROBE_SECTION, or nothing when the file has
// none or it is malformed (the test fails with a note in that case).
std::optional<ProbeTable> read_probe_table(const std::string& path);

// The file's byte at a link-time address, through its section headers.
std::optional<uint8_t> byte_at_address(const std::string& path, uint64_t addr);

struct Symbol {
    uint64_t addr;
    uint64_t size;
    bool contains(uint64_t a) const { return a - addr < size; }
};
// Functions with a size, by name, as nm lists them.
std::map<std::string, Symbol> function_symbols(const std::string& path);
// Instructions as objdump decodes them, by address.
std::map<uint64_t, std::string> instructions(const std::string& path);

}  // namespace ryn_test
