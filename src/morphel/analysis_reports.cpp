#include "analysis_reports.h"

#include <cstdarg>
#include <cstdio>

#include "driver/ryn_util/text_format.h"

namespace morphel {

std::string format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = ryn::vformat(format, args);
    va_end(args);
    return text;
}

std::string hex_text(uint64_t value) {
    return format("%#llx", static_cast<unsigned long long>(value));
}

std::string source_text(const std::string& file, uint32_t line) {
    return (file.empty() ? "?" : file) + ":" + (line ? std::to_string(line) : "?");
}

std::string percent(uint64_t part, uint64_t whole) {
    if (whole == 0) {
        return "-";
    }
    return format("%.1f%%", 100.0 * static_cast<double>(part) / static_cast<double>(whole));
}

void write_heading(std::ostream& text, const AnalysisRequest& request, const std::string& what) {
    text << "\n== " << request.word << ": " << what;
    if (!request.function) {
        text << ", top " << request.top
             << (request.word.find('=') == std::string::npos ? " (N not given: 20 by default)"
                                                             : "");
    }
    text << " ==\n";
}

std::vector<const ProfileFunction*> chosen_functions(const ExecutionProfile& profile,
                                                     const AnalysisRequest& request) {
    return request.function ? profile.named(*request.function) : profile.hottest(request.top);
}

void write_analysis(const ExecutionProfile& profile, const AnalysisRequest& request,
                    AnalysisOutput out) {
    switch (request.kind) {
    case AnalysisKind::blocks: write_block_counts(profile, request, out); break;
    case AnalysisKind::branches: write_branch_counts(profile, request, out); break;
    case AnalysisKind::instruction_mix: write_instruction_mix(profile, request, out); break;
    case AnalysisKind::call_edges: write_call_edges(profile, request, out); break;
    case AnalysisKind::functions: write_function_counts(profile, request, out); break;
    case AnalysisKind::disassembly: write_disassembly(profile, request, out); break;
    }
}

}  // namespace morphel
