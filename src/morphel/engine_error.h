// The engine's one failure: the message becomes the single line
// "morphel: error: <message>" and the exit status 2.
#pragma once

#include <stdexcept>
#include <string>

namespace morphel {

class EngineError : public std::runtime_error {
public:
    explicit EngineError(const std::string& message) : std::runtime_error(message) {}
};

// "<what>: <strerror(err)>"
[[noreturn]] void fail_with_errno(const std::string& what, int err);

// "<path>: <what>: <libelf's last error>"
[[noreturn]] void fail_elf(const std::string& path, const std::string& what);

}  // namespace morphel
