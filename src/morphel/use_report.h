// The use mode without an output file: a short report of what was asked for
// and which recorded data was found.
#pragma once

#include <ostream>

#include "engine_request.h"

namespace morphel {

// Lists the analyses requested, the data location and every file found there
// (recursively, in name order) with its size in bytes.
void write_use_report(const EngineRequest& request, std::ostream& out);

// Writes the report to the -out= file, or else to standard output.
void emit_use_report(const EngineRequest& request);

}  // namespace morphel
