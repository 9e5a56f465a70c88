// Collect mode: run the instrumented program, then take in the libraries
// that its run logged as loaded.
#include "driver/ryn_driver/phases.h"
#include "ryn/exec_util.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/target.h"

namespace ryn {

void run_collect_program(const ToolArgs& tools, const RunState& state, ExecUtil& util) {
    // The program's own output goes to the original streams, not to the
    // file named with -O.
    util.run_command(&tools.collect_run_args, {.tolerate_failure = true,
                                               .ignore_sigint = true,
                                               .stdout_fd = state.saved_stdout,
                                               .stderr_fd = state.saved_stderr});
}

void add_runtime_libraries(const RynOptions& opts, RunState& state, ExecUtil& util) {
    if (!opts.collect_mode) {
        return;
    }
    if (state.main_target) {
        instrument_logfile(opts, state, state.main_target);  // settles liblog_path
    }
    ArgCache logged;
    if (state.liblog_path && (opts.analyze_mode || opts.coverage_mode)) {
        if (opts.remove_instrumented) {
            util.temp_files.add_arg(*state.liblog_path);
        }
        util.read_instr_log(state.liblog_path->c_str(), &logged);
    }
    for (const char* path : logged) {
        Target* added = add_library_target(path, false, false, opts, state, util);
        if (added && opts.remove_instrumented) {
            util.temp_files.add_arg(added->cached_name);
        }
    }
}

}  // namespace ryn
