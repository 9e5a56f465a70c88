// Exception landing pads: code that only the unwinder enters, so no branch
// in the code points at it.
#pragma once

#include <libelf.h>

#include <cstdint>
#include <vector>

namespace morphel {

// Every landing pad named by the call-site tables that .eh_frame's
// descriptions point to, ascending and unique. A table that cannot be read
// contributes nothing.
std::vector<uint64_t> find_landing_pads(Elf* elf);

}  // namespace morphel
