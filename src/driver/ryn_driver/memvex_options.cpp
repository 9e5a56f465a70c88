#include "ryn/ryn_driver.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/rc_data.h"
#include "driver/placeholder.h"

void RynDriver::process_memvex_options(int, char**) { RYN_PLACEHOLDER(); }

