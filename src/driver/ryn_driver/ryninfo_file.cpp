// The run-information file: the settings of the run, handed to the
// rewriting engine (and through it to the runtime library) as numbered
// records, one per line.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "driver/ryn_driver/phases.h"
#include "driver/ryn_driver/ryninfo_records.h"
#include "driver/ryn_util/temp_file.h"
#include "driver/ryn_util/unique_file.h"
#include "driver/ryn_util/usable_path.h"
#include "i18n/driver_texts.h"
#include "ryn/exec_util.h"
#include "ryn/rc_data.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/target.h"

namespace ryn {

namespace {

constexpr const char* k_ryninfo_prefix = "rninf";

class RecordWriter {
public:
    RecordWriter(FILE* file, ExecUtil& util) : file_(file), util_(util) {}
    // A newline inside a value would start a record of its own.
    void text(RyninfoRecord record, const char* value) {
        if (ryn::has_newline(value)) {
            util_.fatal(0, driver_text(DriverText::RYNINFO_VALUE_HAS_NEWLINE), value);
        }
        fprintf(file_.get(), "%d %s\n", record, value);
    }
    void text(RyninfoRecord record, const std::string& value) { text(record, value.c_str()); }
    void number(RyninfoRecord record, int value) { fprintf(file_.get(), "%d %d\n", record, value); }

private:
    ryn::UniqueFile file_;
    ExecUtil& util_;
};

const char* fork_mode_word(int fork_mode) {
    switch (fork_mode) {
    case 0: return "parent";
    case 1: return "child";
    default: return "both";
    }
}

}  // namespace

std::string create_ryninfo_file(const RynOptions& opts, const ToolArgs& tools,
                                const InstallLocations& loc, RunState& state, ExecUtil& util) {
    ryn::TempFile file = ryn::create_temp_file(nullptr, k_ryninfo_prefix);
    FILE* stream = file.fd.valid() ? fdopen(file.fd.get(), "w") : nullptr;
    if (!stream) {
        const int err = errno;
        if (file.fd.valid()) {
            unlink(file.path.c_str());
        }
        util.fatal(err, "%s", driver_text(DriverText::CANNOT_OPEN_RYNINFO));
    }
    RecordWriter out(stream, util);
    file.fd.release();  // the stream owns it now
    const std::string& name = file.path;
    util.temp_files.add_arg(name);
    if (util.very_verbose) {
        util.report_error(MSG_INFO, 0, driver_text(DriverText::CREATING_TEMP_FILE), name.c_str());
    }

    out.text(RYNINFO_COMPONENT, util.component);
    out.text(RYNINFO_EXEC_DIR, loc.exec_dir.value_or(""));
    out.text(RYNINFO_VERSION, ver_string ? ver_string : "");
    if (!tools.instrument_record.empty()) {
        out.text(RYNINFO_INSTRUMENT_RECORD, tools.instrument_record.sprint());
    }
    out.text(RYNINFO_CACHE_TOP, state.cache->cache_top());
    if (opts.memvex.analyzer_dir) {
        out.text(RYNINFO_ANALYZER_DIR, *opts.memvex.analyzer_dir);
    }
    for (const char* lib : state.cache->ignorable_libs) {
        out.text(RYNINFO_IGNORABLE_LIB, lib);
    }
    if (opts.z_count != 0) {
        out.number(RYNINFO_Z_COUNT, opts.z_count);
    }
    if (opts.memvex.text_report) {
        out.text(RYNINFO_TEXT_REPORT, *opts.memvex.text_report);
    }
    if (opts.memvex.html_report) {
        out.text(RYNINFO_HTML_REPORT, *opts.memvex.html_report);
    }
    out.number(RYNINFO_L_OPTION, opts.memvex.L_option ? 1 : 0);
    instrument_logfile(opts, state, state.main_target);
    if (state.liblog_path) {
        out.text(RYNINFO_LIBLOG, *state.liblog_path);
    }
    out.text(RYNINFO_MAIN_TARGET, state.main_target->name);
    if (state.lite_mode) {
        out.number(RYNINFO_LITE_MODE, 1);
    }
    out.text(RYNINFO_FORK_MODE, fork_mode_word(opts.memvex.fork_mode));
    if (opts.read_rc_files && state.rc) {
        if (const std::optional<std::string> filters = state.rc->optString("", "FILTERS", false)) {
            out.text(RYNINFO_FILTERS, *filters);
        }
    }
    out.number(RYNINFO_CXX_RUNTIME, state.main_uses_cxx_runtime ? 1 : 0);
    if (opts.memvex.memvex_S_value >= 0) {
        out.number(RYNINFO_MEMVEX_S_VALUE, opts.memvex.memvex_S_value);
    }
    if (opts.memvex.memvex_e_value >= 0) {
        out.number(RYNINFO_MEMVEX_e_VALUE, opts.memvex.memvex_e_value);
    }
    if (opts.memvex.memvex_E_value >= 0) {
        out.number(RYNINFO_MEMVEX_E_VALUE, opts.memvex.memvex_E_value);
    }
    if (opts.memvex.memvex_b_value) {
        out.text(RYNINFO_MEMVEX_B_VALUE, *opts.memvex.memvex_b_value);
    }
    if (opts.memvex.memvex_m_flag) {
        out.number(RYNINFO_MEMVEX_M_FLAG, 1);
    }
    if (opts.memvex.memvex_f_flag) {
        out.number(RYNINFO_MEMVEX_F_FLAG, 1);
    }
    if (opts.memvex.memvex_c_flag) {
        out.number(RYNINFO_MEMVEX_C_FLAG, 1);
    }
    if (opts.memvex.memvex_u_flag && !opts.memvex.memvex_c_flag) {
        out.number(RYNINFO_MEMVEX_U_FLAG, 1);
    }
    return "-ryninfo=" + name;
}

}  // namespace ryn
