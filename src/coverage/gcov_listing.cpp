#include "coverage/gcov_listing.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

namespace coverage {
namespace {

void write_line(std::ostream& out, const std::string& count, uint32_t line,
                const std::string& text) {
    char prefix[64];
    snprintf(prefix, sizeof prefix, "%9s:%5u:", count.c_str(), line);
    out << prefix << text << "\n";
}

// The jump of a conditional branch first, then the way on to the next
// instruction, which gcov calls the fallthrough.
void write_branches(std::ostream& out, const std::vector<BranchCoverage>& branches) {
    int number = 0;
    for (const BranchCoverage& branch : branches) {
        const uint64_t counts[2] = {branch.taken, branch.not_taken};
        for (int edge = 0; edge < 2; ++edge, ++number) {
            char text[96];
            if (branch.ran) {
                snprintf(text, sizeof text, "branch %2d taken %llu%s", number,
                         static_cast<unsigned long long>(counts[edge]),
                         edge == 1 ? " (fallthrough)" : "");
            } else {
                snprintf(text, sizeof text, "branch %2d never executed", number);
            }
            out << text << "\n";
        }
    }
}

// Function name -> calls, by the line each begins on. A function compiled
// into two objects (an inline in a header) is one function of its file.
std::map<uint32_t, std::map<std::string, uint64_t>> functions_by_line(
    const std::string& path, const std::vector<FunctionCoverage>& functions) {
    std::map<uint32_t, std::map<std::string, uint64_t>> by_line;
    for (const FunctionCoverage& f : functions) {
        if (f.file == path && f.line != 0) {
            by_line[f.line][f.name] += f.calls;
        }
    }
    return by_line;
}

}  // namespace

bool write_gcov_listing(std::ostream& out, const FileCoverage& file,
                        const std::vector<FunctionCoverage>& functions) {
    std::ifstream source(file.path);
    if (!source) {
        return false;
    }
    const auto starts = functions_by_line(file.path, functions);
    write_line(out, "-", 0, "Source:" + file.path);
    uint32_t number = 0;
    for (std::string text; std::getline(source, text);) {
        ++number;
        if (const auto here = starts.find(number); here != starts.end()) {
            for (const auto& [name, calls] : here->second) {
                out << "function " << name << " called " << calls << "\n";
            }
        }
        const auto it = file.lines.find(number);
        if (it == file.lines.end()) {
            write_line(out, "-", number, text);
        } else {
            write_line(out, it->second > 0 ? std::to_string(it->second) : "#####", number, text);
        }
        if (const auto branches = file.branches.find(number); branches != file.branches.end()) {
            write_branches(out, branches->second);
        }
    }
    return true;
}

std::string gcov_listing_name(const std::string& source, std::set<std::string>& taken) {
    std::string name = std::filesystem::path(source).filename().string() + ".gcov";
    if (taken.contains(name)) {
        name = source;
        std::ranges::replace(name, '/', '#');
        name += ".gcov";
    }
    taken.insert(name);
    return name;
}

}  // namespace coverage
