// The use mode without an output file: the coverage analyses requested,
// computed from the data recorded for the input file.
#pragma once

#include <ostream>

#include "engine_request.h"

namespace morphel {

// Reads and checks the data at the use location for the input and writes
// the analyses requested: the coverage table per function, per source file
// and in total (for -function, -bcc and -bbc alike), then the block list
// for -bbc; an analysis that coverage data cannot answer is named. Throws
// when the data is missing, malformed or from another build of the input.
void write_use_report(const EngineRequest& request, std::ostream& out);

// Appends the report to the -out= file, or else writes it to standard
// output; nothing is written unless the whole report could be made.
void emit_use_report(const EngineRequest& request);

}  // namespace morphel
