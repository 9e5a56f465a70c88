// Collect mode: run the instrumented program, then take in the libraries
// that its run logged as loaded.
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/target.h"

void RynDriver::run_collect_program() {
    // The program's own output goes to the original streams, not to the
    // file named with -O.
    util->run_command(&collect_run_args, {.tolerate_failure = true,
                                          .ignore_sigint = true,
                                          .stdout_fd = saved_stdout,
                                          .stderr_fd = saved_stderr});
}

void RynDriver::add_runtime_libraries() {
    if (!collect_mode) {
        return;
    }
    if (main_target) {
        instrument_logfile(main_target);  // settles liblog_path
    }
    ArgCache logged;
    if (liblog_path && (analyze_mode || coverage_mode)) {
        if (remove_instrumented) {
            util->temp_files.add_arg(*liblog_path);
        }
        util->read_instr_log(liblog_path->c_str(), &logged);
    }
    for (const char* path : logged) {
        Target* added = add_library_target(path, false, false);
        if (added && remove_instrumented) {
            util->temp_files.add_arg(added->cached_name);
        }
    }
}
