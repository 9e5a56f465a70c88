#include "execution_profile.h"

#include <algorithm>

#include "engine_error.h"
#include "import_slots.h"

namespace morphel {

namespace {

std::string hex(uint64_t value) {
    char text[24];
    snprintf(text, sizeof text, "%#llx", static_cast<unsigned long long>(value));
    return text;
}

bool rip_relative(const ZydisDecodedInstruction& insn, const ZydisDecodedOperand& operand) {
    return operand.type == ZYDIS_OPERAND_TYPE_MEMORY && operand.mem.base == ZYDIS_REGISTER_RIP &&
           operand.mem.index == ZYDIS_REGISTER_NONE && insn.attributes & ZYDIS_ATTRIB_HAS_MODRM;
}

}  // namespace

uint64_t instructions_executed(const coverage::Block& block) {
    if (block.insn_count != 0 && block.count > UINT64_MAX / block.insn_count) {
        return UINT64_MAX;
    }
    return block.count * block.insn_count;
}

ExecutionProfile::ExecutionProfile(const std::string& target, const coverage::InstrData& data)
    : target_(target), data_(data), reader_(target), import_slots_(read_import_slots(target)) {
    ZydisDecoderInit(&decoder_, ZYDIS_MACHINE_MODE_LONG_64, ZYDIS_STACK_WIDTH_64);
    ZydisFormatterInit(&formatter_, ZYDIS_FORMATTER_STYLE_INTEL);
    ZydisFormatterSetProperty(&formatter_, ZYDIS_FORMATTER_PROP_ADDR_PADDING_ABSOLUTE,
                              ZYDIS_PADDING_DISABLED);
    add_functions();
    add_blocks();
}

void ExecutionProfile::add_functions() {
    // The cold part the compiler split off a function carries its name, and
    // the reports count it with the function, as the coverage table does.
    for (const Function& function : facts().functions) {
        const auto [it, fresh] = by_symbol_.try_emplace(function.name, functions_.size());
        if (fresh) {
            functions_.push_back(
                {function.name, demangle(function.name), function.addr, {}, 0, 0, 0});
        }
        ranges_.push_back({function.addr, function.size, it->second});
    }
}

size_t ExecutionProfile::function_for(const coverage::Block& block) {
    if (const ProfileFunction* function = function_at(block.addr)) {
        return static_cast<size_t>(function - functions_.data());
    }
    // Data can name code the symbols do not cover (stripped, or found from
    // debugging information alone); it is reported under the recorded name.
    const std::string name = block.function.empty() ? "?" : block.function;
    const auto [it, fresh] = by_symbol_.try_emplace(name, functions_.size());
    if (fresh) {
        functions_.push_back({name, demangle(name), block.addr, {}, 0, 0, 0});
    }
    return it->second;
}

void ExecutionProfile::add_blocks() {
    std::unordered_map<uint64_t, uint64_t> calls;
    for (const coverage::EntryCalls& entry : data_.calls) {
        calls[entry.addr] = entry.calls;
    }
    blocks_.reserve(data_.blocks.size());
    for (const coverage::Block& block : data_.blocks) {
        ProfileBlock profiled{&block, function_for(block), {}};
        decode_block(profiled);
        ProfileFunction& function = functions_[profiled.function];
        function.blocks.push_back(blocks_.size());
        const uint64_t executed = instructions_executed(block);
        function.executed_instructions = saturating_add(function.executed_instructions, executed);
        executed_instructions_ = saturating_add(executed_instructions_, executed);
        if (block.executed()) {
            ++function.blocks_executed;
        }
        if (block.is_function_entry()) {
            // Without a calls line each entry of the block is a call.
            const auto it = calls.find(block.addr);
            function.calls =
                saturating_add(function.calls, it != calls.end() ? it->second : block.count);
        }
        blocks_.push_back(std::move(profiled));
    }
    for (ProfileFunction& function : functions_) {
        if (!function.blocks.empty()) {
            function.addr = std::min(function.addr, data_.blocks[function.blocks.front()].addr);
        }
    }
}

void ExecutionProfile::decode_block(ProfileBlock& block) {
    uint64_t available = 0;
    const uint8_t* bytes = facts().bytes_at(block.data->addr, &available);
    uint64_t offset = 0;
    std::vector<Instruction> decoded;
    ZydisDecodedInstruction insn;
    ZydisDecodedOperand operands[ZYDIS_MAX_OPERAND_COUNT];
    for (uint32_t i = 0; i < block.data->insn_count; ++i) {
        if (!bytes || offset >= available ||
            !ZYAN_SUCCESS(ZydisDecoderDecodeFull(&decoder_, bytes + offset, available - offset,
                                                 &insn, operands))) {
            return;  // not this file's code: no instructions to show
        }
        Instruction out{
            block.data->addr + offset, insn.length, insn.mnemonic, CallKind::none, 0, {}};
        if (insn.meta.category == ZYDIS_CATEGORY_CALL) {
            const ZydisDecodedOperand& operand = operands[0];
            if (operand.type == ZYDIS_OPERAND_TYPE_IMMEDIATE && operand.imm.is_relative) {
                out.call = CallKind::direct;
                out.call_target =
                    out.addr + insn.length + static_cast<uint64_t>(operand.imm.value.s);
            } else {
                // A call compiled without the PLT goes through the slot itself.
                const auto slot =
                    rip_relative(insn, operand)
                        ? import_slots_.find(out.addr + insn.length +
                                             static_cast<uint64_t>(operand.mem.disp.value))
                        : import_slots_.end();
                out.call = slot != import_slots_.end() ? CallKind::import : CallKind::indirect;
                out.import = slot != import_slots_.end() ? slot->second : "";
            }
        }
        if (out.call == CallKind::direct && !function_at(out.call_target)) {
            out.import = import_through_stub(out.call_target);
            if (!out.import.empty()) {
                out.call = CallKind::import;
            }
        }
        decoded.push_back(std::move(out));
        offset += insn.length;
    }
    block.instructions = std::move(decoded);
}

std::string ExecutionProfile::import_through_stub(uint64_t addr) const {
    // A PLT entry: perhaps an end-branch marker, then a jump through the
    // slot of the imported symbol.
    uint64_t available = 0;
    const uint8_t* stub = facts().bytes_at(addr, &available);
    ZydisDecodedInstruction insn;
    ZydisDecodedOperand operands[ZYDIS_MAX_OPERAND_COUNT];
    for (uint64_t at = 0, n = 0; stub && n < 2 && at < available; ++n) {
        if (!ZYAN_SUCCESS(
                ZydisDecoderDecodeFull(&decoder_, stub + at, available - at, &insn, operands))) {
            break;
        }
        at += insn.length;
        if (insn.mnemonic == ZYDIS_MNEMONIC_JMP && rip_relative(insn, operands[0])) {
            const auto slot =
                import_slots_.find(addr + at + static_cast<uint64_t>(operands[0].mem.disp.value));
            return slot != import_slots_.end() ? slot->second : "";
        }
        if (insn.mnemonic != ZYDIS_MNEMONIC_ENDBR64) {
            break;
        }
    }
    return "";
}

const ProfileFunction* ExecutionProfile::function_at(uint64_t addr) const {
    const auto it = std::upper_bound(ranges_.begin(), ranges_.end(), addr,
                                     [](uint64_t a, const Range& range) { return a < range.addr; });
    if (it == ranges_.begin()) {
        return nullptr;
    }
    const Range& range = *std::prev(it);
    return addr - range.addr < range.size ? &functions_[range.function] : nullptr;
}

std::vector<const ProfileFunction*> ExecutionProfile::hottest(size_t top) const {
    std::vector<const ProfileFunction*> run;
    for (const ProfileFunction& function : functions_) {
        if (function.executed_instructions > 0) {
            run.push_back(&function);
        }
    }
    std::stable_sort(run.begin(), run.end(),
                     [](const ProfileFunction* a, const ProfileFunction* b) {
                         return a->executed_instructions != b->executed_instructions
                                    ? a->executed_instructions > b->executed_instructions
                                    : a->addr < b->addr;
                     });
    if (run.size() > top) {
        run.resize(top);
    }
    return run;
}

size_t ExecutionProfile::functions_run() const {
    return static_cast<size_t>(std::ranges::count_if(
        functions_, [](const ProfileFunction& f) { return f.executed_instructions > 0; }));
}

std::vector<const ProfileFunction*> ExecutionProfile::named(const std::string& name) const {
    std::vector<const ProfileFunction*> found;
    for (const ProfileFunction& function : functions_) {
        const std::string& shown = function.demangled;
        if (function.symbol == name || shown == name || shown.substr(0, shown.find('(')) == name) {
            found.push_back(&function);
        }
    }
    if (found.empty()) {
        throw EngineError("no function named '" + name + "' in " + target_);
    }
    return found;
}

std::string ExecutionProfile::callee_name(const Instruction& insn) const {
    switch (insn.call) {
    case CallKind::import: return insn.import;
    case CallKind::indirect: return "<indirect>";
    case CallKind::direct:
        if (const ProfileFunction* callee = function_at(insn.call_target)) {
            // A call into the middle of a function (a thunk that reads its
            // own address) names the place.
            const auto range =
                std::lower_bound(ranges_.begin(), ranges_.end(), insn.call_target,
                                 [](const Range& r, uint64_t a) { return r.addr < a; });
            const bool at_start = range != ranges_.end() && range->addr == insn.call_target;
            return at_start ? callee->demangled
                            : callee->demangled + "+" + hex(insn.call_target - callee->addr);
        }
        return hex(insn.call_target);
    case CallKind::none: break;
    }
    return "";
}

std::string ExecutionProfile::text(const Instruction& insn, const std::string& where) const {
    uint64_t available = 0;
    const uint8_t* bytes = facts().bytes_at(insn.addr, &available);
    ZydisDecodedInstruction decoded;
    ZydisDecodedOperand operands[ZYDIS_MAX_OPERAND_COUNT];
    char buffer[256];
    if (!bytes ||
        !ZYAN_SUCCESS(ZydisDecoderDecodeFull(&decoder_, bytes, available, &decoded, operands)) ||
        !ZYAN_SUCCESS(ZydisFormatterFormatInstruction(&formatter_, &decoded, operands,
                                                      decoded.operand_count_visible, buffer,
                                                      sizeof buffer, insn.addr, nullptr))) {
        return "(undecodable)";
    }
    // Who a call calls, by name: an address alone says little.
    if (!where.empty()) {
        return std::string(buffer) + "  ; " + where;
    }
    return insn.call == CallKind::none ? std::string(buffer)
                                       : std::string(buffer) + "  ; " + callee_name(insn);
}

}  // namespace morphel
