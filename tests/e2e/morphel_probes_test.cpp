// A coverage copy: one probe per basic block, each on an instruction
// boundary with the file's own byte beside it, every function entry, line
// statement and landing pad among them, none in code that holds data. Every
// block is counted by a jump site, a trap site or as a sum of edges, each
// with a counter of its own, and no jump site covers bytes another branch, a
// jump table or a landing pad can reach. The copy stays a valid ELF file and
// runs exactly like the original; that the counts are exact, the runs of
// probed copies show.
#include <elf.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/corpus.h"
#include "support/engine_support.h"
#include "support/probe_table_reader.h"

using namespace ryn_test;

namespace {

// Branches of every kind: a switch the compiler turns into a jump table,
// recursion, a loop, a split-off cold path that jumps back into its function
// at -O2, a tail call through a pointer (an indirect jump with no table), and
// three functions whose code holds data: a byte that does not decode, bytes
// that decode across the jump target, and a constant the code reads that
// decodes as instructions.
const char* const k_blocks_source = R"(#include <stdio.h>
#include <stdlib.h>
__asm__(".text\n.globl with_data\n.type with_data,@function\nwith_data:\n"
        "  mov $7, %eax\n  jmp 1f\n  .byte 0x06, 0x07\n1:\n  ret\n"
        ".size with_data, .-with_data\n");
__asm__(".text\n.globl with_hidden_data\n.type with_hidden_data,@function\nwith_hidden_data:\n"
        "  mov $5, %eax\n  jmp 1f\n  .byte 0xb8\n1:\n  add $1, %eax\n  nop\n  nop\n  nop\n"
        "  nop\n  ret\n.size with_hidden_data, .-with_hidden_data\n");
__asm__(".text\n.globl with_constant\n.type with_constant,@function\nwith_constant:\n"
        "  mov 1f(%rip), %rax\n  ret\n1:\n  .quad 0x9090909090909090\n"
        ".size with_constant, .-with_constant\n");
int with_data(void);
int with_hidden_data(void);
long with_constant(void);

static int fib(int n) { return n < 2 ? n : fib(n - 1) + fib(n - 2); }
__attribute__((noinline)) static int twice(int x) { return 2 * x; }
__attribute__((noinline)) int call_through(int (*f)(int), int x) { return f(x + 1); }
__attribute__((noinline)) static int checked(int v) {
    if (__builtin_expect(v > 1000, 0)) { fprintf(stderr, "too big %d\n", v); abort(); }
    return v + 1;
}

__attribute__((noinline)) static void kind(int v) {
    switch (v) {
    case 0: puts("zero"); break;
    case 1: puts("one"); break;
    case 2: printf("two %d\n", v); break;
    case 3: puts("three"); break;
    case 4: printf("four %d\n", v * 3); break;
    case 5: puts("five"); break;
    case 6: puts("six"); break;
    default: puts("many");
    }
}

int main(int argc, char **argv) {
    int total = with_data() + with_hidden_data() + (int)(with_constant() & 0xff);
    for (int i = 0; i < 9; ++i) {
        kind(i % 8);
        total += fib(i) + checked(i);
    }
    total += call_through(twice, argc);
    printf("total %d %s\n", total, argc > 1 ? argv[1] : "-");
    return total % 7 + argc;
}
)";

const std::set<std::string> k_data_functions = {"with_data", "with_hidden_data", "with_constant"};

// Addresses the line table marks as statements: rows "file line address [view] x".
std::set<uint64_t> statement_addresses(const std::string& path) {
    std::set<uint64_t> addresses;
    std::istringstream lines(run({"objdump", "--dwarf=decodedline", path}).out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string file, number, address;
        if (fields >> file >> number >> address && address.starts_with("0x") &&
            line.ends_with(" x")) {
            addresses.insert(std::stoull(address, nullptr, 16));
        }
    }
    return addresses;
}

class MorphelProbes : public ::testing::TestWithParam<const char*> {};

TEST_P(MorphelProbes, OneProbePerBlockCountedBySafeSitesAndTheCopyRunsTheSame) {
    TempDir dir;
    const std::string prog = dir / "blocks";
    ASSERT_TRUE(compile_c(k_blocks_source, prog, GetParam()));
    const std::map<std::string, Symbol> functions = function_symbols(prog);
    ASSERT_EQ(run({"objcopy", "--strip-symbol=kind", "--strip-symbol=fib", prog}).status, 0);
    const std::string info = dir / "info";
    write_file(info, "1 ryn\n21 blocks\n33 parent\n");
    const std::string copy = dir / "blocks.instr";
    const RunResult made = run_morphel({"-ryn", "-xkalfix=instrument:./data", "-ryninfo=" + info,
                                        "-comment=instrumentation args: -ryn", "-o", copy, prog});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(made.out + made.err, "");

    const RunResult original = run({prog, "arg"});
    const RunResult instrumented = run({copy, "arg"}, {}, dir.path());
    EXPECT_EQ(instrumented.out + instrumented.err, original.out + original.err);
    EXPECT_EQ(instrumented.status, original.status);

    const std::optional<ProbeTable> table = read_probe_table(copy);
    ASSERT_TRUE(table);
    EXPECT_EQ(table->segment_flags, std::optional<uint32_t>(PF_R | PF_X));
    const std::string settings =
        "original " + prog +
        "\ndatadir ./data\nryninfo 1 ryn\nryninfo 21 blocks\nryninfo 33 parent\ncounting ";
    EXPECT_EQ(table->settings.substr(0, settings.size()), settings);
    ASSERT_GT(table->probes.size(), 20u);
    const std::vector<ryn_site>& sites = table->sites;

    const std::map<uint64_t, std::string> insns = instructions(copy);
    for (const ryn_probe& probe : table->probes) {
        SCOPED_TRACE("probe at " + std::to_string(probe.addr));
        EXPECT_TRUE(insns.count(probe.addr));
        EXPECT_EQ(byte_at_address(copy, probe.addr), std::optional<uint8_t>(probe.original));
    }

    // Each decoded function: its entry is a probe, and its blocks together
    // hold exactly the instructions objdump finds between its bounds; fib
    // and kind are known only from the debugging information.
    std::vector<Symbol> probed;
    for (const auto& [name, symbol] : functions) {
        SCOPED_TRACE(name);
        size_t counted = 0;
        for (const ryn_probe& probe : table->probes) {
            counted += symbol.contains(probe.addr) ? probe.insn_count : 0;
        }
        if (k_data_functions.count(name)) {
            EXPECT_EQ(counted, 0u);
            continue;
        }
        const ryn_probe* entry = table->find(symbol.addr);
        ASSERT_TRUE(entry);
        EXPECT_TRUE(entry->flags & RYN_PROBE_FUNCTION_ENTRY);
        EXPECT_EQ(table->text(entry->function), name);
        EXPECT_EQ(counted,
                  static_cast<size_t>(std::distance(insns.lower_bound(symbol.addr),
                                                    insns.lower_bound(symbol.addr + symbol.size))));
        probed.push_back(symbol);
    }

    // Every statement of the line table inside a probed function starts a
    // block, and main's entry carries its source position.
    for (const uint64_t addr : statement_addresses(copy)) {
        if (std::ranges::any_of(probed, [&](const Symbol& f) { return f.contains(addr); })) {
            const ryn_probe* probe = table->find(addr);
            ASSERT_TRUE(probe) << "statement at " << addr;
            EXPECT_TRUE(probe->flags & RYN_PROBE_LINE_STATEMENT);
        }
    }
    const ryn_probe* main_entry = table->find(functions.at("main").addr);
    ASSERT_TRUE(main_entry);
    EXPECT_EQ(table->text(main_entry->file), prog + ".c");
    EXPECT_EQ(main_entry->line,
              static_cast<uint32_t>(ryn_corpus::line_holding(prog + ".c", "int main(")));

    // What control can reach other than by running on: direct branch and
    // call targets, and function entries.
    std::set<uint64_t> reached;
    const std::regex direct(R"(^(?:bnd )?(?:j[a-z]+|call)\s+([0-9a-f]+) <)");
    std::smatch m;
    for (const auto& [addr, text] : insns) {
        if (std::regex_search(text, m, direct)) {
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
        EXPECT_TRUE(insns.contains(site.addr));
        // The run ends at an instruction, or at its function's end after a
        // return or jump.
        const uint64_t end = site.addr + site.length;
        const std::string& last = std::prev(insns.lower_bound(end))->second;
        EXPECT_TRUE(insns.contains(end) || last.starts_with("ret") || last.starts_with("jmp"));
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
    EXPECT_TRUE(std::ranges::any_of(sites, [&](const ryn_site& s) {
        return s.kind == RYN_SITE_JUMP && functions.at("kind").contains(s.addr);
    }));

    // (A non-PIE copy's dynamic section moves to a segment of its own, which
    // the checker objects to whether or not anything is counted.)
    if (std::string(GetParam()).find("-no-pie") == std::string::npos) {
        const RunResult lint = run({"eu-elflint", "--gnu-ld", copy});
        EXPECT_EQ(lint.status, 0) << lint.out << lint.err;
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, MorphelProbes, ::testing::Values("-O2", "-O0 -no-pie"));

// Code after a call that never returns is reached only through the
// unwinder's landing pads: without a line table to mark it, only the
// exception tables tell the engine that a block begins there.
TEST(MorphelProbesExceptions, LandingPadsStartBlocksAndTheCopyStillCatches) {
    TempDir dir;
    const std::string prog = dir / "ex";
    const std::string copy = dir / "ex.instr";
    ASSERT_EQ(run_shell("c++ -O2 -g0 -fno-reorder-blocks-and-partition -o " + prog + " " +
                        ryn_corpus::source_path("exceptions.cpp"))
                  .status,
              0);
    ASSERT_EQ(run_morphel({"-ryn", "-xkalfix=instrument:./", "-o", copy, prog}).status, 0);
    const RunResult original = run({prog});
    EXPECT_NE(original.out.find("unwound 1\nskipped: not a digit: x"), std::string::npos);
    EXPECT_EQ(run({copy}, {}, dir.path()).out, original.out);

    const std::optional<ProbeTable> table = read_probe_table(copy);
    ASSERT_TRUE(table);
    const std::map<uint64_t, std::string> insns = instructions(copy);
    size_t after_noreturn = 0;
    for (const auto& [name, symbol] : function_symbols(copy)) {
        bool follows_noreturn = false;
        for (auto it = insns.lower_bound(symbol.addr);
             it != insns.lower_bound(symbol.addr + symbol.size); ++it) {
            if (follows_noreturn) {
                ++after_noreturn;
                EXPECT_TRUE(table->find(it->first)) << name << ": no block at " << it->first;
            }
            follows_noreturn = it->second.starts_with("call") &&
                               (it->second.find("<__cxa_throw@plt>") != std::string::npos ||
                                it->second.find("<_Unwind_Resume@plt>") != std::string::npos);
        }
    }
    EXPECT_GE(after_noreturn, 2u);
}

}  // namespace
