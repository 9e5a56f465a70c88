// A block's decoded code as the counter planner sees it while it plans one
// function; shared by the parts of the planner.
#pragma once

#include "counter_plan.h"
#include "relocation.h"

namespace morphel {

struct CounterPlanner::BlockCode {
    const Block* block = nullptr;
    ryn_probe* probe = nullptr;
    std::vector<CodeInsn> insns;
    uint64_t bytes = 0;
    long branch = -1;          // the branch that ends it
    bool branch_open = false;  // a counted branch no site counts yet
    size_t covered = 0;        // leading instructions a jump site displaces
    bool absorbed = false;     // counted by the run of an earlier block
    bool all_displaceable = true;
};

}  // namespace morphel
