// Helpers for the runtime tests: probed fixture programs run under the audit
// library, and the data files they leave.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "support/probe_table_builder.h"
#include "support/test_support.h"

namespace ryn_test {

// A data file as written by a run: header fields and the count of each
// function's entry block.
struct InstrData {
    std::string object;
    std::string digest;
    std::string program;
    size_t blocks = 0;
    std::map<std::string, unsigned long> counts;
};
InstrData read_instrdata(const std::string& path);

// The functions a data file says were reached, in name order.
std::vector<std::string> reached(const InstrData& data, const std::vector<std::string>& among);

// Settings text of a main program's table: the original path, the data
// directory and the run-information records given as "number value".
std::string main_settings(const std::string& original, const std::string& datadir,
                          const std::vector<std::string>& records);

// The environment assignment that loads the staged audit library.
std::string audit_env();

}  // namespace ryn_test
