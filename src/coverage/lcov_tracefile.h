// The coverage of a run as an lcov tracefile, which genhtml and the other
// lcov tools read.
#pragma once

#include <ostream>
#include <string>

#include "coverage/coverage_summary.h"

namespace coverage {

// One record per source file: its functions (FN/FNDA/FNF/FNH) and code
// lines (DA/LF/LH). `test_name` goes into each record's TN line.
void write_lcov_tracefile(std::ostream& out, const CoverageSummary& summary,
                          const std::string& test_name);

}  // namespace coverage
