// The counting plan of a probed copy: every block is counted by a jump site,
// a trap site or as a sum of edges, each with a counter of its own; no jump
// site covers bytes another branch, a jump table or a landing pad can reach;
// the copy stays a valid ELF file. That the trampolines and the counters
// work, the runs of probed copies show: their counts are exact.
#include <elf.h>

#include <algorithm>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/engine_support.h"
#include "support/probe_table_reader.h"

using namespace ryn_test;

namespace {

// A dense switch (a jump table at every level), a split-off cold path that
// jumps back into its function at -O2, a tail call through a pointer (an
// indirect jump with no table) and blocks of every size.
const char* const k_counting_source = R"(#include <stdio.h>
#include <stdlib.h>
__attribute__((noinline)) static long dispatch(int op, long acc) {
    switch (op) {
    case 0: acc += 1; break;
    case 1: acc -= 3; break;
    case 2: acc *= 2; break;
    case 3: acc /= 2; break;
    case 4: acc = -acc; break;
    case 5: acc ^= 0x55; break;
    case 6: acc <<= 1; break;
    case 7: acc %= 97; break;
    default: printf("unknown %d\n", op);
    }
    return acc;
}
__attribute__((noinline)) static int twice(int x) { return 2 * x; }
__attribute__((noinline)) int call_through(int (*f)(int), int x) { return f(x + 1); }
__attribute__((noinline)) static int checked(int v) {
    if (__builtin_expect(v > 1000, 0)) { fprintf(stderr, "too big %d\n", v); abort(); }
    return v + 1;
}
int main(int argc, char **argv) {
    long acc = argc;
    for (int i = 0; i < 40; ++i) acc = dispatch(i % 9, acc) + checked(i);
    printf("%ld %d\n", acc, call_through(twice, argc));
    return (int)(acc & 3);
}
)";

struct Insn {
    uint64_t addr;
    std::string text;
};

// Instructions objdump finds in `section` from `start` on, in address order.
std::vector<Insn> disassembly(const std::string& path, const std::string& section, uint64_t start) {
    std::vector<Insn> found;
    std::ostringstream from;
    from << "--start-address=0x" << std::hex << start;
    std::istringstream lines(
        run({"objdump", "-d", "-j", section, "--no-show-raw-insn", from.str(), path}).out);
    for (std::string line; std::getline(lines, line);) {
        const size_t colon = line.find(":\t");
        if (colon != std::string::npos && line.starts_with("  ") &&
            line.find_first_not_of(" 0123456789abcdef") == colon) {
            found.push_back(
                {std::stoull(line.substr(0, colon), nullptr, 16), line.substr(colon + 2)});
        }
    }
    return found;
}

// A function's address and size, by name, from nm.
std::pair<uint64_t, uint64_t> function_range(const std::string& path, const std::string& name) {
    std::istringstream lines(run({"nm", "-S", "--defined-only", path}).out);
    std::string addr, size, type, symbol;
    for (std::string line; std::getline(lines, line);) {
        if (std::istringstream(line) >> addr >> size >> type >> symbol && symbol == name) {
            return {std::stoull(addr, nullptr, 16), std::stoull(size, nullptr, 16)};
        }
    }
    return {0, 0};
}

size_t sites_in(const std::vector<ryn_site>& sites, std::pair<uint64_t, uint64_t> range,
                uint8_t kind) {
    return std::ranges::count_if(sites, [&](const ryn_site& s) {
        return s.kind == kind && s.addr - range.first < range.second;
    });
}

class MorphelCounting : public ::testing::TestWithParam<const char*> {};

TEST_P(MorphelCounting, BlocksAreCountedBySafeSitesEachWithItsOwnCounter) {
    TempDir dir;
    const std::string prog = dir / "counting";
    ASSERT_TRUE(compile_c(k_counting_source, prog, std::string("-g ") + GetParam()));
    const std::string copy = dir / "counting.instr";
    const RunResult made = run_morphel({"-ryn", "-xkalfix=instrument:./data", "-o", copy, prog});
    ASSERT_EQ(made.status, 0) << made.err;

    const std::optional<ProbeTable> table = read_probe_table(copy);
    ASSERT_TRUE(table);
    const std::vector<ryn_site>& sites = table->sites;

    const std::vector<Insn> code = disassembly(copy, ".text", 0);
    // Instruction boundaries, and what control can reach other than by
    // running on: direct branch and call targets, and function entries.
    std::set<uint64_t> boundaries;
    std::set<uint64_t> reached;
    const std::regex direct(R"(^(?:bnd )?(?:j[a-z]+|call)\s+([0-9a-f]+) <)");
    std::smatch m;
    for (const Insn& insn : code) {
        boundaries.insert(insn.addr);
        if (std::regex_search(insn.text, m, direct)) {
            reached.insert(std::stoull(m[1], nullptr, 16));
        }
    }
    for (const ryn_probe& probe : table->probes) {
        if (probe.flags & RYN_PROBE_FUNCTION_ENTRY) {
            reached.insert(probe.addr);
        }
    }

    // Sites: ascending, on instruction boundaries, the file's byte beside
    // them, and a jump site never covers a reached address but its first.
    EXPECT_TRUE(std::ranges::is_sorted(sites, {}, &ryn_site::addr));
    for (const ryn_site& site : sites) {
        SCOPED_TRACE("site at " + std::to_string(site.addr));
        EXPECT_TRUE(boundaries.count(site.addr));
        // The run ends at an instruction, or at its function's end after a
        // return or jump.
        const uint64_t end = site.addr + site.length;
        const auto last = std::ranges::find_if(code.rbegin(), code.rend(),
                                               [&](const Insn& i) { return i.addr < end; });
        EXPECT_TRUE(boundaries.count(end) ||
                    (last != code.rend() &&
                     (last->text.starts_with("ret") || last->text.starts_with("jmp"))));
        EXPECT_EQ(byte_at_address(copy, site.addr), std::optional<uint8_t>(site.original));
        if (site.kind == RYN_SITE_JUMP) {
            EXPECT_GE(site.length, 5);
            const auto inside = reached.upper_bound(site.addr);
            EXPECT_TRUE(inside == reached.end() || *inside >= site.addr + site.length);
        }
    }

    // Each counted block has its own counter, below the branch counters: a
    // site at its start (a trap counts that very counter), a jump site's run
    // going on into it, or incoming edges the trampolines count. A block
    // counted as the sum of counted edges has no site.
    std::set<uint32_t> block_counters;
    for (const ryn_probe& probe : table->probes) {
        SCOPED_TRACE("block at " + std::to_string(probe.addr));
        ASSERT_NE(probe.counter, RYN_NO_COUNTER);
        const auto site = std::ranges::find(sites, probe.addr, &ryn_site::addr);
        if (probe.counter == RYN_SUM_COUNTER) {
            EXPECT_EQ(site, sites.end());
            EXPECT_TRUE(std::ranges::any_of(
                table->sums, [&](const ryn_count_sum& s) { return s.block == probe.addr; }));
            continue;
        }
        EXPECT_TRUE(block_counters.insert(probe.counter).second);
        const bool in_run = std::ranges::any_of(sites, [&](const ryn_site& s) {
            return s.kind == RYN_SITE_JUMP && probe.addr > s.addr && probe.addr < s.addr + s.length;
        });
        EXPECT_TRUE(site != sites.end()
                        ? site->kind == RYN_SITE_JUMP || site->counter == probe.counter
                        : in_run || reached.count(probe.addr));
    }
    EXPECT_EQ(table->header.counter_count,
              block_counters.size() + 2 * table->branches.size() +
                  RYN_INDIRECT_COUNTERS * table->header.indirect_count);
    for (const ryn_branch& branch : table->branches) {
        EXPECT_GE(branch.taken_counter, block_counters.size());
    }

    // The switch's table was read: its function got jump sites.
    EXPECT_GT(sites_in(sites, function_range(prog, "dispatch"), RYN_SITE_JUMP), 0u);

    // (A non-PIE copy's dynamic section moves to a segment of its own, which
    // the checker objects to whether or not anything is counted.)
    if (std::string(GetParam()).find("-no-pie") == std::string::npos) {
        const RunResult lint = run({"eu-elflint", "--gnu-ld", copy});
        EXPECT_EQ(lint.status, 0) << lint.out << lint.err;
    }

    // Counting, the copy runs as the original.
    const RunResult original = run({prog});
    const RunResult counted = run({copy}, {}, dir.path());
    EXPECT_EQ(counted.out, original.out);
    EXPECT_EQ(counted.err, original.err);
    EXPECT_EQ(counted.status, original.status);
}

// gcc -O0 ends a function that calls with a 2-byte "leave; ret" that the
// jumps after its calls and the block before lead to: too short for a jump,
// it is counted as the sum of those edges and gets no site (no trap).
const char* const k_epilogue_source =
    R"(__attribute__((noinline)) static long mix(long x) { return x ^ (x >> 3); }
__attribute__((noinline)) long step(long s, int i) {
    switch (i & 3) {
    case 0: return mix(s + i);
    case 1: return s * 31 + i;
    case 2: return s ^ mix(i);
    default: return s + 7;
    }
}
int main(int argc, char **argv) { (void)argv; return (int)(step(argc, argc) & 1); }
)";

TEST(MorphelSums, TheEpilogueJumpsAfterCallsReachIsASumOfEdgesWithNoSite) {
    TempDir dir;
    const std::string prog = dir / "epilogue";
    ASSERT_TRUE(compile_c(k_epilogue_source, prog, "-g -O0"));
    const std::string copy = dir / "epilogue.instr";
    ASSERT_EQ(run_morphel({"-ryn", "-xkalfix=instrument:./data", "-o", copy, prog}).status, 0);
    const std::optional<ProbeTable> table = read_probe_table(copy);
    ASSERT_TRUE(table);

    const auto range = function_range(prog, "step");
    std::vector<Insn> code = disassembly(prog, ".text", range.first);
    std::erase_if(code, [&](const Insn& i) { return i.addr - range.first >= range.second; });
    const auto leave =
        std::ranges::find_if(code, [](const Insn& i) { return i.text.starts_with("leave"); });
    ASSERT_NE(leave, code.end());
    ASSERT_TRUE(std::next(leave) != code.end() && std::next(leave)->text.starts_with("ret"));
    // The jumps to it; some follow calls.
    size_t jumps = 0, after_calls = 0;
    for (size_t i = 0; i < code.size(); ++i) {
        std::ostringstream target;
        target << "jmp    " << std::hex << leave->addr << " ";
        if (code[i].text.starts_with(target.str())) {
            ++jumps;
            after_calls += i > 0 && code[i - 1].text.starts_with("call");
        }
    }
    ASSERT_GE(jumps, 2u);
    ASSERT_GE(after_calls, 1u);

    const ryn_probe* block = table->find(leave->addr);
    ASSERT_TRUE(block);
    EXPECT_EQ(block->counter, RYN_SUM_COUNTER);
    EXPECT_EQ(std::ranges::count(table->sites, leave->addr, &ryn_site::addr), 0);
    // One edge per jump, one for the block before running into it; each a
    // counter of the copy, none twice.
    std::set<uint32_t> edges;
    for (const ryn_count_sum& sum : table->sums) {
        if (sum.block == leave->addr) {
            EXPECT_LT(sum.counter, table->header.counter_count);
            EXPECT_TRUE(edges.insert(sum.counter).second);
        }
    }
    EXPECT_EQ(edges.size(), jumps + 1);
}

INSTANTIATE_TEST_SUITE_P(Builds, MorphelCounting,
                         ::testing::Values("-O0", "-O2", "-O0 -no-pie", "-O2 -no-pie"),
                         [](const auto& info) { return flags_name(info.param); });

}  // namespace
