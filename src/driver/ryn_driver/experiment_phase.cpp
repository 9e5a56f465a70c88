#include "driver/ryn_driver/phase_support.h"
#include "driver/ryn_driver/phases.h"
#include "ryn/exec_util.h"
#include "ryn/ryn_cache.h"
#include "ryn/target.h"

namespace ryn {

void run_experiment_command(const RynOptions& opts, const ToolArgs& tools,
                            const InstallLocations& loc, RunState& state, ExecUtil& util) {
    ArgCache command;
    command.add_arg(loc.er_ryn_path ? loc.er_ryn_path->c_str() : "");
    command.add_argslist(&tools.collect_args);

    // The main program's block comes first, whatever the iteration order;
    // it is the only one that carries the tool's own settings.
    CacheIterator targets(state.cache.get());
    bool first = true;
    for (Target* t = state.main_target; t; t = targets.get_next_target()) {
        if (!t->valid) {
            continue;
        }
        if (!first && t == state.main_target) {
            continue;
        }
        if (!put_back_original(util, t)) {
            continue;
        }
        ArgCache block;
        block.add_arg(t->name);
        if (first) {
            block.add_argslist(&tools.er_ryn_args);
            first = false;
        }
        block.add_argslist(&tools.use_args);
        block.add_argslist(&tools.er_args);
        if (!add_use_arg(&block, t, opts, state)) {
            // A library without data is left out silently.
            if (t != state.main_target) {
                continue;
            }
            util.fatal(0, "%s", get_msg(RYN_NO_INSTRDATA));
        }
        block.add_arg(error_not_optimizable(opts));
        if (!opts.mark_last_fg && t == state.main_target) {
            block.add_arg("-last_fg=0");
        }
        command.add_argslist(&block);
        add_checkfile_arg(&command, t);
    }

    add_rc_function_lists(opts, state, command);
    util.run_command(&command);
}

}  // namespace ryn
