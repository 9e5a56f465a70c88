#include "ryn/exec_util.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/rc_data.h"
#include "driver/placeholder.h"

bool ExecUtil::run_command(const ArgCache*, bool, bool, bool, int, int, unsigned long, bool) { RYN_PLACEHOLDER(); }

bool ExecUtil::check_wait_status(long, int, bool, bool) { RYN_PLACEHOLDER(); }

