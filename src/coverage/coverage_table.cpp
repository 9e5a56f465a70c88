#include "coverage/coverage_table.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>

#include "coverage/symbol_names.h"

namespace coverage {
namespace {

struct Row {
    std::string name;
    std::vector<std::string> cells;
};

std::string ratio_text(uint64_t part, uint64_t whole) {
    return std::to_string(part) + "/" + std::to_string(whole);
}

const char* column_title(Column column) {
    switch (column) {
    case Column::executed: return "Blocks run";
    case Column::instructions_covered: return "Instrs run";
    case Column::block_percent: return "Block%";
    case Column::instruction_percent: return "Instr%";
    case Column::lines: return "Lines run";
    }
    return "";
}

std::string cell(Column column, const Measures& m) {
    switch (column) {
    case Column::executed: return ratio_text(m.blocks_executed, m.blocks);
    case Column::instructions_covered: return ratio_text(m.insns_executed, m.insns);
    case Column::block_percent: return percent_text(m.blocks_executed, m.blocks);
    case Column::instruction_percent: return percent_text(m.insns_executed, m.insns);
    case Column::lines: return ratio_text(m.lines_executed, m.lines);
    }
    return "";
}

Row make_row(std::string name, const Measures& m, const TableLayout& layout) {
    Row row{std::move(name), {}};
    for (const Column column : layout.columns) {
        row.cells.push_back(cell(column, m));
    }
    return row;
}

}  // namespace

std::string percent_text(uint64_t part, uint64_t whole) {
    if (whole == 0) {
        return "-";
    }
    char text[32];
    snprintf(text, sizeof text, "%.1f",
             100.0 * static_cast<double>(part) / static_cast<double>(whole));
    return text;
}

TableLayout layout_for_requests(const std::vector<std::string>& args) {
    static const std::vector<std::pair<std::string, Column>> k_requests = {
        {"-er:executed", Column::executed},
        {"-er:ninstrcover", Column::instructions_covered},
        {"-er:blockcover%", Column::block_percent},
        {"-er:instrcover%", Column::instruction_percent},
    };
    TableLayout layout;
    bool any_request = false;
    for (const std::string& arg : args) {
        if (arg == "-er:function") {
            layout.function_rows = any_request = true;
        }
        for (const auto& [text, column] : k_requests) {
            if (arg == text && std::ranges::find(layout.columns, column) == layout.columns.end()) {
                layout.columns.push_back(column);
                any_request = true;
            }
        }
    }
    if (!any_request) {
        layout.function_rows = true;
        for (const auto& entry : k_requests) {
            layout.columns.push_back(entry.second);
        }
    }
    layout.columns.push_back(Column::lines);
    return layout;
}

void print_coverage_table(std::ostream& out, const CoverageSummary& summary,
                          const TableLayout& layout) {
    std::set<std::string> objects;
    for (const FunctionCoverage& f : summary.functions) {
        objects.insert(f.object);
    }
    // Sections: functions, source files, total; an empty name row separates.
    std::vector<Row> rows;
    rows.push_back({layout.function_rows ? "Function / source file" : "Source file", {}});
    for (const Column column : layout.columns) {
        rows.back().cells.push_back(column_title(column));
    }
    const size_t header_rows = rows.size();
    if (layout.function_rows) {
        for (const FunctionCoverage& f : summary.functions) {
            // The same name may live in two objects of one run.
            std::string name = demangle(f.name);
            if (objects.size() > 1) {
                name += " (" + std::filesystem::path(f.object).filename().string() + ")";
            }
            rows.push_back(make_row(std::move(name), f.measures, layout));
        }
        rows.push_back({"", {}});
    }
    for (const FileCoverage& file : summary.files) {
        rows.push_back(make_row(file.path, file.measures, layout));
    }
    rows.push_back({"", {}});
    Measures total = summary.total;
    rows.push_back(make_row(
        "Total (" + ratio_text(total.functions_executed, total.functions) + " functions run)",
        total, layout));

    // The figures first and the name last: C++ names run long, and a name
    // column as wide as the longest would push the figures off the screen.
    std::vector<size_t> widths(layout.columns.size(), 0);
    for (const Row& row : rows) {
        for (size_t i = 0; i < row.cells.size(); ++i) {
            widths[i] = std::max(widths[i], row.cells[i].size());
        }
    }
    for (size_t r = 0; r < rows.size(); ++r) {
        const Row& row = rows[r];
        if (row.cells.empty()) {
            out << "\n";
            continue;
        }
        std::string line;
        for (size_t i = 0; i < row.cells.size(); ++i) {
            line +=
                std::string(widths[i] - row.cells[i].size() + (i == 0 ? 0 : 2), ' ') + row.cells[i];
        }
        line += "  " + row.name;
        out << line << "\n";
        if (r + 1 == header_rows) {
            out << std::string(line.size(), '-') << "\n";
        }
    }
}

}  // namespace coverage
