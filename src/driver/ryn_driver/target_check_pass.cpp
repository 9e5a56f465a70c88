// Before anything is instrumented: say why targets are unusable, and stop
// the run when the main target or a library that may not be skipped is.
#include <cstdio>

#include "i18n/driver_texts.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/target.h"

bool RynDriver::target_check_pass() {
    bool failed = false;
    const auto explain = [&](Target* t, bool write_check, bool skip_instr_check) {
        util->check_target(t->name.c_str(), {.lock_dir = cache->cache_top(),
                                             .level = 1,
                                             .write_check = write_check,
                                             .skip_instr_check = skip_instr_check,
                                             .require_annotations = !lite_mode});
    };

    CacheIterator it(cache.get());
    while (Target* t = it.get_next_target()) {
        if (t->valid) {
            if (verbose) {
                explain(t, t->replace() && (instrument_mode || collect_mode), r_option);
            }
            if (instrument_enabled && remove_instrumented) {
                util->temp_files.add_arg(t->cached_name);
            }
            continue;
        }
        if (t == main_target) {
            failed = true;
            if (!tell_mode) {
                explain(t, t->replace(), false);
                continue;
            }
        }
        failed = failed || !skip_bad_libraries;
        explain(t, t->replace(), false);
        if (!skip_bad_libraries) {
            util->report_error(MSG_WARNING, 0,
                               driver_text(DriverText::UNUSABLE_LIBRARY),
                               t->name.c_str());
        }
    }
    if (!failed) {
        return true;
    }

    // Tell mode answers with the program itself, named as the user typed it,
    // so that the caller runs it uninstrumented exactly as it would have.
    if (tell_mode && skip_bad_libraries) {
        if (runtime_output && outbufsiz > 0) {
            snprintf(runtime_output, static_cast<std::size_t>(outbufsiz), "%s\n",
                     target_path.value_or(main_target->name).c_str());
        }
        return false;
    }
    const bool main_valid = main_target->valid;
    util->fatal(0, driver_text(DriverText::CANNOT_INSTRUMENT), main_target->name.c_str(),
                main_valid ? driver_text(DriverText::BECAUSE_OF_DEPENDENCIES) : ".",
                memvex_front_end && (main_valid || tell_mode)
                    ? driver_text(DriverText::IGNORE_DEPENDENCIES_HINT)
                    : "");
}
