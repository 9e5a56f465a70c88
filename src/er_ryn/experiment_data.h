// The data of every target of an experiment, read and checked, and the
// functions the experiment leaves out.
#pragma once

#include <ostream>
#include <vector>

#include "coverage/function_filter.h"
#include "coverage/instr_data.h"
#include "experiment_command.h"

namespace er_ryn {

// The merged data of each target whose data can be used. A target without a
// data location, or whose data is missing, malformed or recorded from
// another build, is left out with one line on `err` naming it and saying why.
std::vector<coverage::InstrData> load_experiment_data(const ExperimentCommand& command,
                                                      std::ostream& err);

// -blacklist= and -blacklist_pfx= name files of names and prefixes; -fignore=
// names a file of names, or is itself a list of names when no such file
// exists. Throws coverage::CoverageError when a list file cannot be
// read.
coverage::FunctionFilter experiment_filter(const ExperimentCommand& command);

}  // namespace er_ryn
