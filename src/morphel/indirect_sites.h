// Indirect calls and jumps that record their targets: which ones, how their
// operand is described for the runtime, and the trampoline code that
// records a target before the instruction runs.
#pragma once

#include <optional>

#include "relocation.h"
#include "ryn/probe_format.h"

namespace morphel {

// An indirect call (ff /2) or jmp (ff /4), whatever its operand.
bool is_indirect_branch(const CodeInsn& insn);

// The record of an indirect call or jmp (slots not yet numbered), or none
// when its operand is one the recording cannot compute: a segment other
// than the default, a 32-bit address, the stack pointer as the target.
std::optional<ryn_indirect> describe_indirect(const CodeInsn& insn);

// Code that computes the site's target as the instruction will, claims a
// slot for it and counts it in the counters at slots_addr; every register,
// flag and the red zone are left as they were.
void record_target(CodeBuffer& code, const ryn_indirect& site, uint64_t slots_addr);

}  // namespace morphel
