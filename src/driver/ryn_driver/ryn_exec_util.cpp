#include "ryn/ryn_exec_util.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/rc_data.h"
#include "driver/placeholder.h"

bool RynExecUtil::replace_target_with_orig(Target*) { RYN_PLACEHOLDER(); }

void RynExecUtil::restore() { RYN_PLACEHOLDER(); }

