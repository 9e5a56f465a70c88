// What gcc's own coverage counted, read from the listings `gcov -a -b -c`
// writes: per code line its count, per basic block of a line the counts of
// its conditional edges, per function its calls.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ryn_gcov {

// One basic block of a line: the counts of its edges, exception edges left
// out (a block ending in a two-way branch has two). A block ending in a call
// that may throw lists the call's way on and its exception as branches; gcov
// marks the exception "(throw)" only once the block ran, so in a block that
// never ran such a pair cannot be told from a conditional branch: it is
// left out and the block is `ambiguous`.
struct GcovBlock {
    std::vector<uint64_t> edges;
    bool ambiguous = false;
};

struct GcovSource {
    std::map<int, uint64_t> lines;                  // code line -> count
    std::map<int, std::vector<GcovBlock>> blocks;   // code line -> its blocks
    std::map<std::string, uint64_t> calls;          // function (symbol name) -> calls
};

// Runs gcov -a -b -c on every .gcda file in `build_dir` and reads the
// listings, by the source path each names. Fails the current test when gcov
// fails.
std::map<std::string, GcovSource> run_gcov(const std::string& build_dir);

}  // namespace ryn_gcov
