// The version of the audit library, asked of the library itself: loaded as
// an auditor into a process with QVEN_RYN_AUDIT_VERSION=yes, it answers
// "LAV_VERSION=<n>" on that process's standard output before anything else.
#include <cerrno>
#include <cstdio>
#include <string>

#include "driver/ryn_util/unique_file.h"
#include "i18n/driver_texts.h"
#include "ryn/exec_util.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"

int RynDriver::probe_lav_version() {
    if (lav_version != 0) {
        return lav_version;
    }
    const std::string dir = exec_dir.value_or("");
    const std::string audit_lib = dir.find("/lib/compilers") != std::string::npos
                                      ? dir + "/amd64/ryndl.so"
                                      : dir + "/../lib/compilers/amd64/ryndl.so";
    char command[1024];
    snprintf(command, sizeof command, "QVEN_RYN_AUDIT_VERSION=yes LD_AUDIT=%s %s\n",
             shell_quote(audit_lib).c_str(), shell_quote(program_name.value_or("")).c_str());

    const ryn::UniquePipe pipe(popen(command, "r"));
    if (!pipe) {
        util->fatal(errno, "%s", driver_text(DriverText::NO_AUDIT_VERSION_PIPE));
    }
    int version = 0;
    const int scanned = fscanf(pipe.get(), "LAV_VERSION=%d", &version);
    if (scanned != 1) {
        util->fatal(errno, driver_text(DriverText::NO_AUDIT_VERSION),
                    command, scanned);
    }
    lav_version = version;
    if (very_verbose) {
        util->report_error(MSG_INFO, 0, driver_text(DriverText::AUDIT_VERSION), lav_version);
    }
    return lav_version;
}
