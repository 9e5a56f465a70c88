// The memory checker's choice between full and write-only instrumentation of
// a target, and the check-file text that goes with it.
#include "ryn/target.h"

#include <string>

#include "driver/ryn_cache/last_component.h"
#include "ryn/ryn_cache.h"

namespace ryn {

bool Target::check_and_set_memvex_full_instr_flag() {
    const CachePolicy& policy = cache->policy;
    const std::string base_name = last_component(name);

    if (is_main && !policy.tell_mode) {
        if (!policy.no_main_full_instr) {
            full_instr = true;
            instr_options = policy.check_file_spec;
            return true;
        }
        full_instr = false;
        return false;
    }

    if (policy.check_all_libraries) {
        full_instr = true;
    }
    if (cache->write_only_libs.search_arg(base_name.c_str())) {
        full_instr = false;
    }
    // A library named with -c is checked fully even when listed write-only.
    for (const std::string& entry : policy.memvex_check_list) {
        const std::size_t colon = entry.find(':');
        if (last_component(entry.substr(0, colon)) == base_name) {
            full_instr = true;
            if (colon != std::string::npos) {
                instr_options = entry.substr(colon + 1);
            }
            return true;
        }
    }
    return full_instr;
}

}  // namespace ryn
