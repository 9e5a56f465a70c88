#include "ryn/exec_util.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/rc_data.h"
#include "driver/placeholder.h"

std::string ExecUtil::get_hash(const char*, const char*) { RYN_PLACEHOLDER(); }

uint64_t ExecUtil::crc64(const unsigned char*, uint32_t) { RYN_PLACEHOLDER(); }

