// The jump tables behind a function's indirect jumps: their entries are
// block starts that no direct branch names.
#pragma once

#include <Zydis/Zydis.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "code_facts.h"

namespace morphel {

struct IndirectJumpTargets {
    // False when the jump may reach code inside its function that the
    // entries do not name: nothing may then be placed over more than one
    // instruction in that function.
    bool known = true;
    std::vector<uint64_t> entries;
};

// What the indirect jmp at starts[index] can reach inside its function.
// The table is read up to its first entry that `is_instruction` rejects.
// Recognised: a load through the GOT (a tail call, reaching no code of the
// function); `lea B,[rip+T]; movsxd R,[B+I*4]; add R,B; jmp R` with entries
// relative to T; `jmp [T+I*8]` and `mov R,[T+I*8]; jmp R` with absolute
// entries.
IndirectJumpTargets indirect_jump_targets(const ZydisDecoder& decoder, const CodeFacts& facts,
                                          const std::vector<uint64_t>& starts, size_t index,
                                          const std::function<bool(uint64_t)>& is_instruction);

}  // namespace morphel
