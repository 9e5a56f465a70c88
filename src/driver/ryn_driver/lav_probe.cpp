// The version of the audit library, asked of the library itself: loaded as
// an auditor into a process with QVEN_RYN_AUDIT_VERSION=yes, it answers
// "LAV_VERSION=<n>" on that process's standard output before anything else.
#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "driver/ryn_cache/remembered_answer.h"
#include "driver/ryn_driver/phases.h"
#include "driver/ryn_util/command_output.h"
#include "i18n/driver_texts.h"
#include "ryn/exec_util.h"
#include "ryn/ryn_cache.h"

namespace ryn {

namespace {

std::optional<int> remembered_version(RememberedAnswer& memory) {
    const std::optional<std::string> text = memory.recall();
    if (!text || text->empty() || text->size() > 9 ||
        text->find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return std::stoi(*text);
}

int finish(const RynOptions& opts, RunState& state, ExecUtil& util, int version) {
    state.lav_version = version;
    if (opts.very_verbose) {
        util.report_error(MSG_INFO, 0, driver_text(DriverText::AUDIT_VERSION), state.lav_version);
    }
    return state.lav_version;
}

}  // namespace

int probe_lav_version(const RynOptions& opts, const InstallLocations& loc, RunState& state,
                      ExecUtil& util) {
    if (state.lav_version != 0) {
        return state.lav_version;
    }
    const std::string dir = loc.exec_dir.value_or("");
    const std::string audit_lib = dir.find("/lib/compilers") != std::string::npos
                                      ? dir + "/amd64/ryndl.so"
                                      : dir + "/../lib/compilers/amd64/ryndl.so";
    // The answer comes from the library loaded into the launcher; while
    // neither file changes, the one a run asked before still holds.
    std::optional<RememberedAnswer> memory;
    if (state.cache) {
        memory.emplace(state.cache->base + "-audit-version.answer", "LAV_VERSION",
                       std::vector<std::string>{audit_lib, loc.program_name.value_or("")});
        if (const std::optional<int> known = remembered_version(*memory)) {
            return finish(opts, state, util, *known);
        }
    }

    char command[1024];
    snprintf(command, sizeof command, "QVEN_RYN_AUDIT_VERSION=yes LD_AUDIT=%s %s\n",
             shell_quote(audit_lib).c_str(), shell_quote(loc.program_name.value_or("")).c_str());

    ryn::ProbeCommand probe;
    probe.args = {loc.program_name.value_or("")};
    probe.set_env = {"QVEN_RYN_AUDIT_VERSION=yes", "LD_AUDIT=" + audit_lib};
    probe.shell_text = command;
    ryn::CommandOutput pipe(probe);
    if (!pipe) {
        util.fatal(errno, "%s", driver_text(DriverText::NO_AUDIT_VERSION_PIPE));
    }
    int version = 0;
    const int scanned = fscanf(pipe.get(), "LAV_VERSION=%d", &version);
    if (scanned != 1) {
        util.fatal(errno, driver_text(DriverText::NO_AUDIT_VERSION), command, scanned);
    }
    // A dry run leaves the cache as it found it.
    if (memory && !util.dry_run) {
        memory->remember(std::to_string(version));
    }
    return finish(opts, state, util, version);
}

}  // namespace ryn
