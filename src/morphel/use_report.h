// The use mode without an output file: the coverage table of the input,
// then each analysis requested (-bbc, -branch, -ifreq, -cc, -function,
// -dis), computed from the data recorded for it and its code decoded again.
#pragma once

#include <ostream>
#include <string>

#include "engine_request.h"

namespace morphel {

// Where the machine-readable rows go: beside the -out= file, else in the
// data's directory, named for the input.
std::string machine_readable_path(const EngineRequest& request);

// Writes the text report to `text` and one JSON line per analysis to
// `json`. Throws when an analysis is malformed, names a function the input
// does not have, or the data is missing, malformed or from another build.
void write_use_report(const EngineRequest& request, std::ostream& text, std::ostream& json);

// Appends the text to the -out= file, or else writes it to standard output,
// and the JSON lines to machine_readable_path(); nothing is written unless
// the whole report could be made.
void emit_use_report(const EngineRequest& request);

}  // namespace morphel
