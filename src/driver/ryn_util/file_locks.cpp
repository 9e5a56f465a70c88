#include "ryn/exec_util.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/rc_data.h"
#include "driver/placeholder.h"

int ExecUtil::acquire_lock_file(const char*, bool) { RYN_PLACEHOLDER(); }

void ExecUtil::release_lock_file(int, const char*) { RYN_PLACEHOLDER(); }

int ExecUtil::acquire_link_lock(const char*) { RYN_PLACEHOLDER(); }

std::string ExecUtil::get_link_lock_file(const char*) { RYN_PLACEHOLDER(); }

std::string ExecUtil::get_link_lock_process_file(const char*) { RYN_PLACEHOLDER(); }

int ExecUtil::retry_lockf_op(int, int, bool) { RYN_PLACEHOLDER(); }

void ExecUtil::filelock_cleanup() { RYN_PLACEHOLDER(); }

extern "C" void __filelock_signal_handler__(int) { RYN_PLACEHOLDER(); }

