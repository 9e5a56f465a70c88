#include "ryn/i18n.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/rc_data.h"
#include "driver/placeholder.h"

extern "C" const char* get_msg(int index) { return I18N_msg[index].text; } 

extern "C" const char* get_msg_tag(int) { RYN_PLACEHOLDER(); }

extern "C" const char* get_help_tag(int) { RYN_PLACEHOLDER(); }

extern "C" int get_msg_severity(int) { RYN_PLACEHOLDER(); }

extern "C" int find_msg_enum(const char*, int) { RYN_PLACEHOLDER(); }

extern "C" void i18n_init(const char*) { RYN_PLACEHOLDER(); }

extern "C" int i18n_setnlspath(const char*) { RYN_PLACEHOLDER(); }

extern "C" void i18n_fini(void) { RYN_PLACEHOLDER(); }

extern "C" nl_catd get_catd(void) { RYN_PLACEHOLDER(); }

