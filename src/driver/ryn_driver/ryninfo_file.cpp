// The run-information file: the settings of the run, handed to the
// rewriting engine (and through it to the runtime library) as numbered
// records, one per line.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "driver/ryn_driver/phases.h"
#include "driver/ryn_util/temp_file.h"
#include "driver/ryn_util/unique_file.h"
#include "driver/ryn_util/usable_path.h"
#include "ryn/rc_data.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/exec_util.h"
#include "ryn/target.h"

namespace {

constexpr const char* k_ryninfo_prefix = "rninf";

class RecordWriter {
public:
    RecordWriter(FILE* file, ExecUtil& util) : file_(file), util_(util) {}
    // A newline inside a value would start a record of its own.
    void text(int record, const char* value) {
        if (ryn::has_newline(value)) {
            util_.fatal(0, "Cannot pass a value with a newline to the engine: %s", value);
        }
        fprintf(file_.get(), "%d %s\n", record, value);
    }
    void text(int record, const std::string& value) { text(record, value.c_str()); }
    void number(int record, int value) { fprintf(file_.get(), "%d %d\n", record, value); }

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
        util.fatal(err, "Cannot open temporary file for ryn info ");
    }
    RecordWriter out(stream, util);
    file.fd.release();  // the stream owns it now
    const std::string& name = file.path;
    util.temp_files.add_arg(name);
    if (util.very_verbose) {
        util.report_error(MSG_INFO, 0, "Creating tempfile: %s\n", name.c_str());
    }

    out.text(1, util.component);
    out.text(3, loc.exec_dir.value_or(""));
    out.text(5, ver_string ? ver_string : "");
    if (!tools.instrument_record.empty()) {
        out.text(7, tools.instrument_record.sprint());
    }
    out.text(9, state.cache->cache_top());
    if (opts.memvex.analyzer_dir) {
        out.text(29, *opts.memvex.analyzer_dir);
    }
    for (const char* lib : state.cache->ignorable_libs) {
        out.text(11, lib);
    }
    if (opts.z_count != 0) {
        out.number(2, opts.z_count);
    }
    if (opts.memvex.text_report) {
        out.text(17, *opts.memvex.text_report);
    }
    if (opts.memvex.html_report) {
        out.text(23, *opts.memvex.html_report);
    }
    out.number(6, opts.memvex.L_option ? 1 : 0);
    instrument_logfile(opts, state, state.main_target);
    if (state.liblog_path) {
        out.text(19, *state.liblog_path);
    }
    out.text(21, state.main_target->name);
    if (opts.memvex.lite_mode) {
        out.number(8, 1);
    }
    out.text(33, fork_mode_word(opts.memvex.fork_mode));
    if (opts.read_rc_files && state.rc) {
        if (const std::optional<std::string> filters = state.rc->optString("", "FILTERS", false)) {
            out.text(25, *filters);
        }
    }
    out.number(24, state.main_uses_cxx_runtime ? 1 : 0);
    if (opts.memvex.memvex_S_value >= 0) {
        out.number(10, opts.memvex.memvex_S_value);
    }
    if (opts.memvex.memvex_e_value >= 0) {
        out.number(12, opts.memvex.memvex_e_value);
    }
    if (opts.memvex.memvex_E_value >= 0) {
        out.number(14, opts.memvex.memvex_E_value);
    }
    if (opts.memvex.memvex_b_value) {
        out.text(27, *opts.memvex.memvex_b_value);
    }
    if (opts.memvex.memvex_m_flag) {
        out.number(16, 1);
    }
    if (opts.memvex.memvex_f_flag) {
        out.number(18, 1);
    }
    if (opts.memvex.memvex_c_flag) {
        out.number(20, 1);
    }
    if (opts.memvex.memvex_u_flag && !opts.memvex.memvex_c_flag) {
        out.number(22, 1);
    }
    return "-ryninfo=" + name;
}
