#include "support/runtime_support.h"

#include <sstream>

namespace ryn_test {

InstrData read_instrdata(const std::string& path) {
    InstrData data;
    std::istringstream in(read_file(path));
    std::string line;
    std::getline(in, line);
    if (line != "ryn-instrdata 1") {
        return data;
    }
    auto field = [&](const std::string& key) {
        std::getline(in, line);
        return line.rfind(key + " ", 0) == 0 ? line.substr(key.size() + 1) : std::string();
    };
    data.object = field("object");
    data.digest = field("digest");
    data.program = field("program");
    data.blocks = std::stoul("0" + field("blocks"));
    while (std::getline(in, line)) {
        std::vector<std::string> parts;
        std::istringstream fields(line);
        for (std::string part; std::getline(fields, part, '\t');) {
            parts.push_back(part);
        }
        // Each function counts once: by its entry block.
        if (parts.size() >= 6 && (std::stoul(parts[3]) & 1) != 0) {
            data.counts[parts[5]] += std::stoul(parts[4]);
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
