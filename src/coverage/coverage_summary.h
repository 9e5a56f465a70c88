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
    std::string file;  // where the function begins
    uint32_t line = 0;
    uint64_t entry_count = 0;  // runs that entered it
    // Calls recorded for its entry block, else the entry block's count (a
    // loop back to the entry would count as a call then).
    uint64_t calls = 0;
    Measures measures;
};

// One conditional branch of a code line, by address. `ran` tells whether
// the block it ends ran at all; a branch that never got a chance to go
// either way differs from one that always went the same way.
struct BranchCoverage {
    uint64_t taken = 0;
    uint64_t not_taken = 0;
    bool ran = false;
};

struct FileCoverage {
    std::string path;
    Measures measures;
    std::map<uint32_t, uint64_t> lines;  // code line -> runs that reached it
    // Code line -> its conditional branches; only from data whose counts are
    // executions (a run that only noted its blocks counted no branch).
    std::map<uint32_t, std::vector<BranchCoverage>> branches;
};

struct CoverageSummary {
    std::vector<FunctionCoverage> functions;  // by object, then name
    std::vector<FileCoverage> files;          // by path
    Measures total;
};

// Blocks of excluded functions count nowhere. A line is code when a block
// starts on it, and its count is the largest of those blocks' counts; blocks
// of no known function count for their file and the total only. A branch
// belongs to the line of the block it ends.
CoverageSummary summarize(const std::vector<InstrData>& objects, const FunctionFilter& filter);

}  // namespace coverage
