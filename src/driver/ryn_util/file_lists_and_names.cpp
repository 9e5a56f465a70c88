#include "ryn/exec_util.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/rc_data.h"
#include "driver/placeholder.h"

char* ExecUtil::remove_version_from_shlib_name(char*) { RYN_PLACEHOLDER(); }

void ExecUtil::read_instr_log(const char*, ArgCache*) { RYN_PLACEHOLDER(); }

void ExecUtil::set_component(const char*) { RYN_PLACEHOLDER(); }

