#include <cstring>
#include <string>

#include "driver/ryn_driver/phase_support.h"
#include "driver/ryn_driver/phases.h"
#include "i18n/driver_texts.h"
#include "ryn/exec_util.h"
#include "ryn/ryn_cache.h"
#include "ryn/target.h"

namespace ryn {

bool add_use_arg(ArgCache* list, const Target* t, const RynOptions& opts, const RunState& state) {
    if (!opts.instrument_enabled) {
        return true;
    }
    const std::string option = use_option(opts, state, t);
    list->add_arg(option);
    return check_instrdata(opts, option.c_str() + strlen(use_option_prefix));
}

void run_use_command(const ArgCache* args, const RynOptions& opts, const InstallLocations& loc,
                     RunState& state, ExecUtil& util) {
    CacheIterator targets(state.cache.get());
    while (Target* t = targets.get_next_target()) {
        if (!t->valid) {
            continue;
        }
        ArgCache command;
        command.add_arg(loc.morphel_path ? loc.morphel_path->c_str() : "");
        command.add_argslist(args);
        if (opts.optimize_mode) {
            command.add_arg("-o");
            command.add_arg(opts.optimize_output ? opts.optimize_output->c_str() : "");
        }
        if (!add_use_arg(&command, t, opts, state) && !opts.optimize_mode) {
            util.report_error(MSG_INFO, 0, driver_text(DriverText::NOT_ANALYZING), t->name.c_str());
            continue;
        }
        command.add_arg(error_not_optimizable(opts));
        if (!opts.mark_last_fg && t == state.main_target) {
            command.add_arg("-last_fg=0");
        }
        command.add_arg(t->name);
        add_checkfile_arg(&command, t);
        if (!put_back_original(util, t)) {
            continue;
        }
        const bool ok = util.run_command(&command);
        if (ok && opts.verbose && opts.optimize_mode) {
            util.report_error(MSG_INFO, 0, get_msg(RYN_OPT_OUTPUT),
                              opts.optimize_output ? opts.optimize_output->c_str() : "");
        }
    }
}

}  // namespace ryn
