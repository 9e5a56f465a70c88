// Optimize mode's final phase: one engine run per usable target, fed with
// the data its instrumented run recorded.
#include "driver/ryn_driver/phase_support.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/target.h"

const char* RynDriver::error_not_optimizable() const {
    return not_optimizable_is_error ? "-error_not_optimizable=on" : "-error_not_optimizable=off";
}

void RynDriver::run_optimize_loop() {
    CacheIterator it(cache.get());
    while (Target* t = it.get_next_target()) {
        if (!t->valid) {
            continue;
        }
        ArgCache command;
        command.add_arg(morphel_path.value_or(""));
        command.add_argslist(&optimize_args);
        command.add_arg("-o");
        command.add_arg(optimize_output.value_or(""));
        // Missing data does not stop the loop: the engine optimises without it.
        add_use_arg(&command, t);
        command.add_arg(error_not_optimizable());
        if (!mark_last_fg && t == main_target) {
            command.add_arg("-last_fg=0");
        }
        command.add_arg(t->name);
        add_checkfile_arg(&command, t);

        // The engine reads the uninstrumented file, so an in-place copy is
        // put back first.
        if (!put_back_original(*util, t)) {
            continue;
        }
        if (util->run_command(&command, false, false, false, -1, -1, 0, false) && verbose) {
            util->report_error(MSG_INFO, 0, get_msg(RYN_OPT_OUTPUT),
                               optimize_output.value_or("").c_str());
        }
    }
}
