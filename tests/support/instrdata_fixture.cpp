#include "support/instrdata_fixture.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "coverage/file_digest.h"
#include "ryn/probe_format.h"
#include "support/test_support.h"

namespace ryn_test {
namespace {

// Function symbols by address.
std::map<uint64_t, std::string> function_symbols(const std::string& binary) {
    const RunResult nm = run({"nm", "-n", "--defined-only", binary});
    EXPECT_EQ(nm.status, 0) << nm.err;
    std::map<uint64_t, std::string> symbols;
    std::istringstream lines(nm.out);
    for (std::string address, type, name; lines >> address >> type >> name;) {
        if (type == "T" || type == "t") {
            symbols[std::stoull(address, nullptr, 16)] = name;
        }
    }
    return symbols;
}

}  // namespace

std::vector<coverage::Block> line_table_blocks(const std::string& binary,
                                               const std::string& source) {
    const RunResult dump = run({"objdump", "--dwarf=decodedline", binary});
    EXPECT_EQ(dump.status, 0) << dump.err;
    const std::string base = std::filesystem::path(source).filename().string();
    const std::map<uint64_t, std::string> symbols = function_symbols(binary);

    // Rows: "<file> <line> <0xaddress> [view] [x]"; an end row has "-" as line.
    std::map<uint64_t, coverage::Block> rows;
    std::vector<uint64_t> ends;
    std::istringstream lines(dump.out);
    for (std::string text; std::getline(lines, text);) {
        std::istringstream fields(text);
        std::string file, line, address;
        if (!(fields >> file >> line >> address) || !address.starts_with("0x")) {
            continue;
        }
        const uint64_t addr = std::stoull(address, nullptr, 16);
        ends.push_back(addr);
        if (file != base || line == "-" || text.find(" x") == std::string::npos) {
            continue;
        }
        coverage::Block& block = rows[addr];
        block.addr = addr;
        block.line = static_cast<uint32_t>(std::stoul(line));
        block.file = source;
        block.flags = RYN_PROBE_LINE_STATEMENT;
        if (auto it = symbols.upper_bound(addr); it != symbols.begin()) {
            --it;
            block.function = it->second;
            if (it->first == addr) {
                block.flags |= RYN_PROBE_FUNCTION_ENTRY;
            }
        }
    }
    std::vector<coverage::Block> blocks;
    for (auto& [addr, block] : rows) {
        uint64_t next = addr + 1;
        for (const uint64_t end : ends) {
            if (end > addr && (next == addr + 1 || end < next)) {
                next = end;
            }
        }
        block.insn_count = static_cast<uint32_t>(next - addr);
        blocks.push_back(block);
    }
    return blocks;
}

void run_lines(std::vector<coverage::Block>& blocks, const std::set<uint32_t>& lines,
               uint64_t count) {
    for (coverage::Block& block : blocks) {
        if (lines.contains(block.line)) {
            block.count = count;
        }
    }
}

coverage::InstrData instrdata_for(const std::string& object, std::vector<coverage::Block> blocks,
                                  const std::string& program) {
    return {object, coverage::file_digest(object), program, std::move(blocks)};
}

void write_instrdata(const std::string& path, const coverage::InstrData& data) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::trunc);
    coverage::write_instr_data(out, data);
}

}  // namespace ryn_test
