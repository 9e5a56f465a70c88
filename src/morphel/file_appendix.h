// Data added at the end of an ELF file open for reading and writing: records
// at the end of .comment and, for a probed copy, the probe table in a loaded
// read-only segment of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace morphel {

struct Appendix {
    // Each becomes one more NUL-terminated string at the end of .comment
    // (created when missing).
    std::vector<std::string> comment_records;
    // Loaded as its own PT_LOAD segment and covered by the section
    // RYN_PROBE_SECTION.
    std::optional<std::vector<char>> probe_table;
    // Zero-filled bytes wanted at the end of the last writable segment (for
    // counters); granted only when that segment is the highest one.
    uint64_t counter_bytes = 0;
    // When set, makes probe_table once its address is known: the segment's
    // address and the address of the counter bytes (0: not granted).
    std::function<std::vector<char>(uint64_t addr, uint64_t counters_addr)> build_probe_table;
};

// Places the new data, the section-name table when it has to grow, and the
// section header table past the current end of the file; nothing that is
// loaded moves, so programs stay runnable. The probe segment takes over the
// program header of an earlier probe segment, an unused one, or the file's
// last note that is not the property note; without one the table is left
// out and false is returned. A table made by build_probe_table gets an
// executable segment: the trampolines follow it. `path` names the file in messages.
bool write_appendix(int fd, const std::string& path, Appendix& appendix);

}  // namespace morphel
