#include "analysis_request.h"

#include <array>
#include <charconv>
#include <utility>

#include "engine_error.h"

namespace morphel {
namespace {

constexpr std::array<std::pair<const char*, AnalysisKind>, 6> k_kinds = {{
    {"bbc", AnalysisKind::blocks},
    {"branch", AnalysisKind::branches},
    {"ifreq", AnalysisKind::instruction_mix},
    {"cc", AnalysisKind::call_edges},
    {"function", AnalysisKind::functions},
    {"dis", AnalysisKind::disassembly},
}};

[[noreturn]] void malformed(const std::string& arg, const std::string& why) {
    throw EngineError("malformed analysis " + arg + ": " + why +
                      " (expected -bbc, -branch, -ifreq, -cc, -function or -dis, optionally "
                      "followed by =N or =<function>)");
}

}  // namespace

std::optional<AnalysisRequest> parse_analysis(const std::string& arg) {
    // The coverage front end asks for the coverage table by this word.
    if (arg == "-bcc") {
        return std::nullopt;
    }
    const std::string word = arg.starts_with("-") ? arg.substr(1) : arg;
    const size_t equals = word.find('=');
    const std::string name = word.substr(0, equals);
    AnalysisRequest request;
    request.word = word;
    request.top = k_default_top;
    bool known = false;
    for (const auto& [kind_name, kind] : k_kinds) {
        if (name == kind_name) {
            request.kind = kind;
            known = true;
        }
    }
    if (!known) {
        malformed(arg, "unknown analysis \"" + name + "\"");
    }
    if (equals == std::string::npos) {
        return request;
    }
    const std::string value = word.substr(equals + 1);
    if (value.empty()) {
        malformed(arg, "nothing after '='");
    }
    if (value.find_first_not_of("0123456789") != std::string::npos) {
        request.function = value;
        return request;
    }
    size_t top = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), top);
    if (ec != std::errc() || end != value.data() + value.size() || top == 0) {
        malformed(arg, "N must be a whole number from 1 up");
    }
    request.top = top;
    return request;
}

}  // namespace morphel
