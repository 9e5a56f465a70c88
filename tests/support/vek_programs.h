// Programs checked by the thread checker: built at test time with libvek.so
// first among their needed libraries, as the data-race mode's copy has it,
// and the reports they print read back.
#pragma once

#include <string>

#include "support/memvex_support.h"
#include "support/test_support.h"

namespace ryn_vek {

// Compiles `source` into <dir>/<name> (its source file <name>.c beside it)
// with the staged libvek.so as its first needed library. Fails the current
// test and returns "" when the compiler fails.
std::string build_checked(const std::string& dir, const std::string& name,
                          const std::string& source, const std::string& flags = "-pthread");

// Runs a program with a time limit, so that a deadlock fails the test
// instead of hanging it.
ryn_test::RunResult run_limited(const std::string& program, const std::string& arg = "");

// The number of the line of `source` holding `marker`.
using ryn_test::line_of;

// How many reports of the error `kind` the text holds.
int count_errors(const std::string& report, const std::string& kind);

// Frame #0 of the first stack printed after the first line that contains
// `heading`, or "".
std::string first_frame_after(const std::string& report, const std::string& heading);

// Whether a frame line ends in "<file>:<line>" with `file` the last
// component of the path the line table gives.
bool frame_is_at(const std::string& frame, const std::string& file, int line);

}  // namespace ryn_vek
