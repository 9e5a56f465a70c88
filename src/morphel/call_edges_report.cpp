// Caller-to-callee edges: every call instruction of a block runs as often
// as the block does.
#include <algorithm>
#include <map>
#include <set>

#include "analysis_reports.h"
#include "json_lines.h"

namespace morphel {
namespace {

const char* kind_text(CallKind kind) {
    switch (kind) {
    case CallKind::import:
        return "import";
    case CallKind::indirect:
        return "indirect";
    default:
        return "function";
    }
}

struct Edge {
    std::string caller;
    std::string callee;
    CallKind kind = CallKind::direct;
    uint64_t count = 0;
};

std::vector<Edge> call_edges(const ExecutionProfile& profile) {
    std::map<std::pair<std::string, std::string>, Edge> edges;
    for (const ProfileBlock& block : profile.blocks()) {
        const std::string& caller = profile.functions()[block.function].demangled;
        for (const Instruction& insn : block.instructions) {
            if (insn.call == CallKind::none) {
                continue;
            }
            const std::string callee = profile.callee_name(insn);
            Edge& edge = edges[{caller, callee}];
            edge.caller = caller;
            edge.callee = callee;
            edge.kind = insn.call;
            edge.count = saturating_add(edge.count, block.data->count);
        }
    }
    std::vector<Edge> sorted;
    for (auto& [key, edge] : edges) {
        sorted.push_back(std::move(edge));
    }
    std::stable_sort(sorted.begin(), sorted.end(), [](const Edge& a, const Edge& b) { return a.count > b.count; });
    return sorted;
}

}  // namespace

void write_call_edges(const ExecutionProfile& profile, const AnalysisRequest& request, AnalysisOutput out) {
    std::vector<Edge> edges = call_edges(profile);
    if (request.function) {
        std::set<std::string> names;
        for (const ProfileFunction* function : profile.named(*request.function)) {
            names.insert(function->demangled);
        }
        std::erase_if(edges, [&](const Edge& e) { return !names.contains(e.caller) && !names.contains(e.callee); });
        write_heading(out.text, request, "every call edge from and to " + *request.function);
    } else {
        std::erase_if(edges, [](const Edge& e) { return e.count == 0; });
        const size_t ran = edges.size();
        if (edges.size() > request.top) {
            edges.resize(request.top);
        }
        write_heading(out.text, request, "the hottest caller-callee edges");
        out.text << format("%zu edges ran; %zu shown\n", ran, edges.size());
    }
    out.text << "note: indirect calls count under <indirect> per caller: their targets are not recorded\n"
             << "           count  caller -> callee\n";
    for (const Edge& edge : edges) {
        out.text << format("  %14llu  ", static_cast<unsigned long long>(edge.count)) << edge.caller << " -> "
                 << edge.callee << (edge.kind == CallKind::import ? " (imported)" : "") << "\n";
        out.rows.push_back(JsonObject()
                               .text("caller", edge.caller)
                               .text("callee", edge.callee)
                               .text("callee_kind", kind_text(edge.kind))
                               .number("count", edge.count)
                               .str());
    }
}

}  // namespace morphel
