// The probes of a coverage copy: one per basic block, each on an instruction
// boundary with the file's own byte beside it, every function entry and
// every line statement among them, none in code that holds data; and the
// copy runs exactly like the original.
#include <elf.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "coverage/file_digest.h"
#include "support/corpus.h"
#include "support/engine_support.h"
#include "support/probe_table_reader.h"

using namespace ryn_test;

namespace {

// Branches of every kind: a switch the compiler turns into a jump table,
// recursion, a loop, and three functions whose code holds data: a byte that
// does not decode, bytes that decode across the jump target, and a constant
// the code reads that decodes as instructions.
const char* const k_blocks_source = R"(#include <stdio.h>
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
        total += fib(i);
    }
    printf("total %d %s\n", total, argc > 1 ? argv[1] : "-");
    return total % 7 + argc;
}
)";

const std::set<std::string> k_data_functions = {"with_data", "with_hidden_data", "with_constant"};

struct Symbol {
    uint64_t addr;
    uint64_t size;
};

// Functions with a size, from nm.
std::map<std::string, Symbol> function_symbols(const std::string& path) {
    std::map<std::string, Symbol> symbols;
    std::istringstream lines(run({"nm", "-S", "--defined-only", path}).out);
    std::string addr, size, type, name;
    for (std::string line; std::getline(lines, line);) {
        // Symbols without a size have three fields and are skipped.
        if (std::istringstream(line) >> addr >> size >> type >> name &&
            (type == "t" || type == "T")) {
            symbols[name] = {std::stoull(addr, nullptr, 16), std::stoull(size, nullptr, 16)};
        }
    }
    return symbols;
}

// Instructions as objdump decodes them, by address.
std::map<uint64_t, std::string> instructions(const std::string& path) {
    std::map<uint64_t, std::string> found;
    std::istringstream lines(run({"objdump", "-d", "--no-show-raw-insn", path}).out);
    for (std::string line; std::getline(lines, line);) {
        const size_t colon = line.find(":\t");
        if (colon != std::string::npos && line.starts_with("  ") &&
            line.find_first_not_of(" 0123456789abcdef") == colon) {
            found[std::stoull(line.substr(0, colon), nullptr, 16)] = line.substr(colon + 2);
        }
    }
    return found;
}

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

TEST_P(MorphelProbes, OneProbePerBlockOnBoundariesAndTheCopyRunsTheSame) {
    TempDir dir;
    const std::string prog = dir / "blocks";
    ASSERT_TRUE(compile_c(k_blocks_source, prog, GetParam()));
    // Two functions are known only from the debugging information.
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
    EXPECT_EQ(instrumented.out, original.out);
    EXPECT_EQ(instrumented.err, original.err);
    EXPECT_EQ(instrumented.status, original.status);
    EXPECT_NE(original.status, 0);

    const std::optional<ProbeTable> table = read_probe_table(copy);
    ASSERT_TRUE(table);
    EXPECT_EQ(std::string(table->header.magic, RYN_PROBE_MAGIC_SIZE), RYN_PROBE_MAGIC);
    EXPECT_EQ(table->header.version, RYN_PROBE_VERSION);
    EXPECT_EQ(table->segment_flags, std::optional<uint32_t>(PF_R | PF_X));
    EXPECT_EQ(table->addr % 0x1000, table->offset % 0x1000);
    EXPECT_EQ(std::string(table->header.digest, RYN_DIGEST_CHARS), coverage::file_digest(prog));
    const std::string settings =
        "original " + prog +
        "\ndatadir ./data\nryninfo 1 ryn\nryninfo 21 blocks\nryninfo 33 parent\ncounting ";
    EXPECT_EQ(table->settings.substr(0, settings.size()), settings);
    ASSERT_GT(table->probes.size(), 20u);

    const std::map<uint64_t, std::string> insns = instructions(copy);
    for (const ryn_probe& probe : table->probes) {
        SCOPED_TRACE("probe at " + std::to_string(probe.addr));
        EXPECT_TRUE(insns.count(probe.addr));
        EXPECT_EQ(byte_at_address(copy, probe.addr), std::optional<uint8_t>(probe.original));
        EXPECT_GT(probe.insn_count, 0);
    }

    // Each decoded function: its entry is a probe, and its blocks together
    // hold exactly the instructions objdump finds between its bounds.
    std::set<std::string> probed_functions;
    std::vector<std::pair<uint64_t, uint64_t>> probed_ranges;  // start and size
    for (const auto& [name, symbol] : functions) {
        SCOPED_TRACE(name);
        size_t counted = 0;  // unsigned: an address below the start wraps past the size
        for (const ryn_probe& probe : table->probes) {
            counted += probe.addr - symbol.addr < symbol.size ? probe.insn_count : 0;
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
        probed_ranges.emplace_back(symbol.addr, symbol.size);
        probed_functions.insert(name);
    }
    EXPECT_TRUE(
        std::ranges::includes(probed_functions, std::set<std::string>{"fib", "kind", "main"}));

    // Every statement of the line table inside a probed function starts a
    // block, and main's entry carries its source position.
    for (const uint64_t addr : statement_addresses(copy)) {
        if (std::ranges::any_of(probed_ranges,
                                [&](const auto& r) { return addr - r.first < r.second; })) {
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
}

INSTANTIATE_TEST_SUITE_P(Builds, MorphelProbes,
                         ::testing::Values("-O0", "-O2", "-O0 -no-pie", "-O2 -no-pie"));

// Code after a call that never returns is reached only through the
// unwinder's landing pads: without a line table to mark it, only the
// exception tables tell the engine that a block begins there.
TEST(MorphelProbesExceptions, LandingPadsStartBlocksAndTheCopyStillCatches) {
    TempDir dir;
    const std::string prog = dir / "ex";
    const std::string copy = dir / "ex.instr";
    for (const std::string flags : {"-O0 -g", "-O2 -g0 -fno-reorder-blocks-and-partition"}) {
        SCOPED_TRACE(flags);
        ASSERT_EQ(run_shell("c++ " + flags + " -o " + prog + " " +
                            ryn_corpus::source_path("exceptions.cpp"))
                      .status,
                  0);
        ASSERT_EQ(run_morphel({"-ryn", "-xkalfix=instrument:./", "-o", copy, prog}).status, 0);
        const RunResult original = run({prog});
        const RunResult instrumented = run({copy}, {}, dir.path());
        EXPECT_EQ(instrumented.out, original.out);
        EXPECT_EQ(instrumented.status, original.status);
        EXPECT_NE(original.out.find("unwound 1\nskipped: not a digit: x"), std::string::npos);

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
                    EXPECT_TRUE(table->find(it->first))
                        << name << ": no block starts at " << std::hex << it->first;
                }
                follows_noreturn = it->second.starts_with("call") &&
                                   (it->second.find("<__cxa_throw@plt>") != std::string::npos ||
                                    it->second.find("<_Unwind_Resume@plt>") != std::string::npos);
            }
        }
        EXPECT_GE(after_noreturn, 2u);
    }
}

}  // namespace
