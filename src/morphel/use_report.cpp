#include "use_report.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <vector>

#include "engine_error.h"

namespace morphel {
namespace {

namespace fs = std::filesystem;

// Regular files at the location: the location itself when it is a file, or
// everything below it when it is a directory.
std::vector<fs::path> data_files(const fs::path& location) {
    std::error_code ec;
    std::vector<fs::path> files;
    if (fs::is_regular_file(location, ec)) {
        files.push_back(location);
    } else if (fs::is_directory(location, ec)) {
        for (auto it = fs::recursive_directory_iterator(location, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (it->is_regular_file(ec)) {
                files.push_back(it->path());
            }
        }
        std::sort(files.begin(), files.end());
    }
    return files;
}

}  // namespace

void write_use_report(const EngineRequest& request, std::ostream& out) {
    out << request.version_line() << " analysis of " << request.input << "\n";
    out << "analyses:";
    for (const std::string& analysis : request.analyses) {
        out << " " << analysis;
    }
    out << (request.analyses.empty() ? " none\n" : "\n");
    const fs::path location = request.use_location.value_or("");
    out << "data: " << location.string() << "\n";
    const std::vector<fs::path> files = data_files(location);
    for (const fs::path& file : files) {
        std::error_code ec;
        const uintmax_t size = fs::file_size(file, ec);
        out << "  " << file.string() << " " << (ec ? 0 : size) << "\n";
    }
    if (files.empty()) {
        out << "  no data found\n";
    }
}

void emit_use_report(const EngineRequest& request) {
    if (!request.report_file) {
        write_use_report(request, std::cout);
        std::cout.flush();
        return;
    }
    std::ofstream out(*request.report_file, std::ios::trunc);
    if (!out) {
        fail_with_errno("cannot create " + *request.report_file, errno);
    }
    write_use_report(request, out);
    out.close();
    if (!out) {
        fail_with_errno("cannot write " + *request.report_file, errno);
    }
}

}  // namespace morphel
