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
//
// Written one target at a time (the engine's use mode runs once per target),
// the file also has an "object" row per target, its file rows name the
// object they belong to, and the total is the sum of the object rows.
#pragma once

#include <ostream>
#include <string>

#include "coverage/coverage_summary.h"

namespace coverage {

void write_analytics(std::ostream& out, const CoverageSummary& summary);

// The text of an analytics file that held `existing` (empty, or another
// tool's text, starts afresh) once `object`'s rows are replaced by those of
// `summary`, the coverage of that object alone.
std::string merge_object_analytics(const std::string& existing, const std::string& object,
                                   const CoverageSummary& summary);

}  // namespace coverage
