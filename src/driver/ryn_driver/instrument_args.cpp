#include "driver/ryn_driver/instrument_args.h"

#include <libgen.h>
#include <unistd.h>

#include <cerrno>

#include "driver/ryn_driver/phase_support.h"
#include "driver/ryn_driver/phases.h"
#include "driver/ryn_util/bounded_text.h"
#include "i18n/driver_texts.h"
#include "ryn/exec_util.h"
#include "ryn/ryn_cache.h"
#include "ryn/target.h"

namespace ryn {

namespace {

const char* mode_switch(const InstrumentPhase& d) {
    if (!d.opts.memvex_front_end()) {
        return "-ryn";
    }
    return d.state.lite_mode ? "-ped=lite" : "-ped";
}

std::string instrument_option(const std::optional<std::string>& data_path) {
    std::string option = "-xkalfix=instrument";
    if (data_path) {
        option += ':';
        option += *data_path;
    }
    return ryn::bounded(std::move(option));
}

std::string directory_part(const std::string& path) {
    std::string copy = path;
    return dirname(copy.data());
}

// The checker runtime goes in front of the main program's needed libraries,
// and must never be mistaken for a dependency to instrument.
void add_memvex_runtime(const InstrumentPhase& d, ArgCache& signature) {
    const char* dir = d.loc.memvex_lib_dir ? d.loc.memvex_lib_dir->c_str() : "";
    const char* runtime = d.opts.memvex.data_race_mode ? "libvek.so" : "libmemvex.so";
    const std::string path = construct_path_option("", dir, runtime);
    if (access(path.c_str(), R_OK | X_OK) != 0) {
        d.util.fatal(errno, driver_text(DriverText::NO_MEMVEX_LIBRARY), path.c_str());
    }
    d.state.cache->ignorable_libs.add_arg(path);
    signature.add_arg("-prepend_dt_needed=" + path);
    if (d.opts.memvex.data_race_mode) {
        signature.add_arg(construct_path_option("-prepend_dt_needed=", dir, "libvek_binstr.so"));
    }
}

void add_audit_library(const InstrumentPhase& d, ArgCache& signature) {
    const std::string path = auditlibpath(d.loc);
    if (access(path.c_str(), R_OK | X_OK) != 0) {
        d.util.fatal(0, driver_text(DriverText::NO_AUDIT_LIBRARY), path.c_str());
    }
    signature.add_arg("-add_depaudit=" + path);
}

// Settings that shape the copy without being engine options of their own:
// they only make the recorded signature differ.
void add_signature_only(const InstrumentPhase& d, Target* t, ArgCache& signature) {
    if (t == d.state.main_target && d.opts.plain_front_end() && !t->is_shared_lib &&
        !d.opts.tell_mode) {
        signature.add_argslist(&d.state.cache->ignorable_libs);
        for (int i = 0; i < d.opts.z_count; ++i) {
            signature.add_arg("-z");
        }
    }
    signature.add_argslist(&d.tools.instrument_record);
}

}  // namespace

InstrumentArgs build_instrument_args(const InstrumentPhase& d, Target* t,
                                     const std::optional<std::string>& data_path) {
    InstrumentArgs lists;
    ArgCache& signature = lists.signature;
    const bool is_main = t == d.state.main_target;

    signature.add_arg(mode_switch(d));
    if (d.opts.memvex.data_race_mode) {
        signature.add_arg("-race_detection");
    }
    if (!d.state.lite_mode) {
        signature.add_arg(instrument_option(data_path));
    }
    if (!d.opts.mark_last_fg && is_main) {
        signature.add_arg("-last_fg=0");
    }
    if (is_main && d.opts.memvex_front_end() && !d.opts.tell_mode) {
        add_memvex_runtime(d, signature);
    }
    if ((following_dependencies(d.opts, d.state) || d.opts.tell_mode) &&
        (!t->is_shared_lib || !d.state.lav_above_3)) {
        add_audit_library(d, signature);
    }
    if (!d.state.lite_mode) {
        signature.add_arg("-global_auditing");
    }
    if (!t->replace() && (!is_main || d.opts.plain_front_end() || d.opts.tell_mode)) {
        signature.add_arg(
            construct_path_option("-replace_origin=", "", directory_part(t->name).c_str()));
    }
    signature.add_argslist(&d.tools.engine_passthrough_args);

    lists.engine.add_arg(d.loc.morphel_path ? d.loc.morphel_path->c_str() : "");
    lists.engine.add_argslist(&signature);
    // The function lists reach the engine, but a change in them alone does
    // not make a cached copy stale.
    add_rc_function_lists(d.opts, d.state, lists.engine);
    add_signature_only(d, t, signature);
    return lists;
}

}  // namespace ryn
