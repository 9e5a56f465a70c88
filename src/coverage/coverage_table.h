// The coverage table printed on the terminal: a row per function (when
// asked for), per source file and the total, in aligned columns.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "coverage/coverage_summary.h"

namespace coverage {

// The measures an experiment can ask for, each a column of the table.
enum class Column { executed, instructions_covered, block_percent, instruction_percent, lines };

struct TableLayout {
    bool function_rows = false;
    std::vector<Column> columns;
};

// The layout for the requests "-er:function", "-er:executed",
// "-er:ninstrcover", "-er:blockcover%" and "-er:instrcover%" among `args`
// (other arguments are ignored), in the order given; line coverage always
// comes last. Without any request, every column and the function rows.
TableLayout layout_for_requests(const std::vector<std::string>& args);

void print_coverage_table(std::ostream& out, const CoverageSummary& summary,
                          const TableLayout& layout);

// "12.5" for 1 of 8; "-" when there is nothing to cover.
std::string percent_text(uint64_t part, uint64_t whole);

}  // namespace coverage
