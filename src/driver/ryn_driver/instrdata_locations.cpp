#include "ryn/ryn_driver.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/rc_data.h"
#include "driver/placeholder.h"

std::string RynDriver::instrdata_dirname(Target*) const { RYN_PLACEHOLDER(); }

const char* RynDriver::instrument_logfile(Target*) { RYN_PLACEHOLDER(); }

bool RynDriver::check_instrdata(const char*) const { RYN_PLACEHOLDER(); }

std::string RynDriver::construct_path_option(const char*, const char*, const char*) { RYN_PLACEHOLDER(); }

std::string RynDriver::auditlibpath() const { RYN_PLACEHOLDER(); }

void RynDriver::unlink_instrdata(const char*) { RYN_PLACEHOLDER(); }

void RynDriver::add_checkfile_arg(ArgCache*, Target*) { RYN_PLACEHOLDER(); }

std::string RynDriver::use_option(Target*) const { RYN_PLACEHOLDER(); }

