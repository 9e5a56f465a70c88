// Copies made by the staged engine, for the tests of the engine and of the
// runtime and reports that consume them.
#pragma once

#include <string>
#include <vector>

#include "support/test_support.h"

namespace ryn_test {

// Runs the staged morphel with `args`.
RunResult run_morphel(std::vector<std::string> args, const std::string& cwd = "");

// Makes the coverage copy `copy` of `original` the way the driver asks for
// one: data under `datadir`, and the run-information `records` ("number
// value"), which only a main program's copy keeps. Fails the test otherwise.
bool make_probed_copy(const std::string& original, const std::string& copy,
                      const std::string& datadir, const std::vector<std::string>& records = {});

// Makes the checker's copy `copy` of `original` (no probes) carrying the
// run-information `records`. Fails the test otherwise.
bool make_checker_copy(const std::string& original, const std::string& copy,
                       const std::vector<std::string>& records);

}  // namespace ryn_test
