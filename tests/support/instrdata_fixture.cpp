#include "support/instrdata_fixture.h"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "coverage/file_digest.h"
#include "support/engine_support.h"
#include "support/probe_table_reader.h"

namespace ryn_test {

std::vector<coverage::Block> line_table_blocks(const std::string& binary,
                                               const std::string& source) {
    const std::string copy = binary + ".probed";
    std::vector<coverage::Block> blocks;
    const std::optional<ProbeTable> table =
        make_probed_copy(binary, copy, "./") ? read_probe_table(copy) : std::nullopt;
    if (!table) {
        ADD_FAILURE() << "no probe table in the copy of " << binary;
        return blocks;
    }
    const std::string base = std::filesystem::path(source).filename().string();
    for (const ryn_probe& probe : table->probes) {
        if (std::filesystem::path(table->text(probe.file)).filename() == base) {
            blocks.push_back({probe.addr, probe.insn_count, probe.line, probe.flags, 0,
                              table->text(probe.function), source});
        }
    }
    return blocks;
}

std::vector<coverage::Block> run_lines(std::vector<coverage::Block> blocks,
                                       const std::set<uint32_t>& lines, uint64_t count) {
    for (coverage::Block& block : blocks) {
        if (lines.contains(block.line)) {
            block.count = count;
        }
    }
    return blocks;
}

coverage::InstrData instrdata_for(const std::string& object, std::vector<coverage::Block> blocks,
                                  const std::string& program) {
    return {object, coverage::file_digest(object), program, std::move(blocks), {}, {}};
}

void write_instrdata(const std::string& path, const coverage::InstrData& data) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::trunc);
    coverage::write_instr_data(out, data);
}

}  // namespace ryn_test
