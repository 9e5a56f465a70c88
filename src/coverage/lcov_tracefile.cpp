#include "coverage/lcov_tracefile.h"

#include <map>

namespace coverage {
namespace {

// Two entries per conditional branch, taken then not taken, numbered by the
// branch's place on its line; "-" where the branch's block never ran.
void write_branches(std::ostream& out, const FileCoverage& file) {
    size_t found = 0;
    size_t hit = 0;
    for (const auto& [line, branches] : file.branches) {
        for (size_t block = 0; block < branches.size(); ++block) {
            const BranchCoverage& branch = branches[block];
            const uint64_t counts[2] = {branch.taken, branch.not_taken};
            for (size_t edge = 0; edge < 2; ++edge) {
                out << "BRDA:" << line << "," << block << "," << edge << ",";
                if (branch.ran) {
                    out << counts[edge] << "\n";
                } else {
                    out << "-\n";
                }
                hit += counts[edge] > 0;
            }
            found += 2;
        }
    }
    if (found > 0) {
        out << "BRF:" << found << "\nBRH:" << hit << "\n";
    }
}

}  // namespace

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
            const auto [it, fresh] = functions.try_emplace(f.name, f.line, f.calls);
            if (!fresh) {
                it->second.second += f.calls;
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
        write_branches(out, file);
        size_t lines_hit = 0;
        for (const auto& [line, count] : file.lines) {
            out << "DA:" << line << "," << count << "\n";
            lines_hit += count > 0;
        }
        out << "LF:" << file.lines.size() << "\nLH:" << lines_hit << "\nend_of_record\n";
    }
}

}  // namespace coverage
