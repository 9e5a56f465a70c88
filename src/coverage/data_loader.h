// Finding, checking and merging the data recorded for one target.
#pragma once

#include <string>
#include <vector>

#include "coverage/instr_data.h"

namespace coverage {

// Merges data of one build of one object recorded by several programs or
// runs: the union of their blocks, with counts added. Throws CoverageError
// when the parts describe different builds or disagree about a block.
InstrData merge_instr_data(const std::vector<InstrData>& parts);

// The data files at a use location: the location itself when it is a plain
// file, else the entries of that directory whose names end in ".instrdata",
// in name order. Empty when there is nothing there.
std::vector<std::string> data_files_at(const std::string& location);

// Reads every data file at `location`, checks that each describes `target`
// as the file is now (the digest of its content), and merges them. Throws
// CoverageError naming the target when the data is missing, malformed or
// recorded from another build.
InstrData load_target_data(const std::string& target, const std::string& location);

}  // namespace coverage
