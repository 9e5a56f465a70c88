#include "ryn/pathutil.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/rc_data.h"
#include "driver/placeholder.h"

extern "C" const char* fyuFindExecDir(const char*, const char*) { RYN_PLACEHOLDER(); }

extern "C" const char* fyuGetExecDir(void) { RYN_PLACEHOLDER(); }

extern "C" const char* fyuGetCmdName(void) { RYN_PLACEHOLDER(); }

extern "C" const char* fyuGetWorkingDir(void) { RYN_PLACEHOLDER(); }

extern "C" void fyuSaveWorkingDir(const char*) { RYN_PLACEHOLDER(); }

extern "C" int fyuChdir(const char*) { RYN_PLACEHOLDER(); }

extern "C" int fyuIscwd(const char*) { RYN_PLACEHOLDER(); }

