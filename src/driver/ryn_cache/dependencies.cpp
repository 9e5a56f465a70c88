#include "ryn/target.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/rc_data.h"
#include "driver/placeholder.h"

void Target::compute_dependencies(RynCache*, bool*, bool) { RYN_PLACEHOLDER(); }

