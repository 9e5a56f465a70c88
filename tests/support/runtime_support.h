// Helpers for the runtime tests: fixture programs and their probed copies
// made by the engine, run alike, and the data files they leave.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "coverage/instr_data.h"
#include "support/test_support.h"

namespace ryn_test {

// A data file as written by a run: header fields and the count of each
// function's entry block.
struct InstrData {
    std::string object;
    std::string digest;
    std::string program;
    std::map<std::string, unsigned long> counts;
};
InstrData read_instrdata(const std::string& path);

// Of the full data a run wrote: the entry block of `function` (throws when it
// has none), the calls its entry records, and the {taken, not taken} counts
// of the branches ending its blocks.
const coverage::Block& entry_of(const coverage::InstrData& data, const std::string& function);
uint64_t calls_of(const coverage::InstrData& data, const std::string& function);
std::vector<std::pair<uint64_t, uint64_t>> branches_of(const coverage::InstrData& data,
                                                       const std::string& function);

// One run of a probed program: what it and its original both print and end
// with, and the count the data gives each named function afterwards.
struct RunCase {
    std::string name;
    std::string args;  // shell words after the program
    std::string out;
    int status;
    std::map<std::string, unsigned long> counts;
    std::string flags = "";  // of the compiler
};

// An original program `prog` and its probed copy `copy`, whose data goes to
// "d/prog.instrdata" in the test's directory.
class ProbedProgramTest : public ::testing::Test {
protected:
    void build(const std::string& source, const std::string& flags = "",
               const std::vector<std::string>& records = {});
    // Runs the original and the copy alike in the test's directory; both must
    // print the same and end the same way.
    RunResult run_alike(const std::string& args = "");
    // Builds `source`, runs it on fresh data and checks one case, and that
    // the data describes the original as the program "prog" ran it.
    void check(const char* source, const RunCase& c);
    coverage::InstrData counted() const {
        return coverage::read_instr_data_file(dir / "d/prog.instrdata");
    }

    TempDir dir;
    std::string original = dir / "prog";
    std::string copy = dir / "copy";
};

}  // namespace ryn_test
