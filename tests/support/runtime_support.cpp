#include "support/runtime_support.h"

#include "coverage/instr_data.h"

namespace ryn_test {

InstrData read_instrdata(const std::string& path) {
    const coverage::InstrData read = coverage::read_instr_data_file(path);
    InstrData data;
    data.object = read.object;
    data.digest = read.digest;
    data.program = read.program;
    data.blocks = read.blocks.size();
    for (const coverage::Block& block : read.blocks) {
        // Each function counts once: by its entry block.
        if (block.is_function_entry()) {
            data.counts[block.function] += block.count;
        }
    }
    return data;
}

std::vector<std::string> reached(const InstrData& data, const std::vector<std::string>& among) {
    std::vector<std::string> names;
    for (const auto& [name, count] : data.counts) {
        for (const auto& wanted : among) {
            if (name == wanted && count > 0) {
                names.push_back(name);
            }
        }
    }
    return names;
}

std::string main_settings(const std::string& original, const std::string& datadir,
                          const std::vector<std::string>& records) {
    std::string text = "original " + original + "\ndatadir " + datadir + "\n";
    for (const auto& record : records) {
        text += "ryninfo " + record + "\n";
    }
    return text;
}

std::string audit_env() {
    return "LD_AUDIT=" + stage_lib("amd64/ryndl.so");
}

}  // namespace ryn_test
