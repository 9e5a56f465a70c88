#include "ryn/ryn_driver.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/rc_data.h"
#include "driver/placeholder.h"

bool RynDriver::set_er_ryn_program(const char*) { RYN_PLACEHOLDER(); }

bool RynDriver::check_er_ryn_program(const char*, char*, int) { RYN_PLACEHOLDER(); }

void RynDriver::parse_version_string(char*, std::optional<std::string>&, std::optional<std::string>&) { RYN_PLACEHOLDER(); }

int RynDriver::probe_lav_version() { RYN_PLACEHOLDER(); }

