#include "engine_error.h"

#include <libelf.h>

#include <cstring>

namespace morphel {

void fail_with_errno(const std::string& what, int err) {
    throw EngineError(what + ": " + std::strerror(err));
}

void fail_elf(const std::string& path, const std::string& what) {
    throw EngineError(path + ": " + what + ": " + elf_errmsg(-1));
}

}  // namespace morphel
