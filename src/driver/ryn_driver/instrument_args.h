// The two argument lists the instrumentation phase builds for one target:
// the signature that decides what the instrumented copy looks like, and the
// command that starts the rewriting engine.
#pragma once

#include <optional>
#include <string>

#include "ryn/arg_cache.h"

class RynDriver;
class Target;

struct InstrumentArgs {
    ArgCache signature;
    ArgCache engine;
};

// Builds both lists for `t` up to the point where the rebuild decision is
// made. `data_path` is the target's instrumentation-data directory, absent
// under the memory checker. Fatal when a runtime or audit library that the
// copy would depend on is missing.
InstrumentArgs build_instrument_args(RynDriver& driver, Target* t,
                                     const std::optional<std::string>& data_path);
