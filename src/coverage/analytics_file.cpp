#include "coverage/analytics_file.h"

#include <array>
#include <cstdint>
#include <sstream>
#include <utility>
#include <vector>

namespace coverage {
namespace {

constexpr const char* k_header =
    "ryn-analytics 1\n"
    "kind\tname\tobject\tfunctions_run\tfunctions\tblocks_run\tblocks\t"
    "instructions_run\tinstructions\tlines_run\tlines\n";

// A field never holds the separators: a tab or line break in a name becomes
// a space.
std::string field(std::string text) {
    for (char& c : text) {
        if (c == '\t' || c == '\n') {
            c = ' ';
        }
    }
    return text;
}

struct Row {
    std::string kind, name, object;
    std::array<uint64_t, 8> numbers{};
};

std::array<uint64_t, 8> numbers_of(const Measures& m) {
    return {m.functions_executed, m.functions, m.blocks_executed, m.blocks,
            m.insns_executed,     m.insns,     m.lines_executed,  m.lines};
}

std::string row_text(const Row& row) {
    std::string text = row.kind + '\t' + field(row.name) + '\t' + field(row.object);
    for (const uint64_t n : row.numbers) {
        text += '\t' + std::to_string(n);
    }
    return text + '\n';
}

// The rows of an earlier text, or none when it is not one this code wrote.
std::vector<Row> parse_rows(const std::string& text) {
    std::vector<Row> rows;
    if (text.rfind(k_header, 0) != 0) {
        return rows;
    }
    std::istringstream in(text.substr(std::string(k_header).size()));
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::istringstream parts(line);
        std::string part;
        while (std::getline(parts, part, '\t')) {
            fields.push_back(part);
        }
        if (fields.size() != 11) {
            return {};
        }
        Row row{fields[0], fields[1], fields[2], {}};
        for (size_t i = 0; i < 8; ++i) {
            const std::string& digits = fields[3 + i];
            if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) {
                return {};
            }
            row.numbers[i] = std::stoull(digits);
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace

void write_analytics(std::ostream& out, const CoverageSummary& summary) {
    out << k_header << row_text({"total", "-", "-", numbers_of(summary.total)});
    for (const FileCoverage& file : summary.files) {
        out << row_text({"file", file.path, "-", numbers_of(file.measures)});
    }
    for (const FunctionCoverage& f : summary.functions) {
        out << row_text({"function", f.name, f.object, numbers_of(f.measures)});
    }
}

std::string merge_object_analytics(const std::string& existing, const std::string& object,
                                   const CoverageSummary& summary) {
    std::vector<Row> rows;
    for (Row& row : parse_rows(existing)) {
        if (row.kind != "total" && row.object != field(object)) {
            rows.push_back(std::move(row));
        }
    }
    rows.push_back({"object", "-", object, numbers_of(summary.total)});
    for (const FileCoverage& file : summary.files) {
        rows.push_back({"file", file.path, object, numbers_of(file.measures)});
    }
    for (const FunctionCoverage& f : summary.functions) {
        rows.push_back({"function", f.name, object, numbers_of(f.measures)});
    }
    Row total{"total", "-", "-", {}};
    for (const Row& row : rows) {
        if (row.kind == "object") {
            for (size_t i = 0; i < total.numbers.size(); ++i) {
                total.numbers[i] += row.numbers[i];
            }
        }
    }
    std::string text = std::string(k_header) + row_text(total);
    // Object rows first, then file rows, then function rows, each in the
    // order the targets came.
    for (const char* kind : {"object", "file", "function"}) {
        for (const Row& row : rows) {
            if (row.kind == kind) {
                text += row_text(row);
            }
        }
    }
    return text;
}

}  // namespace coverage
