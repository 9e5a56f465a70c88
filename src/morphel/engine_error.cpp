#include "engine_error.h"

#include <cstring>

namespace morphel {

void fail_with_errno(const std::string& what, int err) {
    throw EngineError(what + ": " + std::strerror(err));
}

}  // namespace morphel
