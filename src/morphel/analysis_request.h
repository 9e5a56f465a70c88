// One analysis of the use mode as the command line asks for it: "-bbc",
// "-bbc=10", "-bbc=main", ...
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace morphel {

enum class AnalysisKind { blocks, branches, instruction_mix, call_edges, functions, disassembly };

struct AnalysisRequest {
    AnalysisKind kind = AnalysisKind::blocks;
    std::string word;                     // as given, without the leading '-'
    size_t top = 0;                       // rows to show when no function is named
    std::optional<std::string> function;  // "=<function>": only this function
};

constexpr size_t k_default_top = 20;

// Reads "-<kind>[=N|=<function>]". Throws EngineError when the kind is
// unknown, the value is empty or N is 0. Returns nullopt for "-bcc", which
// only asks for the coverage table.
std::optional<AnalysisRequest> parse_analysis(const std::string& arg);

}  // namespace morphel
