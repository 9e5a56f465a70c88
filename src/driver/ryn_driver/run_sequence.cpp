#include "ryn/ryn_driver.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/rc_data.h"
#include "driver/placeholder.h"

RynDriver::RynDriver(const char*, int, char**, int lav_version) : lav_version(lav_version) { RYN_PLACEHOLDER(); }

RynDriver::RynDriver(const char*, int lav_version, PrepareOnly) : lav_version(lav_version) { RYN_PLACEHOLDER(); }

RynDriver::~RynDriver() { RYN_PLACEHOLDER(); }

void RynDriver::prepare(const char*) { RYN_PLACEHOLDER(); }

void RynDriver::run(int, char**) { RYN_PLACEHOLDER(); }

void RynDriver::target_check_pass() { RYN_PLACEHOLDER(); }

void RynDriver::run_collect_program() { RYN_PLACEHOLDER(); }

void RynDriver::add_runtime_libraries() { RYN_PLACEHOLDER(); }

void RynDriver::run_optimize_loop() { RYN_PLACEHOLDER(); }

void RynDriver::redirect_output() { RYN_PLACEHOLDER(); }

bool RynDriver::set_exec_names(char**) { RYN_PLACEHOLDER(); }

void RynDriver::set_locations() { RYN_PLACEHOLDER(); }

const char* RynDriver::error_not_optimizable() const { RYN_PLACEHOLDER(); }

void RynDriver::usage() const { RYN_PLACEHOLDER(); }

void RynDriver::usage_exit(int) const { RYN_PLACEHOLDER(); }

