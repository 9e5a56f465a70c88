// Per-function analyses: calls and instructions executed, the mix of
// instructions executed, and the disassembly with counts.
#include <algorithm>
#include <map>

#include "analysis_reports.h"
#include "json_lines.h"

namespace morphel {
namespace {

void write_function_heading(std::ostream& text, const ExecutionProfile& profile,
                            const ProfileFunction& function) {
    std::string where;
    if (!function.blocks.empty()) {
        const coverage::Block& entry = *profile.blocks()[function.blocks.front()].data;
        where = " at " + source_text(entry.file, entry.line);
    }
    text << "\nfunction " << function.demangled << where << ": "
         << format("%llu calls, %llu instructions executed",
                   static_cast<unsigned long long>(function.calls),
                   static_cast<unsigned long long>(function.executed_instructions))
         << (function.blocks.empty() ? " (no blocks recorded: its code was not instrumented)" : "")
         << "\n";
}

// "name (count), ...": where an indirect branch went, if it recorded any
// target; the disassembly shows it after the instruction.
std::string reached_text(const ExecutionProfile& profile, TargetNames& names,
                         const ProfileBlock& block, const Instruction& insn) {
    const std::vector<ReachedTarget> reached = reached_targets(profile, names, block, insn);
    if (std::ranges::none_of(reached,
                             [](const ReachedTarget& t) { return t.kind == CallKind::direct; })) {
        return "";
    }
    std::string text;
    for (const ReachedTarget& target : reached) {
        text +=
            (text.empty() ? "" : ", ") + target.name + " (" + std::to_string(target.count) + ")";
    }
    return text;
}

}  // namespace

void write_function_counts(const ExecutionProfile& profile, const AnalysisRequest& request,
                           AnalysisOutput out) {
    const std::vector<const ProfileFunction*> shown = chosen_functions(profile, request);
    if (request.function) {
        write_heading(out.text, request, "calls and instructions executed of " + *request.function);
    } else {
        write_heading(out.text, request, "the hottest functions, by instructions executed");
        out.text << format("%zu of %zu functions ran; %zu shown\n", profile.functions_run(),
                           profile.functions().size(), shown.size());
    }
    const uint64_t total = profile.executed_instructions();
    out.text << "           calls     instructions      blocks run    share  function\n";
    for (const ProfileFunction* function : shown) {
        out.text << format("  %14llu %16llu %7zu/%-7zu %7s  ",
                           static_cast<unsigned long long>(function->calls),
                           static_cast<unsigned long long>(function->executed_instructions),
                           function->blocks_executed, function->blocks.size(),
                           percent(function->executed_instructions, total).c_str())
                 << function->demangled << "\n";
        out.rows.push_back(JsonObject()
                               .text("function", function->demangled)
                               .text("symbol", function->symbol)
                               .number("calls", function->calls)
                               .number("instructions_executed", function->executed_instructions)
                               .number("blocks_executed", function->blocks_executed)
                               .number("blocks", function->blocks.size())
                               .ratio("share", function->executed_instructions, total)
                               .str());
    }
}

void write_instruction_mix(const ExecutionProfile& profile, const AnalysisRequest& request,
                           AnalysisOutput out) {
    const std::vector<const ProfileFunction*> shown = chosen_functions(profile, request);
    write_heading(out.text, request,
                  request.function ? "instructions executed by mnemonic in " + *request.function
                                   : "instructions executed by mnemonic in the hottest functions");
    for (const ProfileFunction* function : shown) {
        std::map<std::string, uint64_t> counts;
        for (const size_t index : function->blocks) {
            const ProfileBlock& block = profile.blocks()[index];
            for (const Instruction& insn : block.instructions) {
                uint64_t& count = counts[ZydisMnemonicGetString(insn.mnemonic)];
                count = saturating_add(count, block.data->count);
            }
        }
        std::vector<std::pair<std::string, uint64_t>> rows(counts.begin(), counts.end());
        std::stable_sort(rows.begin(), rows.end(),
                         [](const auto& a, const auto& b) { return a.second > b.second; });
        write_function_heading(out.text, profile, *function);
        out.text << "             count    share  mnemonic\n";
        for (const auto& [mnemonic, count] : rows) {
            out.text << format("  %16llu %7s  %s\n", static_cast<unsigned long long>(count),
                               percent(count, function->executed_instructions).c_str(),
                               mnemonic.c_str());
            out.rows.push_back(JsonObject()
                                   .text("function", function->demangled)
                                   .text("mnemonic", mnemonic)
                                   .number("count", count)
                                   .str());
        }
    }
}

void write_disassembly(const ExecutionProfile& profile, const AnalysisRequest& request,
                       AnalysisOutput out) {
    const std::vector<const ProfileFunction*> shown = chosen_functions(profile, request);
    write_heading(out.text, request,
                  request.function ? "disassembly of " + *request.function + " (Intel syntax)"
                                   : "disassembly of the hottest functions (Intel syntax)");
    TargetNames names;
    for (const ProfileFunction* function : shown) {
        write_function_heading(out.text, profile, *function);
        out.text << "             count     address   line  instruction\n";
        for (const size_t index : function->blocks) {
            const ProfileBlock& block = profile.blocks()[index];
            const coverage::Block& data = *block.data;
            if (block.instructions.empty()) {
                out.text << format(
                    "  %16llu  %#10llx         (%u instructions that do not decode)\n",
                    static_cast<unsigned long long>(data.count),
                    static_cast<unsigned long long>(data.addr), data.insn_count);
                continue;
            }
            for (const Instruction& insn : block.instructions) {
                const LineRow* row = profile.facts().line_of(insn.addr);
                const uint32_t line = row ? row->line : data.line;
                const std::string text =
                    profile.text(insn, reached_text(profile, names, block, insn));
                out.text << format("  %16llu  %#10llx %6s  %s\n",
                                   static_cast<unsigned long long>(data.count),
                                   static_cast<unsigned long long>(insn.addr),
                                   line ? std::to_string(line).c_str() : "?", text.c_str());
                out.rows.push_back(JsonObject()
                                       .text("function", function->demangled)
                                       .text("address", hex_text(insn.addr))
                                       .number("count", data.count)
                                       .number("line", line)
                                       .text("instruction", text)
                                       .str());
            }
        }
    }
}

}  // namespace morphel
