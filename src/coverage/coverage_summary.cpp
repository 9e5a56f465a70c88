#include "coverage/coverage_summary.h"

#include <algorithm>
#include <utility>

namespace coverage {
namespace {

using LineKey = std::pair<std::string, uint32_t>;

// The lines a set of blocks starts on, each executed when any block did.
void count_lines(const std::map<LineKey, uint64_t>& lines, Measures& measures) {
    for (const auto& [key, count] : lines) {
        ++measures.lines;
        measures.lines_executed += count > 0;
    }
}

void note_line(std::map<LineKey, uint64_t>& lines, const Block& block) {
    if (block.line == 0 || block.file.empty()) {
        return;
    }
    uint64_t& count = lines[{block.file, block.line}];
    count = std::max(count, block.count);
}

struct FunctionBuilder {
    FunctionCoverage coverage;
    std::map<LineKey, uint64_t> lines;
    bool has_entry = false;
};

uint64_t calls_of(const InstrData& object, const Block& entry) {
    const auto it =
        std::lower_bound(object.calls.begin(), object.calls.end(), entry.addr,
                         [](const EntryCalls& c, uint64_t addr) { return c.addr < addr; });
    return it != object.calls.end() && it->addr == entry.addr ? it->calls : entry.count;
}

void note_branches(const InstrData& object, const FunctionFilter& filter,
                   std::map<std::string, FileCoverage>& files) {
    if (!object.counts_exact) {
        return;
    }
    for (const Branch& branch : object.branches) {
        const Block* block = object.block_at(branch.block);
        if (block == nullptr || block->line == 0 || block->file.empty() ||
            filter.excludes(block->function)) {
            continue;
        }
        files[block->file].branches[block->line].push_back(
            {branch.taken, branch.not_taken, block->executed()});
    }
}

}  // namespace

void Measures::add_block(const Block& block) {
    ++blocks;
    insns += block.insn_count;
    if (block.executed()) {
        ++blocks_executed;
        insns_executed += block.insn_count;
    }
}

CoverageSummary summarize(const std::vector<InstrData>& objects, const FunctionFilter& filter) {
    std::map<std::pair<std::string, std::string>, FunctionBuilder> functions;
    std::map<std::string, FileCoverage> files;
    std::map<LineKey, uint64_t> all_lines;
    CoverageSummary summary;

    for (const InstrData& object : objects) {
        for (const Block& block : object.blocks) {
            if (filter.excludes(block.function)) {
                continue;
            }
            summary.total.add_block(block);
            note_line(all_lines, block);
            if (!block.file.empty()) {
                FileCoverage& file = files[block.file];
                file.measures.add_block(block);
            }
            if (block.function.empty()) {
                continue;
            }
            FunctionBuilder& builder = functions[{object.object, block.function}];
            FunctionCoverage& function = builder.coverage;
            if (function.measures.blocks == 0) {
                function.object = object.object;
                function.name = block.function;
            }
            // The function begins at its entry block, or else at its lowest
            // address, which blocks arrive in.
            if ((block.is_function_entry() && !builder.has_entry) ||
                function.measures.blocks == 0) {
                builder.has_entry = block.is_function_entry();
                function.file = block.file;
                function.line = block.line;
                function.entry_count = block.count;
                function.calls = calls_of(object, block);
            }
            function.measures.add_block(block);
            note_line(builder.lines, block);
        }
        note_branches(object, filter, files);
    }

    for (const auto& [key, count] : all_lines) {
        FileCoverage& file = files[key.first];
        file.lines[key.second] = count;
        ++file.measures.lines;
        file.measures.lines_executed += count > 0;
    }
    count_lines(all_lines, summary.total);

    for (auto& [key, builder] : functions) {
        FunctionCoverage& function = builder.coverage;
        count_lines(builder.lines, function.measures);
        function.measures.functions = 1;
        function.measures.functions_executed = function.measures.blocks_executed > 0;
        summary.total.functions += 1;
        summary.total.functions_executed += function.measures.functions_executed;
        if (!function.file.empty()) {
            Measures& file = files[function.file].measures;
            file.functions += 1;
            file.functions_executed += function.measures.functions_executed;
        }
        summary.functions.push_back(std::move(function));
    }
    for (auto& [path, file] : files) {
        file.path = path;
        summary.files.push_back(std::move(file));
    }
    return summary;
}

}  // namespace coverage
