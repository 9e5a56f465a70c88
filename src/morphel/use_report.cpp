#include "use_report.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <vector>

#include "analysis_reports.h"
#include "analysis_request.h"
#include "coverage/analytics_file.h"
#include "coverage/coverage_summary.h"
#include "coverage/coverage_table.h"
#include "coverage/data_loader.h"
#include "coverage/function_filter.h"
#include "engine_error.h"
#include "execution_profile.h"
#include "json_lines.h"
#include "text_file_write.h"

namespace morphel {
namespace {

namespace fs = std::filesystem;

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

std::vector<AnalysisRequest> analyses_asked(const EngineRequest& request) {
    std::vector<AnalysisRequest> analyses;
    for (const std::string& arg : request.analyses) {
        if (std::optional<AnalysisRequest> analysis = parse_analysis(arg)) {
            analyses.push_back(std::move(*analysis));
        }
    }
    return analyses;
}

void append_to(const std::string& path, const std::string& text, std::ios::openmode mode) {
    std::ofstream out(path, mode);
    if (!out) {
        fail_with_errno("cannot create " + path, errno);
    }
    out << text;
    out.close();
    if (!out) {
        fail_with_errno("cannot write " + path, errno);
    }
}

// Puts this target's rows into the analytics file, in place of any it had:
// every target of a coverage run names the same file. A reader sees the old
// text or the new one, never half of either.
void update_analytics_file(const std::string& path, const std::string& object,
                           const coverage::CoverageSummary& summary) {
    std::string existing;
    if (std::ifstream in(path); in) {
        std::ostringstream text;
        text << in.rdbuf();
        existing = text.str();
    }
    write_text_file(path, coverage::merge_object_analytics(existing, object, summary));
}

}  // namespace

std::string machine_readable_path(const EngineRequest& request) {
    if (request.report_file) {
        return *request.report_file + ".jsonl";
    }
    const std::string location = request.use_location.value_or(".");
    std::error_code ec;
    const fs::path directory =
        fs::is_directory(location, ec) ? fs::path(location) : fs::path(location).parent_path();
    const std::string name = fs::path(request.input).filename().string() + ".analysis.jsonl";
    return directory.empty() ? name : (directory / name).string();
}

void write_use_report(const EngineRequest& request, std::ostream& text, std::ostream& json) {
    // A malformed request fails before the data is even read.
    const std::vector<AnalysisRequest> analyses = analyses_asked(request);
    const std::string location = request.use_location.value_or("");
    const coverage::InstrData data = coverage::load_target_data(request.input, location);
    const coverage::FunctionFilter filter = function_filter(request);
    const coverage::CoverageSummary summary = coverage::summarize({data}, filter);
    if (request.analytics_file) {
        update_analytics_file(*request.analytics_file, request.input, summary);
    }

    text << request.version_line() << " coverage of " << request.input << "\n"
         << "data: " << location << "\n";
    if (data.counts_exact) {
        text << "counts: executions\n";
    } else {
        text << "counts: runs: at least one run only noted which blocks it reached, so a count is "
                "the "
                "number of processes that reached the block, not its executions\n";
    }
    if (!analyses.empty()) {
        text << "machine-readable rows: " << machine_readable_path(request) << " (JSON Lines)\n";
    }
    text << "\n";
    // One target's report is short enough to show every function.
    coverage::print_coverage_table(text, summary, coverage::layout_for_requests({}));
    if (analyses.empty()) {
        return;
    }
    const ExecutionProfile profile(request.input, data);
    for (const AnalysisRequest& analysis : analyses) {
        std::vector<std::string> rows;
        write_analysis(profile, analysis, {text, rows});
        json << JsonObject()
                    .text("target", request.input)
                    .text("analysis", analysis.word)
                    .text("counts", data.counts_exact ? "exact" : "runs")
                    .raw("rows", json_array(rows))
                    .str()
             << "\n";
    }
}

void emit_use_report(const EngineRequest& request) {
    std::ostringstream text;
    std::ostringstream json;
    write_use_report(request, text, json);
    const std::string json_path = machine_readable_path(request);
    // The driver removes the -out= file before its first target: the first
    // target starts the rows afresh, the ones after it add theirs. Without
    // -out= the rows file is the target's own and holds this run's rows.
    std::error_code ec;
    const bool first = !request.report_file || !fs::exists(*request.report_file, ec);
    if (!json.str().empty() || (first && fs::exists(json_path, ec))) {
        append_to(json_path, json.str(), first ? std::ios::trunc : std::ios::app);
    }
    if (!request.report_file) {
        std::cout << text.str();
        std::cout.flush();
        return;
    }
    // Every target of a run names the same file: each report goes after the
    // ones before it.
    append_to(*request.report_file, text.str(), std::ios::app);
}

}  // namespace morphel
