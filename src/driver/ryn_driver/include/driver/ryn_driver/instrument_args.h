// The two argument lists the instrumentation phase builds for one target:
// the signature that decides what the instrumented copy looks like, and the
// command that starts the rewriting engine.
#pragma once

#include <optional>
#include <string>

#include "ryn/arg_cache.h"

#include "ryn/driver_parts.h"

namespace ryn {

class ExecUtil;
class Target;

// The parts of the run state the instrumentation phase uses.
struct InstrumentPhase {
    const RynOptions& opts;
    const ToolArgs& tools;
    const InstallLocations& loc;
    RunState& state;
    ExecUtil& util;
};

struct InstrumentArgs {
    ArgCache signature;
    ArgCache engine;
};

// Builds both lists for `t` up to the point where the rebuild decision is
// made. `data_path` is the target's instrumentation-data directory, absent
// under the memory checker. Fatal when a runtime or audit library that the
// copy would depend on is missing.
InstrumentArgs build_instrument_args(const InstrumentPhase& phase, Target* t,
                                     const std::optional<std::string>& data_path);

}  // namespace ryn
