#include "ryn/ryn_driver.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/rc_data.h"
#include "driver/placeholder.h"

void RynDriver::run_use_command(ArgCache*) { RYN_PLACEHOLDER(); }

bool RynDriver::add_use_arg(ArgCache*, Target*) { RYN_PLACEHOLDER(); }

