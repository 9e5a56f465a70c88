#include "driver/ryn_driver/phase_support.h"

#include "ryn/driver_parts.h"
#include "ryn/exec_util.h"
#include "ryn/rc_data.h"
#include "ryn/target.h"

namespace ryn {

bool put_back_original(ExecUtil& util, Target* t) {
    if (!t->replace()) {
        return true;
    }
    if (!util.replace_target_with_orig(t)) {
        return false;
    }
    // The original is in place again; the end of the run must not restore it
    // a second time.
    t->replaced = false;
    return true;
}

void add_rc_function_lists(const RynOptions& opts, const RunState& state, ArgCache& command) {
    if (!opts.read_rc_files) {
        return;
    }
    if (auto option = state.rc->optString("-blacklist=", "IGNORABLE_FUNCTIONS", true)) {
        command.add_arg(*option);
    }
    if (auto option = state.rc->optString("-blacklist_pfx=", "IGNORABLE_FUNC_PREFIXES", true)) {
        command.add_arg(*option);
    }
}

}  // namespace ryn
