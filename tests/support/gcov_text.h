// What gcc's own coverage counted, read from the listings `gcov -a -b -c`
// writes: per code line its count, per basic block of a line the counts of
// its branch edges (those of a call that may throw left out), per function
// its calls.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ryn_gcov {

struct GcovSource {
    std::map<int, uint64_t> lines;  // code line -> count
    std::map<int, std::vector<std::vector<uint64_t>>>
        blocks;                             // code line -> its blocks' branch edges
    std::map<std::string, uint64_t> calls;  // function (symbol name) -> calls
};

// Runs gcov -a -b -c on every .gcda file in `build_dir` and reads the
// listings, by the source path each names. Fails the current test when gcov
// fails.
std::map<std::string, GcovSource> run_gcov(const std::string& build_dir);

}  // namespace ryn_gcov
