// What an experiment leaves in its directory: the coverage table (also
// printed), the lcov tracefile, annotated source listings and, when genhtml
// is installed, an HTML report.
#pragma once

#include <ostream>
#include <string>

#include "coverage/coverage_summary.h"
#include "coverage/coverage_table.h"

namespace er_ryn {

// File names inside the experiment directory.
inline constexpr const char* k_table_file = "coverage.txt";
inline constexpr const char* k_tracefile = "coverage.info";
inline constexpr const char* k_html_dir = "html";
inline constexpr const char* k_genhtml_log = "genhtml.log";

// Writes every report into `directory`, the table also to `out`, and where
// each report is. Sources that cannot be read get no listing (a line on
// `err` says so); throws ToolError when a report cannot be written.
void write_experiment_reports(const std::string& directory,
                              const coverage::CoverageSummary& summary,
                              const coverage::TableLayout& layout, std::ostream& out,
                              std::ostream& err);

}  // namespace er_ryn
