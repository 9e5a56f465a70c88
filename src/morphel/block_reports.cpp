// Block and branch counts: the most executed first, or every one of a
// function in address order.
#include <algorithm>
#include <unordered_set>

#include "analysis_reports.h"
#include "json_lines.h"

namespace morphel {
namespace {

// The indices of the blocks a "=<function>" request names, ascending.
std::vector<size_t> blocks_of(const ExecutionProfile& profile, const std::string& name) {
    std::vector<size_t> blocks;
    for (const ProfileFunction* function : profile.named(name)) {
        blocks.insert(blocks.end(), function->blocks.begin(), function->blocks.end());
    }
    std::sort(blocks.begin(), blocks.end());
    return blocks;
}

// The ones of `candidates` with a non-zero `weight`, heaviest first (ties
// by position), at most `top`.
template <typename Weight>
std::vector<size_t> heaviest(size_t candidates, size_t top, Weight weight) {
    std::vector<size_t> chosen;
    for (size_t i = 0; i < candidates; ++i) {
        if (weight(i) > 0) {
            chosen.push_back(i);
        }
    }
    std::stable_sort(chosen.begin(), chosen.end(),
                     [&](size_t a, size_t b) { return weight(a) > weight(b); });
    if (chosen.size() > top) {
        chosen.resize(top);
    }
    return chosen;
}

}  // namespace

void write_block_counts(const ExecutionProfile& profile, const AnalysisRequest& request,
                        AnalysisOutput out) {
    const std::vector<ProfileBlock>& blocks = profile.blocks();
    std::vector<size_t> shown;
    if (request.function) {
        shown = blocks_of(profile, *request.function);
        write_heading(out.text, request, "every block of " + *request.function + ", by address");
    } else {
        shown =
            heaviest(blocks.size(), request.top, [&](size_t i) { return blocks[i].data->count; });
        const size_t ran = static_cast<size_t>(std::ranges::count_if(
            blocks, [](const ProfileBlock& block) { return block.data->executed(); }));
        write_heading(out.text, request, "the most executed blocks");
        out.text << format("%zu of %zu blocks ran; %zu shown\n", ran, blocks.size(), shown.size());
    }
    out.text << "     address            count  insns  source  function\n";
    for (const size_t index : shown) {
        const ProfileBlock& block = blocks[index];
        const coverage::Block& data = *block.data;
        const std::string& function = profile.functions()[block.function].demangled;
        out.text << format("  %#10llx %16llu %6u  ", static_cast<unsigned long long>(data.addr),
                           static_cast<unsigned long long>(data.count), data.insn_count)
                 << source_text(data.file, data.line) << "  " << function << "\n";
        out.rows.push_back(JsonObject()
                               .text("address", hex_text(data.addr))
                               .number("count", data.count)
                               .number("instructions", data.insn_count)
                               .text("file", data.file)
                               .number("line", data.line)
                               .text("function", function)
                               .str());
    }
}

void write_branch_counts(const ExecutionProfile& profile, const AnalysisRequest& request,
                         AnalysisOutput out) {
    const std::vector<coverage::Branch>& branches = profile.data().branches;
    const auto executions = [&](size_t i) {
        return saturating_add(branches[i].taken, branches[i].not_taken);
    };
    std::vector<size_t> shown;
    if (request.function) {
        std::unordered_set<const ProfileFunction*> named;
        for (const ProfileFunction* function : profile.named(*request.function)) {
            named.insert(function);
        }
        for (size_t i = 0; i < branches.size(); ++i) {
            if (named.contains(profile.function_at(branches[i].addr))) {
                shown.push_back(i);
            }
        }
        write_heading(out.text, request,
                      "every conditional branch of " + *request.function + ", by address");
    } else {
        shown = heaviest(branches.size(), request.top, executions);
        const size_t ran = static_cast<size_t>(std::ranges::count_if(
            branches, [](const coverage::Branch& b) { return b.taken > 0 || b.not_taken > 0; }));
        write_heading(out.text, request, "the most executed conditional branches");
        out.text << format("%zu of %zu conditional branches ran; %zu shown\n", ran, branches.size(),
                           shown.size());
    }
    if (!profile.data().counts_exact) {
        out.text
            << "note: runs of the coverage way record no branch counts; these are incomplete\n";
    }
    out.text << "     address            taken        not taken   taken%  source  function\n";
    for (const size_t index : shown) {
        const coverage::Branch& branch = branches[index];
        const LineRow* row = profile.facts().line_of(branch.addr);
        const coverage::Block* block = profile.data().block_at(branch.block);
        const std::string file = row ? profile.facts().files[row->file] : block ? block->file : "";
        const uint32_t line = row ? row->line : block ? block->line : 0;
        const ProfileFunction* function = profile.function_at(branch.addr);
        const std::string name = function ? function->demangled : block ? block->function : "?";
        out.text << format("  %#10llx %16llu %16llu %7s  ",
                           static_cast<unsigned long long>(branch.addr),
                           static_cast<unsigned long long>(branch.taken),
                           static_cast<unsigned long long>(branch.not_taken),
                           percent(branch.taken, executions(index)).c_str())
                 << source_text(file, line) << "  " << name << "\n";
        out.rows.push_back(JsonObject()
                               .text("address", hex_text(branch.addr))
                               .text("block", hex_text(branch.block))
                               .number("taken", branch.taken)
                               .number("not_taken", branch.not_taken)
                               .ratio("taken_ratio", branch.taken, executions(index))
                               .text("file", file)
                               .number("line", line)
                               .text("function", name)
                               .str());
    }
}

}  // namespace morphel
