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

// A program for the analyses: one call through the PLT (printf), one through
// a pointer, a loop of 1000 calls, and a function whose symbol is a C++ one.
inline constexpr const char* k_analysed_source =
    "#include <stdio.h>\n"                                    // 1
    "int twice(int v) __asm__(\"_ZN2ns5twiceEi\");\n"         // 2
    "__attribute__((noinline)) int twice(int v) {\n"          // 3
    "    return v * 2;\n"                                     // 4
    "}\n"                                                     // 5
    "__attribute__((noinline)) static int square(int v) {\n"  // 6
    "    return v * v;\n"                                     // 7
    "}\n"                                                     // 8
    "__attribute__((noinline)) int add_up(int n) {\n"         // 9
    "    int total = 0;\n"                                    // 10
    "    for (int i = 0; i < n; ++i)\n"                       // 11
    "        total += square(i);\n"                           // 12
    "    return total;\n"                                     // 13
    "}\n"                                                     // 14
    "int main(int argc, char **argv) {\n"                     // 15
    "    (void)argv;\n"                                       // 16
    "    int (*fp)(int) = argc > 5 ? square : twice;\n"       // 17
    "    printf(\"%d\\n\", add_up(1000));\n"                  // 18
    "    return fp(3) > 0 ? 0 : 1;\n"                         // 19
    "}\n";                                                    // 20

}  // namespace ryn_test
