// The analytics file: the coverage of a run as tab-separated text for other
// programs to read.
//
//   ryn-analytics 1
//   kind name object functions_run functions blocks_run blocks
//       instructions_run instructions lines_run lines      (the column line)
//   total - - <numbers>
//   file <source path> - <numbers>                         (one per source file)
//   function <name> <object path> <numbers>                (one per function)
//
// Fields are separated by one tab; "-" stands for a field that does not apply.
#pragma once

#include <ostream>

#include "coverage/coverage_summary.h"

namespace coverage {

void write_analytics(std::ostream& out, const CoverageSummary& summary);

}  // namespace coverage
