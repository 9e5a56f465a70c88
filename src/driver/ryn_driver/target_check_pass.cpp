// Before anything is instrumented: say why targets are unusable, and stop
// the run when the main target or a library that may not be skipped is.
#include <cstdio>

#include "driver/ryn_driver/phases.h"
#include "i18n/driver_texts.h"
#include "ryn/exec_util.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/target.h"

namespace ryn {

bool target_check_pass(const RynOptions& opts, RunState& state, ExecUtil& util) {
    bool failed = false;
    const auto explain = [&](Target* t, bool write_check, bool skip_instr_check) {
        util.check_target(t->name.c_str(), {.lock_dir = state.cache->cache_top(),
                                            .level = 1,
                                            .write_check = write_check,
                                            .skip_instr_check = skip_instr_check,
                                            .require_annotations = !state.lite_mode});
    };

    CacheIterator it(state.cache.get());
    while (Target* t = it.get_next_target()) {
        if (t->valid) {
            if (opts.verbose) {
                explain(t, t->replace() && (opts.instrument_mode || opts.collect_mode),
                        opts.r_option);
            }
            if (opts.instrument_enabled && opts.remove_instrumented) {
                util.temp_files.add_arg(t->cached_name);
            }
            continue;
        }
        if (t == state.main_target) {
            failed = true;
            if (!opts.tell_mode) {
                explain(t, t->replace(), false);
                continue;
            }
        }
        failed = failed || !opts.skip_bad_libraries;
        explain(t, t->replace(), false);
        if (!opts.skip_bad_libraries) {
            util.report_error(MSG_WARNING, 0, driver_text(DriverText::UNUSABLE_LIBRARY),
                              t->name.c_str());
        }
    }
    if (!failed) {
        return true;
    }

    // Tell mode answers with the program itself, named as the user typed it,
    // so that the caller runs it uninstrumented exactly as it would have.
    if (opts.tell_mode && opts.skip_bad_libraries) {
        if (runtime_output && outbufsiz > 0) {
            snprintf(runtime_output, static_cast<std::size_t>(outbufsiz), "%s\n",
                     opts.target_path.value_or(state.main_target->name).c_str());
        }
        return false;
    }
    const bool main_valid = state.main_target->valid;
    util.fatal(0, driver_text(DriverText::CANNOT_INSTRUMENT), state.main_target->name.c_str(),
               main_valid ? driver_text(DriverText::BECAUSE_OF_DEPENDENCIES) : ".",
               opts.memvex_front_end() && (main_valid || opts.tell_mode)
                   ? driver_text(DriverText::IGNORE_DEPENDENCIES_HINT)
                   : "");
}

}  // namespace ryn
