#include "coverage/gcov_listing.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace coverage {
namespace {

void write_line(std::ostream& out, const std::string& count, uint32_t line,
                const std::string& text) {
    char prefix[64];
    snprintf(prefix, sizeof prefix, "%9s:%5u:", count.c_str(), line);
    out << prefix << text << "\n";
}

}  // namespace

bool write_gcov_listing(std::ostream& out, const FileCoverage& file) {
    std::ifstream source(file.path);
    if (!source) {
        return false;
    }
    write_line(out, "-", 0, "Source:" + file.path);
    uint32_t number = 0;
    for (std::string text; std::getline(source, text);) {
        ++number;
        const auto it = file.lines.find(number);
        if (it == file.lines.end()) {
            write_line(out, "-", number, text);
        } else {
            write_line(out, it->second > 0 ? std::to_string(it->second) : "#####", number, text);
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
