#include "coverage/data_loader.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <tuple>

#include "coverage/coverage_error.h"
#include "coverage/file_digest.h"

namespace coverage {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view k_data_suffix = ".instrdata";

uint64_t saturating_add(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

bool same_block(const Block& a, const Block& b) {
    return a.insn_count == b.insn_count && a.line == b.line && a.function == b.function &&
           a.file == b.file;
}

}  // namespace

InstrData merge_instr_data(const std::vector<InstrData>& parts) {
    if (parts.empty()) {
        throw CoverageError("no instrumentation data to merge");
    }
    InstrData merged = parts.front();
    std::map<uint64_t, Block> blocks;
    std::map<uint64_t, Branch> branches;
    std::map<uint64_t, uint64_t> calls;
    std::map<std::tuple<uint64_t, uint64_t, std::string>, uint64_t> indirect;
    for (const InstrData& part : parts) {
        if (part.digest != merged.digest) {
            throw CoverageError("data of two builds of " + merged.object +
                                " cannot be merged (digests " + merged.digest + " and " +
                                part.digest + ")");
        }
        for (const Block& block : part.blocks) {
            const auto [it, fresh] = blocks.try_emplace(block.addr, block);
            if (fresh) {
                continue;
            }
            if (!same_block(it->second, block)) {
                throw CoverageError("data of " + merged.object + " describes the block at 0x" +
                                    (std::ostringstream() << std::hex << block.addr).str() +
                                    " in two ways");
            }
            it->second.count = saturating_add(it->second.count, block.count);
        }
        for (const Branch& branch : part.branches) {
            const auto [it, fresh] = branches.try_emplace(branch.addr, branch);
            if (!fresh) {
                it->second.taken = saturating_add(it->second.taken, branch.taken);
                it->second.not_taken = saturating_add(it->second.not_taken, branch.not_taken);
            }
        }
        for (const EntryCalls& entry : part.calls) {
            calls[entry.addr] = saturating_add(calls[entry.addr], entry.calls);
        }
        for (const IndirectTarget& t : part.indirect) {
            uint64_t& count = indirect[{t.site, t.target, t.object}];
            count = saturating_add(count, t.count);
        }
        merged.counts_exact = merged.counts_exact && part.counts_exact;
    }
    merged.blocks.clear();
    for (auto& [addr, block] : blocks) {
        merged.blocks.push_back(std::move(block));
    }
    merged.branches.clear();
    for (const auto& [addr, branch] : branches) {
        merged.branches.push_back(branch);
    }
    merged.calls.clear();
    for (const auto& [addr, count] : calls) {
        merged.calls.push_back({addr, count});
    }
    merged.indirect.clear();
    for (const auto& [key, count] : indirect) {
        merged.indirect.push_back({std::get<0>(key), std::get<1>(key), count, std::get<2>(key)});
    }
    return merged;
}

std::vector<std::string> data_files_at(const std::string& location) {
    std::error_code ec;
    std::vector<std::string> files;
    if (fs::is_regular_file(location, ec)) {
        files.push_back(location);
    } else if (fs::is_directory(location, ec)) {
        for (const fs::directory_entry& entry : fs::directory_iterator(location, ec)) {
            const std::string name = entry.path().filename().string();
            if (name.ends_with(k_data_suffix) && entry.is_regular_file(ec)) {
                files.push_back(entry.path().string());
            }
        }
        std::sort(files.begin(), files.end());
    }
    return files;
}

InstrData load_target_data(const std::string& target, const std::string& location) {
    const std::vector<std::string> files = data_files_at(location);
    if (files.empty()) {
        throw CoverageError("no instrumentation data for " + target + " at " + location);
    }
    const std::string digest = file_digest(target);
    std::vector<InstrData> parts;
    for (const std::string& file : files) {
        InstrData part = read_instr_data_file(file);
        if (part.digest != digest) {
            throw CoverageError("the data in " + file + " was recorded from another build of " +
                                target + " (digest " + part.digest + ", the file now has " +
                                digest + "); run the instrumented program again");
        }
        parts.push_back(std::move(part));
    }
    return merge_instr_data(parts);
}

}  // namespace coverage
