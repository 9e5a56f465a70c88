#include "support/runtime_support.h"

#include <algorithm>
#include <stdexcept>

#include "coverage/file_digest.h"
#include "coverage/instr_data.h"
#include "support/engine_support.h"

namespace ryn_test {

InstrData read_instrdata(const std::string& path) {
    const coverage::InstrData read = coverage::read_instr_data_file(path);
    InstrData data{read.object, read.digest, read.program, {}};
    for (const coverage::Block& block : read.blocks) {
        // Each function counts once: by its entry block.
        if (block.is_function_entry()) {
            data.counts[block.function] += block.count;
        }
    }
    return data;
}

const coverage::Block& entry_of(const coverage::InstrData& data, const std::string& function) {
    const auto it = std::ranges::find_if(data.blocks, [&](const coverage::Block& b) {
        return b.function == function && b.is_function_entry();
    });
    if (it == data.blocks.end()) {
        throw std::runtime_error("no entry block for " + function);
    }
    return *it;
}

uint64_t calls_of(const coverage::InstrData& data, const std::string& function) {
    const uint64_t entry = entry_of(data, function).addr;
    const auto it = std::ranges::find(data.calls, entry, &coverage::EntryCalls::addr);
    return it == data.calls.end() ? UINT64_MAX : it->calls;
}

std::vector<std::pair<uint64_t, uint64_t>> branches_of(const coverage::InstrData& data,
                                                       const std::string& function) {
    std::vector<std::pair<uint64_t, uint64_t>> found;
    for (const coverage::Branch& branch : data.branches) {
        const coverage::Block* block = data.block_at(branch.block);
        if (block && block->function == function) {
            found.emplace_back(branch.taken, branch.not_taken);
        }
    }
    return found;
}

void ProbedProgramTest::build(const std::string& source, const std::string& flags,
                              const std::vector<std::string>& records) {
    ASSERT_TRUE(compile_c(source, original, "-pthread -ldl " + flags));
    std::vector<std::string> all = {"21 prog"};
    all.insert(all.end(), records.begin(), records.end());
    ASSERT_TRUE(make_probed_copy(original, copy, "d", all));
}

RunResult ProbedProgramTest::run_alike(const std::string& args) {
    const RunResult plain = run_shell(original + " " + args, dir.path());
    const RunResult probed = run_shell(copy + " " + args, dir.path());
    EXPECT_EQ(probed.out, plain.out);
    EXPECT_EQ(probed.err, plain.err);
    EXPECT_EQ(probed.status, plain.status);
    return probed;
}

void ProbedProgramTest::check(const char* source, const RunCase& c) {
    ASSERT_NO_FATAL_FAILURE(build(source, c.flags));
    run_shell("rm -rf d", dir.path());
    const RunResult result = run_alike(c.args);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.status, c.status);
    const InstrData recorded = read_instrdata(dir / "d/prog.instrdata");
    EXPECT_EQ(recorded.object, original);
    EXPECT_EQ(recorded.program, "prog");
    EXPECT_EQ(recorded.digest, coverage::file_digest(original));
    for (const auto& [function, count] : c.counts) {
        const auto it = recorded.counts.find(function);
        ASSERT_NE(it, recorded.counts.end()) << function << " has no entry probe";
        EXPECT_EQ(it->second, count) << function;
    }
}

}  // namespace ryn_test
