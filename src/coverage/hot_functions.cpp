#include "coverage/hot_functions.h"

#include <algorithm>
#include <map>

namespace coverage {
namespace {

// Counts near 2^64 are possible after long runs merged many times; a sum
// that stops at the top still orders correctly.
uint64_t saturating_add(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

uint64_t saturating_mul(uint64_t a, uint64_t b) {
    uint64_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

// Instructions of the first `count` functions, as a fraction of the total,
// compared without overflow: part * 100 >= total * percent.
bool reaches(unsigned __int128 part, uint64_t total, unsigned percent) {
    return part * 100 >= static_cast<unsigned __int128>(total) * percent;
}

unsigned __int128 instructions_of_first(const HotFunctions& hot, size_t count) {
    unsigned __int128 sum = 0;
    for (size_t i = 0; i < count && i < hot.order.size(); ++i) {
        sum += hot.order[i].instructions;
    }
    return sum;
}

}  // namespace

HotFunctions hot_functions(const InstrData& data) {
    struct Entry {
        FunctionWork work;
        bool has_entry = false;
    };
    std::map<std::string, Entry> functions;
    for (const Block& block : data.blocks) {
        if (block.function.empty()) {
            continue;
        }
        auto [it, fresh] = functions.try_emplace(block.function);
        Entry& entry = it->second;
        if (fresh) {
            entry.work = {block.function, block.addr, 0};
        }
        // Blocks ascend, so the first block is the lowest; an entry block,
        // wherever it lies, is where the function begins.
        if (block.is_function_entry() && !entry.has_entry) {
            entry.has_entry = true;
            entry.work.addr = block.addr;
        }
        entry.work.instructions =
            saturating_add(entry.work.instructions, saturating_mul(block.count, block.insn_count));
    }

    HotFunctions hot;
    hot.functions = functions.size();
    for (auto& [name, entry] : functions) {
        if (entry.work.instructions > 0) {
            hot.instructions = saturating_add(hot.instructions, entry.work.instructions);
            hot.order.push_back(std::move(entry.work));
        }
    }
    std::sort(hot.order.begin(), hot.order.end(), [](const FunctionWork& a, const FunctionWork& b) {
        return a.instructions != b.instructions ? a.instructions > b.instructions : a.addr < b.addr;
    });
    return hot;
}

size_t functions_reaching(const HotFunctions& hot, unsigned percent) {
    unsigned __int128 sum = 0;
    for (size_t i = 0; i < hot.order.size(); ++i) {
        sum += hot.order[i].instructions;
        if (reaches(sum, hot.instructions, percent)) {
            return i + 1;
        }
    }
    return hot.order.size();
}

unsigned share_of_first(const HotFunctions& hot, size_t count) {
    if (hot.instructions == 0) {
        return 0;
    }
    // A saturated total can be smaller than the true sum of its parts.
    const unsigned __int128 part = instructions_of_first(hot, count);
    return static_cast<unsigned>(std::min<unsigned __int128>(part * 100 / hot.instructions, 100));
}

}  // namespace coverage
