#include <cstring>
#include <string>

#include "driver/ryn_driver/phase_support.h"
#include "i18n/driver_texts.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/target.h"

bool RynDriver::add_use_arg(ArgCache* list, Target* t) {
    if (!instrument_enabled) {
        return true;
    }
    const std::string option = use_option(t);
    list->add_arg(option);
    return check_instrdata(option.c_str() + strlen(use_option_prefix));
}

void RynDriver::run_use_command(ArgCache* args) {
    CacheIterator targets(cache.get());
    while (Target* t = targets.get_next_target()) {
        if (!t->valid) {
            continue;
        }
        ArgCache command;
        command.add_arg(morphel_path ? morphel_path->c_str() : "");
        command.add_argslist(args);
        if (optimize_mode) {
            command.add_arg("-o");
            command.add_arg(optimize_output ? optimize_output->c_str() : "");
        }
        if (!add_use_arg(&command, t) && !optimize_mode) {
            util->report_error(MSG_INFO, 0, driver_text(DriverText::NOT_ANALYZING),
                               t->name.c_str());
            continue;
        }
        command.add_arg(error_not_optimizable());
        if (!mark_last_fg && t == main_target) {
            command.add_arg("-last_fg=0");
        }
        command.add_arg(t->name);
        add_checkfile_arg(&command, t);
        if (!put_back_original(*util, t)) {
            continue;
        }
        const bool ok = util->run_command(&command);
        if (ok && verbose && optimize_mode) {
            util->report_error(MSG_INFO, 0, get_msg(RYN_OPT_OUTPUT),
                               optimize_output ? optimize_output->c_str() : "");
        }
    }
}
