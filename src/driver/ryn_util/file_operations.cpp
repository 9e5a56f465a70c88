#include "ryn/exec_util.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/rc_data.h"
#include "driver/placeholder.h"

void ExecUtil::cp_command(const char*, const char*) { RYN_PLACEHOLDER(); }

void ExecUtil::rm_command(const char*) { RYN_PLACEHOLDER(); }

void ExecUtil::ln_command(const char*, const char*) { RYN_PLACEHOLDER(); }

void ExecUtil::create_directory(const char*) { RYN_PLACEHOLDER(); }

std::string ExecUtil::make_full_path(const char*) { RYN_PLACEHOLDER(); }

