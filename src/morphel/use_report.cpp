#include "use_report.h"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <vector>

#include "coverage/coverage_summary.h"
#include "coverage/coverage_table.h"
#include "coverage/data_loader.h"
#include "coverage/function_filter.h"
#include "engine_error.h"

namespace morphel {
namespace {

bool asked_for(const EngineRequest& request, std::string_view prefix) {
    for (const std::string& analysis : request.analyses) {
        if (analysis.starts_with(prefix)) {
            return true;
        }
    }
    return false;
}

coverage::FunctionFilter function_filter(const EngineRequest& request) {
    coverage::FunctionFilter filter;
    for (const auto& [option, path] : request.named_paths) {
        if (option == "-blacklist=") {
            filter.exclude_names_in(path);
        } else if (option == "-blacklist_pfx=") {
            filter.exclude_prefixes_in(path);
        }
    }
    return filter;
}

void write_block_list(std::ostream& out, const coverage::InstrData& data,
                      const coverage::FunctionFilter& filter) {
    out << "\nBlocks (address, instructions, runs, source line, function):\n";
    for (const coverage::Block& block : data.blocks) {
        if (filter.excludes(block.function)) {
            continue;
        }
        char head[64];
        snprintf(head, sizeof head, "  %#10llx %5u %7llu  ", static_cast<unsigned long long>(block.addr),
                 block.insn_count, static_cast<unsigned long long>(block.count));
        out << head << (block.file.empty() ? "?" : block.file) << ":" << block.line << "  "
            << (block.function.empty() ? "?" : block.function) << "\n";
    }
}

}  // namespace

void write_use_report(const EngineRequest& request, std::ostream& out) {
    const std::string location = request.use_location.value_or("");
    const coverage::InstrData data = coverage::load_target_data(request.input, location);
    const coverage::FunctionFilter filter = function_filter(request);
    const coverage::CoverageSummary summary = coverage::summarize({data}, filter);

    out << request.version_line() << " coverage of " << request.input << "\n"
        << "data: " << location << "\n\n";
    // One target's report is short enough to show every function.
    coverage::print_coverage_table(out, summary, coverage::layout_for_requests({}));
    if (asked_for(request, "-bbc")) {
        write_block_list(out, data, filter);
    }
    for (const std::string& analysis : request.analyses) {
        if (!analysis.starts_with("-bbc") && !analysis.starts_with("-function") &&
            analysis != "-bcc") {
            out << "\n" << analysis << ": not recorded by coverage instrumentation\n";
        }
    }
}

void emit_use_report(const EngineRequest& request) {
    std::ostringstream report;
    write_use_report(request, report);
    if (!request.report_file) {
        std::cout << report.str();
        std::cout.flush();
        return;
    }
    // Every target of a run names the same file, which the driver removed
    // before the first: each report goes after the ones before it.
    std::ofstream out(*request.report_file, std::ios::app);
    if (!out) {
        fail_with_errno("cannot create " + *request.report_file, errno);
    }
    out << report.str();
    out.close();
    if (!out) {
        fail_with_errno("cannot write " + *request.report_file, errno);
    }
}

}  // namespace morphel
