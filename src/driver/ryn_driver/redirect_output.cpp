// Option -O: the driver's own output goes to a file; the original streams
// are kept for the program that collect mode runs and for the caller.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "driver/ryn_driver/phases.h"
#include "driver/ryn_util/unique_fd.h"
#include "i18n/driver_texts.h"
#include "ryn/exec_util.h"

namespace ryn {

void redirect_output(const RynOptions& opts, RunState& state, ExecUtil& util) {
    if (!opts.redirect_file) {
        return;
    }
    const ryn::UniqueFd file(
        open(opts.redirect_file->c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666));
    if (!file.valid()) {
        util.fatal(errno, driver_text(DriverText::CANNOT_OPEN_REDIRECT),
                   opts.redirect_file->c_str());
    }
    constexpr const char* k_dup_failed = driver_text(DriverText::DUP_FAILED);
    state.saved_stdout = dup(1);
    if (state.saved_stdout < 0) {
        util.fatal(errno, "%s", k_dup_failed);
    }
    state.saved_stderr = dup(2);
    if (state.saved_stderr < 0) {
        util.fatal(errno, "%s", k_dup_failed);
    }
    // What is buffered so far belongs to the original streams.
    fflush(stdout);
    fflush(stderr);
    if (dup2(file.get(), 1) < 0 || dup2(file.get(), 2) < 0) {
        util.fatal(errno, "%s", k_dup_failed);
    }
}

void restore_output(RunState& state) {
    // The driver's last words still belong in the redirect file; what the
    // caller prints after the run (the tell-mode answer) is the user's.
    fflush(stdout);
    fflush(stderr);
    for (auto [saved, target] :
         {std::pair{&state.saved_stdout, 1}, std::pair{&state.saved_stderr, 2}}) {
        if (*saved >= 0) {
            dup2(*saved, target);
            close(*saved);
            *saved = -1;
        }
    }
}

}  // namespace ryn
