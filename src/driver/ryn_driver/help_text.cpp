#include "ryn/ryn_driver.h"

namespace ryn {

const char* const ryn_help_text[12] = {
    "bbc[=N]             Execution counts of the top N basic blocks.\n",
    "bbc=<function>      Execution counts for all blocks in <function>.\n",
    "branch[=N]          Branch taken/not taken report for top N branches.\n",
    "branch=<function>   Branch taken/not taken report for <function>.\n",
    "ifreq[=N]           Instruction frequency summary for top N hot functions.\n",
    "ifreq=<function>    Instruction frequency chart for <function>.\n",
    "cc[=N]              Top N hottest caller-callee edges.\n",
    "cc=<function>       Counts of all callers and callees of <function>.\n",
    "function[=N]        Execution counts of the top N hot functions.\n",
    "function=<function> Execution count of <function>.\n",
    "dis[=N]             Disassembly of top N functions, with execution counts.\n",
    "dis=<function>      Dissassembly of <function> with execution counts.\n",
};

}  // namespace ryn
