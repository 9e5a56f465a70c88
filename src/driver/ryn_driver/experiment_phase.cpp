#include "driver/ryn_driver/phase_support.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/target.h"

void RynDriver::run_experiment_command() {
    ArgCache command;
    command.add_arg(er_ryn_path ? er_ryn_path->c_str() : "");
    command.add_argslist(&collect_args);

    // The main program's block comes first, whatever the iteration order;
    // it is the only one that carries the tool's own settings.
    CacheIterator targets(cache.get());
    bool first = true;
    for (Target* t = main_target; t; t = targets.get_next_target()) {
        if (!t->valid) {
            continue;
        }
        if (!first && t == main_target) {
            continue;
        }
        if (!put_back_original(*util, t)) {
            continue;
        }
        ArgCache block;
        block.add_arg(t->name);
        if (first) {
            block.add_argslist(&er_ryn_args);
            first = false;
        }
        block.add_argslist(&use_args);
        block.add_argslist(&er_args);
        if (!add_use_arg(&block, t)) {
            // A library without data is left out silently.
            if (t != main_target) {
                continue;
            }
            util->fatal(0, "%s", get_msg(RYN_NO_INSTRDATA));
        }
        block.add_arg(error_not_optimizable());
        if (!mark_last_fg && t == main_target) {
            block.add_arg("-last_fg=0");
        }
        command.add_argslist(&block);
        add_checkfile_arg(&command, t);
    }

    add_rc_function_lists(*this, command);
    util->run_command(&command);
}
