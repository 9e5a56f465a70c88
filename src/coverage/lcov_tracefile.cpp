#include "coverage/lcov_tracefile.h"

#include <map>

namespace coverage {

void write_lcov_tracefile(std::ostream& out, const CoverageSummary& summary,
                          const std::string& test_name) {
    for (const FileCoverage& file : summary.files) {
        out << "TN:" << test_name << "\nSF:" << file.path << "\n";
        // A function compiled into two objects (an inline in a header) is one
        // function of its source file.
        std::map<std::string, std::pair<uint32_t, uint64_t>> functions;
        for (const FunctionCoverage& f : summary.functions) {
            if (f.file != file.path || f.line == 0) {
                continue;
            }
            const auto [it, fresh] = functions.try_emplace(f.name, f.line, f.entry_count);
            if (!fresh) {
                it->second.second += f.entry_count;
            }
        }
        size_t hit = 0;
        for (const auto& [name, where] : functions) {
            out << "FN:" << where.first << "," << name << "\n";
        }
        for (const auto& [name, where] : functions) {
            out << "FNDA:" << where.second << "," << name << "\n";
            hit += where.second > 0;
        }
        out << "FNF:" << functions.size() << "\nFNH:" << hit << "\n";
        size_t lines_hit = 0;
        for (const auto& [line, count] : file.lines) {
            out << "DA:" << line << "," << count << "\n";
            lines_hit += count > 0;
        }
        out << "LF:" << file.lines.size() << "\nLH:" << lines_hit << "\nend_of_record\n";
    }
}

}  // namespace coverage
