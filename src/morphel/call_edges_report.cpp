// Caller-to-callee edges: every call instruction of a block runs as often
// as the block does.
#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include "analysis_reports.h"
#include "indirect_targets.h"
#include "json_lines.h"

namespace morphel {
namespace {

const char* kind_text(CallKind kind) {
    switch (kind) {
    case CallKind::import: return "import";
    case CallKind::indirect: return "indirect";
    default: return "function";
    }
}

struct Edge {
    std::string caller;
    std::string callee;
    CallKind kind = CallKind::direct;
    uint64_t count = 0;
    std::string object;  // a recorded indirect target's object
};

std::vector<Edge> call_edges(const ExecutionProfile& profile) {
    std::map<std::pair<std::string, std::string>, Edge> edges;
    const auto add = [&](const std::string& caller, const std::string& callee, CallKind kind,
                         uint64_t count, const std::string& object) {
        Edge& edge = edges[{caller, callee}];
        edge.caller = caller;
        edge.callee = callee;
        edge.kind = kind;
        edge.object = object;
        edge.count = saturating_add(edge.count, count);
    };
    TargetNames names;
    for (const ProfileBlock& block : profile.blocks()) {
        const std::string& caller = profile.functions()[block.function].demangled;
        for (const Instruction& insn : block.instructions) {
            const std::vector<ReachedTarget> reached = reached_targets(profile, names, block, insn);
            for (const ReachedTarget& target : reached) {
                add(caller, target.name, target.kind, target.count, target.object);
            }
            // A call runs as often as its block.
            if (reached.empty() && insn.call != CallKind::none) {
                add(caller, profile.callee_name(insn), insn.call, block.data->count, "");
            }
        }
    }
    std::vector<Edge> sorted;
    for (auto& [key, edge] : edges) {
        sorted.push_back(std::move(edge));
    }
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Edge& a, const Edge& b) { return a.count > b.count; });
    return sorted;
}

}  // namespace

std::vector<ReachedTarget> reached_targets(const ExecutionProfile& profile, TargetNames& names,
                                           const ProfileBlock& block, const Instruction& insn) {
    // A jump through a table records nothing and is no indirect call.
    const auto [first, last] = std::ranges::equal_range(profile.data().indirect, insn.addr, {},
                                                        &coverage::IndirectTarget::site);
    std::vector<ReachedTarget> reached;
    if (first == last && insn.call != CallKind::indirect) {
        return reached;
    }
    uint64_t attributed = 0, other = 0;
    for (auto t = first; t != last; ++t) {
        if (t->target == 0) {
            other = saturating_add(other, t->count);
            continue;
        }
        attributed = saturating_add(attributed, t->count);
        reached.push_back(
            {names.name(t->object, t->target), t->object, t->count, CallKind::direct});
    }
    std::ranges::stable_sort(reached, std::greater{}, &ReachedTarget::count);
    if (insn.call == CallKind::indirect) {
        other = block.data->count > attributed ? block.data->count - attributed : 0;
    }
    if (other > 0 || (insn.call == CallKind::indirect && first == last)) {
        reached.push_back({"<indirect>", "", other, CallKind::indirect});
    }
    return reached;
}

void write_call_edges(const ExecutionProfile& profile, const AnalysisRequest& request,
                      AnalysisOutput out) {
    std::vector<Edge> edges = call_edges(profile);
    if (request.function) {
        std::set<std::string> names;
        for (const ProfileFunction* function : profile.named(*request.function)) {
            names.insert(function->demangled);
        }
        std::erase_if(edges, [&](const Edge& e) {
            return !names.contains(e.caller) && !names.contains(e.callee);
        });
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
    out.text << "note: indirect calls and jumps count under each target they reached; <indirect> "
                "holds, per "
                "caller, the executions whose target was not recorded\n"
             << "           count  caller -> callee\n";
    for (const Edge& edge : edges) {
        out.text << format("  %14llu  ", static_cast<unsigned long long>(edge.count)) << edge.caller
                 << " -> " << edge.callee << (edge.kind == CallKind::import ? " (imported)" : "")
                 << "\n";
        JsonObject row;
        row.text("caller", edge.caller)
            .text("callee", edge.callee)
            .text("callee_kind", kind_text(edge.kind));
        row.number("count", edge.count);
        if (!edge.object.empty()) {
            row.text("callee_object", edge.object);
        }
        out.rows.push_back(row.str());
    }
}

}  // namespace morphel
