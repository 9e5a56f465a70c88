#include "ryn/exec_util.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/rc_data.h"
#include "driver/placeholder.h"

bool ExecUtil::check_target(const char*, const char*, int, bool, bool, MESSAGE_TYPE, bool*, bool, bool*) { RYN_PLACEHOLDER(); }

