#include "ryn/rc_data.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/rc_data.h"
#include "driver/placeholder.h"

rcData::rcData(bool, const char*, int, ExecUtil*) : memvex(false), util(nullptr) { RYN_PLACEHOLDER(); }

bool rcData::set_rc(const char*, bool) { RYN_PLACEHOLDER(); }

std::optional<std::string> rcData::read_line(FILE*, int*) { RYN_PLACEHOLDER(); }

std::optional<std::string> rcData::optString(const char*, const char*, bool) { RYN_PLACEHOLDER(); }

bool rcData::library_list(const char*, ArgCache*) { RYN_PLACEHOLDER(); }

void rcData::dump() const { RYN_PLACEHOLDER(); }

