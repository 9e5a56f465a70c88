#include "ryn/ryn_driver.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/rc_data.h"
#include "driver/placeholder.h"

void RynDriver::run_instrument_command() { RYN_PLACEHOLDER(); }

