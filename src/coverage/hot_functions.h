// Which functions of an object did the work of a run: the order that puts
// them first when the object is linked again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "coverage/instr_data.h"

namespace coverage {

struct FunctionWork {
    std::string name;
    uint64_t addr = 0;          // its entry block, else its lowest block
    uint64_t instructions = 0;  // executed: block count x instructions, summed
};

struct HotFunctions {
    // Functions that ran, by executed instructions, most first; ties by address.
    std::vector<FunctionWork> order;
    size_t functions = 0;       // named functions the data describes, run or not
    uint64_t instructions = 0;  // executed in all of them (saturating)
};

// Blocks of no known function take no part: nothing could place them.
HotFunctions hot_functions(const InstrData& data);

// The fewest leading functions of `hot.order` whose executed instructions
// reach `percent` of the total (0 when nothing ran).
size_t functions_reaching(const HotFunctions& hot, unsigned percent);

// The whole-number percentage, rounded down, of the executed instructions
// that the first `count` functions of `hot.order` executed.
unsigned share_of_first(const HotFunctions& hot, size_t count);

}  // namespace coverage
