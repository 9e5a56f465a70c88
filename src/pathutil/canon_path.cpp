#include "ryn/pathutil.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/rc_data.h"
#include "driver/placeholder.h"

extern "C" char* canonicalizePath(const char*, char*) { RYN_PLACEHOLDER(); }

extern "C" void canonicalizeReset(void) { RYN_PLACEHOLDER(); }

extern "C" char* canonicalizePathEx(const char*, char*) { RYN_PLACEHOLDER(); }

extern "C" const char* getBasename(const char*) { RYN_PLACEHOLDER(); }

extern "C" char* getDirname(const char*) { RYN_PLACEHOLDER(); }

