// The general front end's command line, walked one word at a time: each
// handler takes the option under the cursor and steps over its words, or
// declines it and leaves the cursor alone.
#pragma once

#include "ryn/driver_parts.h"

namespace ryn {

class ExecUtil;

struct GeneralCommandLine {
    RynOptions& opts;
    ToolArgs& tools;
    InstallLocations& loc;
    ExecUtil& util;

    void parse(char** argv);
    // Options common to every mode.
    bool process_ryn_driver_arg(char**& cursor);
    bool process_target_arg(char**& cursor);
    // Options that only some modes know, offered in this order.
    bool process_simapp_arg(char**& cursor);
    bool process_er_ryn_dbg_arg(char**& cursor);
    bool process_optimize_input_arg(char**& cursor);
    bool process_bat_input_arg(char**& cursor);
    bool process_instrument_input_arg(char**& cursor);
    bool process_coverage_input_arg(char**& cursor);
};

}  // namespace ryn
