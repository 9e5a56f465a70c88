// The coverage of a run as an lcov tracefile, which genhtml and the other
// lcov tools read.
#pragma once

#include <ostream>
#include <string>

#include "coverage/coverage_summary.h"

namespace coverage {

// One record per source file: its functions with their calls
// (FN/FNDA/FNF/FNH), its conditional branches, taken and not taken
// (BRDA/BRF/BRH, when the data counted any), and its code lines with their
// counts (DA/LF/LH). `test_name` goes into each record's TN line.
void write_lcov_tracefile(std::ostream& out, const CoverageSummary& summary,
                          const std::string& test_name);

}  // namespace coverage
