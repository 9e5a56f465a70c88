// Helpers for the checkers' runtime tests: fixture programs that load a
// staged checker runtime the way an instrumented copy does (first needed
// library), optionally carrying the run settings in a probe table, and the
// reports they print read back.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace ryn_test {

// Compiles `source` (C, or C++ when `cxx`) into `output`, linked with the
// staged `runtime` as its first needed library. Fails the test on a compiler
// error.
bool build_checked(const std::string& source, const std::string& output, bool cxx = false,
                   const std::string& flags = "", const std::string& runtime = "libmemvex.so");

// Copies `program` to `copy` with the given run-information records
// ("number value") in its table, as the engine does for a checked program.
void embed_settings(const std::string& program, const std::string& copy,
                    const std::vector<std::string>& records);

// Runs `program` with `args` in `cwd`; with records, runs a fresh copy of it
// that carries them instead.
RunResult run_checked(const std::string& program, const std::vector<std::string>& args,
                      const std::vector<std::string>& records = {}, const std::string& cwd = "");

// The 1-based line of the first source line containing `marker`.
int line_of(const std::string& source, const std::string& marker);

// One error entry of a checker's report ("<tool>: error: <kind>: ..."): its
// stacks, each under the header line it follows ("" for the error's own).
struct ReportEntry {
    std::string kind;
    std::string line;  // the error line itself
    std::vector<std::pair<std::string, std::vector<std::string>>> stacks;

    // The frame lines under `header` ("freed at:"), or none.
    std::vector<std::string> frames(const std::string& header = "") const;
    // Frame #0 under `header` as "<last component of its file>:<line>", or "".
    std::string top(const std::string& header = "") const;
};

// The error entries of a report, in order.
std::vector<ReportEntry> report_entries(const std::string& report);

// The first entry of `kind`, or an empty one.
ReportEntry entry_of(const std::string& report, const std::string& kind);

// Every entry's kind, in order.
std::vector<std::string> error_kinds(const std::string& report);

// The report's summary line ("<tool>: summary: ..."), or "".
std::string summary_line(const std::string& report);

}  // namespace ryn_test
