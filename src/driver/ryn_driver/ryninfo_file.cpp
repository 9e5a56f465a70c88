#include "ryn/ryn_driver.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/rc_data.h"
#include "driver/placeholder.h"

std::string RynDriver::create_ryninfo_file() { RYN_PLACEHOLDER(); }

