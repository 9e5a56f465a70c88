#include "ryn/target.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/rc_data.h"
#include "driver/placeholder.h"

Target::Target(bool, RynCache*, const char*, const char*, bool, ExecUtil*, bool, bool, bool, bool) : cache(nullptr), replaceable(false), util(nullptr), is_shared_lib(false), is_main(false) { RYN_PLACEHOLDER(); }

void Target::compute_target_locations(const char*) { RYN_PLACEHOLDER(); }

void Target::compute_checksum(char*) { RYN_PLACEHOLDER(); }

bool Target::check_and_set_memvex_full_instr_flag() { RYN_PLACEHOLDER(); }

bool Target::replace() const { RYN_PLACEHOLDER(); }

bool Target::should_rebuild(ArgCache*, const char*, bool) { RYN_PLACEHOLDER(); }

bool Target::compare_morphel_version(const char*, const char*, bool) { RYN_PLACEHOLDER(); }

void Target::write_stamp() const { RYN_PLACEHOLDER(); }

void Target::dump() const { RYN_PLACEHOLDER(); }

