// Putting back the user's files that were replaced by instrumented copies.
#include "ryn/ryn_exec_util.h"

#include <fcntl.h>
#include <unistd.h>

#include "driver/ryn_util/kept_originals.h"
#include "driver/ryn_util/unique_fd.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/target.h"

namespace ryn {

bool RynExecUtil::replace_target_with_orig(Target* target) {
    if (!ryn::UniqueFd(open(target->name.c_str(), O_WRONLY)).valid()) {
        if (verbose) {
            report_error(MSG_INFO, 0, get_msg(RYN_NO_USE), target->name.c_str());
        }
        return false;
    }
    // The original kept beside the file by this run is the exact file; the
    // saved copy in the cache serves runs that replaced it earlier.
    const char* name = target->name.c_str();
    const bool kept = ryn::put_back_kept(name) || ryn::was_put_back(name);
    if (!kept && !ryn::UniqueFd(open(target->original_name.c_str(), O_RDONLY)).valid()) {
        return true;
    }
    if (!kept) {
        replace_user_file(target->original_name.c_str(), name, false);
    }
    if (remove_instrumented) {
        unlink(target->original_name.c_str());
    }
    if (verbose) {
        report_error(MSG_INFO, 0, get_msg(RYN_REPLACE_FILE), name);
    }
    return true;
}

void RynExecUtil::restore() {
    if (!driver || !driver->state().cache) {
        return;
    }
    CacheIterator it(driver->state().cache.get());
    while (Target* target = it.get_next_target()) {
        if (target->replaced) {
            replace_target_with_orig(target);
        }
    }
}

}  // namespace ryn
