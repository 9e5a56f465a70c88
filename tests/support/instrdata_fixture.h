// Instrumentation data as an instrumented run would leave it, for a compiled
// fixture: the blocks of the engine's own copy of it.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "coverage/instr_data.h"

namespace ryn_test {

// The blocks the engine finds in `binary` (copied to `binary`.probed) whose
// source file's last component matches `source`, with `source` as their
// file, ascending. Counts are 0.
std::vector<coverage::Block> line_table_blocks(const std::string& binary,
                                               const std::string& source);

// `blocks` with the count of every block starting on one of `lines` set.
std::vector<coverage::Block> run_lines(std::vector<coverage::Block> blocks,
                                       const std::set<uint32_t>& lines, uint64_t count = 1);

// Data describing `object` as it is now (its digest), recorded by `program`.
coverage::InstrData instrdata_for(const std::string& object, std::vector<coverage::Block> blocks,
                                  const std::string& program = "prog");

// Writes `data` to `path`, creating the directories above it.
void write_instrdata(const std::string& path, const coverage::InstrData& data);

}  // namespace ryn_test
