#include "coverage/symbol_names.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>

namespace coverage {

std::string demangle(const std::string& symbol) {
    if (!symbol.starts_with("_Z")) {
        return symbol;
    }
    int status = 0;
    const std::unique_ptr<char, decltype(&std::free)> text(
        abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status), &std::free);
    return status == 0 && text ? std::string(text.get()) : symbol;
}

}  // namespace coverage
