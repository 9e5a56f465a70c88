// Annotated source listings in gcov's text form: "count:line:source", with
// "#####" on code lines that never ran and "-" on lines that are not code;
// "function NAME called N" before the line a function begins on, and after
// a line its conditional branches, taken and not taken, as gcov -b -c
// writes them.
#pragma once

#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "coverage/coverage_summary.h"

namespace coverage {

// Writes the listing of `file`, reading the source from its path; of
// `functions`, those that begin in the file are named. Returns false,
// writing nothing, when the source cannot be read.
bool write_gcov_listing(std::ostream& out, const FileCoverage& file,
                        const std::vector<FunctionCoverage>& functions);

// The listing's file name for `source`: its last component with ".gcov"
// appended, or the whole path with '/' as '#' when another listing in
// `taken` already has that name. The name is added to `taken`.
std::string gcov_listing_name(const std::string& source, std::set<std::string>& taken);

}  // namespace coverage
