#include "experiment_reports.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "coverage/gcov_listing.h"
#include "coverage/lcov_tracefile.h"
#include "experiment_command.h"
#include "html_report.h"

namespace er_ryn {
namespace {

void write_text_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        throw ToolError("cannot write " + path + ": " + std::strerror(errno));
    }
}

// Returns how many listings were written.
size_t write_listings(const std::string& directory, const coverage::CoverageSummary& summary,
                      std::ostream& err) {
    std::set<std::string> taken;
    size_t written = 0;
    for (const coverage::FileCoverage& file : summary.files) {
        std::ostringstream listing;
        if (!coverage::write_gcov_listing(listing, file, summary.functions)) {
            err << "er_ryn: no annotated listing of " << file.path
                << ": the source cannot be read\n";
            continue;
        }
        write_text_file(directory + "/" + coverage::gcov_listing_name(file.path, taken),
                        listing.str());
        ++written;
    }
    return written;
}

}  // namespace

void write_experiment_reports(const std::string& directory,
                              const coverage::CoverageSummary& summary,
                              const coverage::TableLayout& layout, std::ostream& out,
                              std::ostream& err) {
    std::ostringstream table;
    coverage::print_coverage_table(table, summary, layout);
    write_text_file(directory + "/" + k_table_file, table.str());
    out << table.str() << "\n";

    std::ostringstream tracefile;
    coverage::write_lcov_tracefile(tracefile, summary, "");
    const std::string tracefile_path = directory + "/" + k_tracefile;
    write_text_file(tracefile_path, tracefile.str());
    const size_t listings = write_listings(directory, summary, err);

    out << "Coverage table: " << directory << "/" << k_table_file << "\n"
        << "lcov tracefile: " << tracefile_path << "\n";
    if (listings > 0) {
        out << "Annotated sources: " << directory << "/*.gcov (" << listings << ")\n";
    }
    const std::string html_dir = directory + "/" + k_html_dir;
    const std::string log = directory + "/" + k_genhtml_log;
    switch (write_html_report(tracefile_path, html_dir, log)) {
    case HtmlResult::written: out << "HTML report: " << html_dir << "/index.html\n"; break;
    case HtmlResult::failed:
        err << "er_ryn: genhtml could not make the HTML report; see " << log << "\n";
        break;
    case HtmlResult::not_installed:
        out << "No HTML report: genhtml (package lcov) is not installed\n";
        break;
    }
}

}  // namespace er_ryn
