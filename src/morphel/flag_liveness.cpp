#include "flag_liveness.h"

#include <algorithm>

#include "relocation.h"

namespace morphel {
namespace {

// What the trampolines' "inc" changes; CF it leaves alone.
constexpr ZydisAccessedFlagsMask k_count_flags =
    ZYDIS_CPUFLAG_OF | ZYDIS_CPUFLAG_SF | ZYDIS_CPUFLAG_ZF | ZYDIS_CPUFLAG_AF | ZYDIS_CPUFLAG_PF;
// A straight run longer than this is not worth following.
constexpr int k_max_scan = 16;

bool shift_or_rotate(ZydisMnemonic mnemonic) {
    switch (mnemonic) {
    case ZYDIS_MNEMONIC_SHL:
    case ZYDIS_MNEMONIC_SHR:
    case ZYDIS_MNEMONIC_SAR:
    case ZYDIS_MNEMONIC_ROL:
    case ZYDIS_MNEMONIC_ROR:
    case ZYDIS_MNEMONIC_RCL:
    case ZYDIS_MNEMONIC_RCR:
    case ZYDIS_MNEMONIC_SHLD:
    case ZYDIS_MNEMONIC_SHRD: return true;
    default: return false;
    }
}

// Whether the instruction surely writes every flag of `mask`. A shift by a
// count that may be zero and a repeated string instruction that may run no
// time leave the flags as they were, whatever the tables say.
bool defines(const CodeInsn& code, ZydisAccessedFlagsMask mask) {
    const ZydisDecodedInstruction& insn = code.insn;
    if (!insn.cpu_flags) {
        return false;
    }
    if (insn.attributes & (ZYDIS_ATTRIB_HAS_REP | ZYDIS_ATTRIB_HAS_REPE | ZYDIS_ATTRIB_HAS_REPNE)) {
        return false;
    }
    if (shift_or_rotate(insn.mnemonic)) {
        const ZydisDecodedOperand& count = code.ops[insn.operand_count_visible - 1];
        const uint64_t width_mask = insn.operand_width == 64 ? 63 : 31;
        if (count.type != ZYDIS_OPERAND_TYPE_IMMEDIATE || (count.imm.value.u & width_mask) == 0) {
            return false;
        }
    }
    const ZydisAccessedFlags& flags = *insn.cpu_flags;
    const ZydisAccessedFlagsMask written =
        flags.modified | flags.set_0 | flags.set_1 | flags.undefined;
    return (written & mask) == mask;
}

bool reads(const CodeInsn& code, ZydisAccessedFlagsMask mask) {
    // Without the tables' word, assume it reads them.
    return !code.insn.cpu_flags || (code.insn.cpu_flags->tested & mask) != 0;
}

bool transfers_control(const CodeInsn& code) {
    switch (code.insn.meta.category) {
    case ZYDIS_CATEGORY_COND_BR:
    case ZYDIS_CATEGORY_UNCOND_BR:
    case ZYDIS_CATEGORY_CALL:
    case ZYDIS_CATEGORY_RET:
    case ZYDIS_CATEGORY_SYSCALL:
    case ZYDIS_CATEGORY_INTERRUPT:
    case ZYDIS_CATEGORY_SYSTEM: return true;
    default: return code.ends_flow();
    }
}

}  // namespace

FlagLiveness::FlagLiveness(const CodeFacts& facts) : facts_(facts) {
    ZydisDecoderInit(&decoder_, ZYDIS_MACHINE_MODE_LONG_64, ZYDIS_STACK_WIDTH_64);
}

bool FlagLiveness::live_at(uint64_t addr) const {
    const auto function =
        std::upper_bound(facts_.functions.begin(), facts_.functions.end(), addr,
                         [](uint64_t a, const Function& f) { return a < f.addr; });
    if (function == facts_.functions.begin()) {
        return true;
    }
    const uint64_t end = std::prev(function)->addr + std::prev(function)->size;
    for (int i = 0; i < k_max_scan && addr < end; ++i) {
        const std::optional<CodeInsn> code = decode_insn(decoder_, facts_, addr);
        if (!code || code->next() > end || reads(*code, k_count_flags)) {
            return true;
        }
        if (defines(*code, k_count_flags)) {
            return false;
        }
        if (transfers_control(*code)) {
            return true;
        }
        addr = code->next();
    }
    return true;
}

}  // namespace morphel
