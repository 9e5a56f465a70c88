// Helpers for the heap checker's runtime tests: fixture programs that load the
// staged runtime the way an instrumented copy does (first needed library),
// optionally carrying the checker's run settings in a probe table.
#pragma once

#include <string>
#include <vector>

#include "support/test_support.h"

namespace ryn_test {

// Compiles `source` (C, or C++ when `cxx`) into `output`, linked with the
// runtime as its first needed library. Fails the test on a compiler error.
bool build_checked(const std::string& source, const std::string& output, bool cxx = false,
                   const std::string& flags = "");

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

// Every "memvex: error: <kind>:" line's kind, in order.
std::vector<std::string> error_kinds(const std::string& report);

// The frame lines ("    #N ...") that follow the first error line of `kind`,
// up to the next title or error line.
std::vector<std::string> fault_frames(const std::string& report, const std::string& kind);

// Frame #0 of the first stack titled "<title>:" ("allocated at", "freed at")
// at or after `from`, or "".
std::string first_frame_under(const std::string& report, const std::string& title, size_t from = 0);

}  // namespace ryn_test
