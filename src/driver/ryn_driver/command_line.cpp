#include "ryn/ryn_driver.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/rc_data.h"
#include "driver/placeholder.h"

void RynDriver::process_options(int, char**) { RYN_PLACEHOLDER(); }

bool RynDriver::process_ryn_driver_arg(char**&) { RYN_PLACEHOLDER(); }

bool RynDriver::process_target_arg(char**&) { RYN_PLACEHOLDER(); }

bool RynDriver::process_simapp_arg(char**&) { RYN_PLACEHOLDER(); }

bool RynDriver::process_er_ryn_dbg_arg(char**&) { RYN_PLACEHOLDER(); }

bool RynDriver::process_optimize_input_arg(char**&) { RYN_PLACEHOLDER(); }

bool RynDriver::process_bat_input_arg(char**&) { RYN_PLACEHOLDER(); }

bool RynDriver::process_instrument_input_arg(char**&) { RYN_PLACEHOLDER(); }

bool RynDriver::process_coverage_input_arg(char**&) { RYN_PLACEHOLDER(); }

void RynDriver::process_minus_c_flag(const char*) { RYN_PLACEHOLDER(); }

