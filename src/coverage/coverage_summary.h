// Coverage per function, per source file and in total, from the merged data
// of every object of a run.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "coverage/function_filter.h"
#include "coverage/instr_data.h"

namespace coverage {

struct Measures {
    uint64_t blocks = 0;
    uint64_t blocks_executed = 0;
    uint64_t insns = 0;
    uint64_t insns_executed = 0;
    uint64_t lines = 0;           // lines on which some block starts
    uint64_t lines_executed = 0;  // ... of which some block ran
    uint64_t functions = 0;
    uint64_t functions_executed = 0;

    void add_block(const Block& block);
};

struct FunctionCoverage {
    std::string object;  // the object's original path
    std::string name;
    std::string file;    // where the function begins
    uint32_t line = 0;
    uint64_t entry_count = 0;  // runs that entered it
    Measures measures;
};

struct FileCoverage {
    std::string path;
    Measures measures;
    std::map<uint32_t, uint64_t> lines;  // code line -> runs that reached it
};

struct CoverageSummary {
    std::vector<FunctionCoverage> functions;  // by object, then name
    std::vector<FileCoverage> files;          // by path
    Measures total;
};

// Blocks of excluded functions count nowhere. A line is code when a block
// starts on it and executed when any such block ran; blocks of no known
// function count for their file and the total only.
CoverageSummary summarize(const std::vector<InstrData>& objects, const FunctionFilter& filter);

}  // namespace coverage
