// Section lookup that reports failure instead of ending the run, so that a
// caller holding files, ELF descriptors or a lock can release them first.
#pragma once

#include <gelf.h>

#include <memory>
#include <vector>

#include "driver/ryn_util/elf_handle.h"

namespace ryn {

class ArgCache;
class ExecUtil;

struct SectionSearch {
    enum class Failure { none, no_ident, bad_elf };
    Elf_Scn* section = nullptr;  // null when not found or on failure
    Failure failure = Failure::none;
    int err = 0;  // errno at the failure
};

// Finds the first section named exactly `name`; stores in *is64 (when given)
// whether the file is ELFCLASS64.
SectionSearch find_elf_section(Elf* elf, const char* name, int* is64);

// Ends the run with the message that belongs to a failed search.
[[noreturn]] void report_section_failure(ExecUtil& util, const SectionSearch& search,
                                         const char* path);

// Ends the ELF descriptor and closes the file; an ELF descriptor that still
// has activations ends the run.
void end_elf_file(ExecUtil& util, ElfFile& file);

// The section's first data block; empty when it has none.
std::vector<char> section_bytes(Elf_Scn* section);

// The instrumentation records of a ".comment" section's bytes, taken from the
// end of the section towards its start.
std::unique_ptr<ArgCache> instrumentation_records(const std::vector<char>& comment);

}  // namespace ryn
