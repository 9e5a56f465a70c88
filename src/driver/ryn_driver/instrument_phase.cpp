#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "driver/ryn_cache/placed_copy.h"
#include "driver/ryn_driver/instrument_args.h"
#include "driver/ryn_driver/phases.h"
#include "driver/ryn_util/file_lock_guard.h"
#include "driver/ryn_util/file_replacement.h"
#include "driver/ryn_util/kept_originals.h"
#include "driver/ryn_util/progress_line.h"
#include "i18n/driver_texts.h"
#include "ryn/exec_util.h"
#include "ryn/ryn_cache.h"
#include "ryn/target.h"

namespace ryn {

namespace {

// Only copies inside the shared cache directory need to exclude other drivers.
bool lives_in_cache(const InstrumentPhase& d, const Target* t) {
    if (t->cached_name.empty()) {
        return false;
    }
    const char* top = d.state.cache->cache_top();
    return strncmp(t->cached_name.c_str(), top, strlen(top)) == 0;
}

// Stack limit handed to the engine, in bytes; 0 leaves the limit alone.
unsigned long engine_stack_limit(const InstrumentPhase& d) {
    unsigned long limit = d.opts.memvex_front_end() ? 8388608UL : 0UL;
    if (const char* value = getenv("QVEN_RYN_STACK_RLIMIT")) {
        if (strcmp(value, "unlimited") == 0) {
            limit = 2147483647UL;
        } else {
            // The variable is in kilobytes; zero, a negative count or no number
            // at all leaves the limit alone.
            const long kilobytes = atoi(value);
            limit = kilobytes > 0 ? static_cast<unsigned long>(kilobytes) * 1024UL : 0UL;
        }
    }
    return limit;
}

// Saves the uninstrumented file beside its copy before the file itself is
// overwritten; from here on a fatal error puts the saved file back.
void save_original(ExecUtil& util, Target* t) {
    util.replace_user_file(t->name.c_str(), t->original_name.c_str(), false);
    t->replaced = true;
}

// Where the engine writes the copy. The checker and coverage front ends
// write the main program straight to the output file; everything else goes
// to the cache.
bool writes_output_file(const InstrumentPhase& d, const Target* t) {
    return !d.opts.plain_front_end() && t == d.state.main_target && !d.opts.tell_mode;
}

// The output file as the engine is to write it: through a symbolic link, the
// file it points to, since an engine that renames its result into place
// would otherwise turn the user's link into a file.
std::string engine_output(const InstrumentPhase& d) {
    if (!d.opts.output_file) {
        return "";
    }
    struct stat st {};
    if (lstat(d.opts.output_file->c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        return ryn::replacement_destination(d.opts.output_file->c_str());
    }
    return *d.opts.output_file;
}

void append_finishing_options(const InstrumentPhase& d, Target* t, ArgCache& engine) {
    if (d.opts.very_verbose) {
        engine.add_arg("-v");
    }
    if (d.opts.skip_bad_libraries && t->is_shared_lib) {
        engine.add_arg("-error_not_optimizable=off");
    } else {
        engine.add_arg(error_not_optimizable(d.opts));
    }
    if (!d.opts.memvex_front_end() && !d.opts.group_option) {
        engine.add_arg("-g=off");
    }
    if (!d.state.lite_mode) {
        engine.add_arg(d.opts.verbose ? "-printannstat=2" : "-printannstat=1");
    }
    if (t == d.state.main_target && !t->is_shared_lib) {
        engine.add_arg(create_ryninfo_file(d.opts, d.tools, d.loc, d.state, d.util));
    }
    if (t->full_instr) {
        engine.add_arg("-memvex_full_lib_instr");
    }
}

void instrument_target(const InstrumentPhase& d, Target* t, InstrumentArgs& lists,
                       const std::optional<std::string>& data_path, ryn::ProgressLine& progress) {
    ExecUtil& util = d.util;
    ArgCache& engine = lists.engine;
    engine.add_arg("-comment=instrumentation args: " + lists.signature.sprint());
    append_finishing_options(d, t, engine);

    engine.add_arg("-o");
    const bool to_cache = !writes_output_file(d, t);
    if (to_cache) {
        engine.add_arg(t->cached_name);
        util.create_directory(t->cache_dir.c_str());
        if (t->replace()) {
            save_original(util, t);
        }
    } else {
        engine.add_arg(engine_output(d));
        // The engine may write straight into the file's inode: keep a copy
        // to put back if the run fails.
        if (d.opts.output_file && !util.dry_run) {
            if (const int error = ryn::keep_original(d.opts.output_file->c_str(), true)) {
                util.fatal(error, driver_text(DriverText::CANNOT_KEEP_ORIGINAL),
                           d.opts.output_file->c_str());
            }
        }
    }
    add_checkfile_arg(&engine, t);
    engine.add_arg(t->name);

    if (d.opts.verbose) {
        util.report_error(MSG_INFO, 0, driver_text(DriverText::INSTRUMENTING_TARGET),
                          t->name.c_str());
    }
    if (!util.run_command(&engine, {.stderr_fd = progress.engine_starts(t->name),
                                    .stack_limit = engine_stack_limit(d)})) {
        return;
    }
    // The stamp describes the copy just made, so a driver that waited for
    // this lock reuses it instead of instrumenting the same file again.
    if (to_cache && !util.dry_run) {
        t->write_stamp();
    }
    if (data_path) {
        // Data recorded by an earlier copy no longer matches this one.
        unlink_instrdata(d.opts, d.util, data_path->c_str());
    }
    if (d.opts.very_verbose) {
        util.report_error(MSG_INFO, 0, driver_text(DriverText::INSTRUMENTED_TARGET),
                          t->name.c_str(), t->replace() ? "" : " NOT");
    }
    if (t->replace() && t != d.state.main_target) {
        util.replace_user_file(t->cached_name.c_str(), t->name.c_str(), true);
    }
}

void use_cached_copy(const InstrumentPhase& d, Target* t,
                     const std::optional<std::string>& data_path) {
    ExecUtil& util = d.util;
    if (d.opts.verbose) {
        util.report_error(MSG_INFO, 0, driver_text(DriverText::USING_CACHED_COPY), t->name.c_str());
    }
    if (d.opts.collect_mode && data_path) {
        // The program is about to run and record fresh data.
        unlink_instrdata(d.opts, d.util, data_path->c_str());
    }
    if (t->replace()) {
        save_original(util, t);
        if (t != d.state.main_target) {
            util.replace_user_file(t->cached_name.c_str(), t->name.c_str(), true);
        }
    }
}

bool must_instrument(const InstrumentPhase& d, Target* t, InstrumentArgs& lists) {
    if (writes_output_file(d, t) || d.opts.k_option) {
        return true;
    }
    const char* morphel = d.loc.morphel_path ? d.loc.morphel_path->c_str() : nullptr;
    return t->should_rebuild(&lists.signature, morphel, d.opts.very_verbose);
}

void process_target(const InstrumentPhase& d, Target* t, ryn::ProgressLine& progress) {
    // The lock is taken before the validity test: another driver may be
    // writing this copy right now.
    ryn::FileLockGuard lock;
    if (lives_in_cache(d, t)) {
        lock.acquire(d.util, t->cached_name, false);
        if (!d.util.dry_run) {
            t->write_identity_record();
        }
    }
    if (!t->valid) {
        return;
    }
    std::optional<std::string> data_path;
    if (!d.opts.memvex_front_end()) {
        data_path = instrdata_dirname(d.opts, t);
    }
    if (d.opts.k_option) {
        // The old copy goes whatever happens next, even if the engine fails.
        unlink(t->cached_name.c_str());
    }
    InstrumentArgs lists = build_instrument_args(d, t, data_path);
    if (must_instrument(d, t, lists)) {
        instrument_target(d, t, lists, data_path, progress);
    } else {
        use_cached_copy(d, t, data_path);
    }
}

// A cheap count of the targets the engine will see: those written anew
// whatever the cache holds and those without a cached copy.
ryn::ProgressLine start_progress(const InstrumentPhase& d) {
    int total = 0;
    int stale = 0;
    CacheIterator targets(d.state.cache.get());
    while (const Target* t = targets.get_next_target()) {
        if (!t->valid) {
            continue;
        }
        ++total;
        struct stat st {};
        if (d.opts.k_option || writes_output_file(d, t) || stat(t->cached_name.c_str(), &st) != 0) {
            ++stale;
        }
    }
    const bool allowed = !d.opts.dry_run && !d.opts.verbose && !d.opts.very_verbose;
    return ryn::ProgressLine(d.util.component, total, stale, allowed);
}

}  // namespace

void run_instrument_command(const RynOptions& opts, const ToolArgs& tools,
                            const InstallLocations& loc, RunState& state, ExecUtil& util) {
    const InstrumentPhase phase{opts, tools, loc, state, util};
    {
        ryn::ProgressLine progress = start_progress(phase);
        CacheIterator targets(state.cache.get());
        while (Target* t = targets.get_next_target()) {
            process_target(phase, t, progress);
            if (t->valid) {
                progress.target_done();
            }
        }
    }
    if (opts.plain_front_end()) {
        if (!opts.output_file) {
            return;
        }
        const std::string& copy = state.main_target->cached_name;
        const std::string& output = *opts.output_file;
        util.replace_user_file(copy.c_str(), output.c_str(), true,
                               [&] { return ryn::holds_placed_copy(copy, output); });
        if (opts.remove_instrumented && opts.collect_mode && !state.main_target->replace()) {
            util.temp_files.add_arg(*opts.output_file);
        }
    }
    if (opts.verbose && opts.output_file) {
        util.report_error(MSG_INFO, 0, get_msg(RYN_INSTR_OUTPUT), opts.output_file->c_str());
    }
}

}  // namespace ryn
