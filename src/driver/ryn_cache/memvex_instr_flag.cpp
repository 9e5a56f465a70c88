// The memory checker's choice between full and write-only instrumentation of
// a target, and the check-file text that goes with it.
#include "ryn/target.h"

#include <cstring>
#include <string>

#include "driver/ryn_cache/last_component.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"

using ryn::last_component;

bool Target::check_and_set_memvex_full_instr_flag() {
    const RynDriver& driver = *cache->driver;
    const std::string base_name = last_component(name);

    if (is_main && !driver.tell_mode) {
        if (!driver.no_main_full_instr) {
            full_instr = true;
            instr_options = driver.check_file_spec;
            return true;
        }
        full_instr = false;
        return false;
    }

    if (driver.check_all_libraries) {
        full_instr = true;
    }
    if (cache->write_only_libs.search_arg(base_name.c_str())) {
        full_instr = false;
    }
    // A library named with -c is checked fully even when listed write-only.
    for (const char* entry : driver.memvex_check_list) {
        const char* colon = strchr(entry, ':');
        const std::string path = colon ? std::string(entry, colon) : std::string(entry);
        if (last_component(path) == base_name) {
            full_instr = true;
            if (colon) {
                instr_options = std::string(colon + 1);
            }
            return true;
        }
    }
    return full_instr;
}
