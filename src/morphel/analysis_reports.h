// The six analyses of the use mode, each written as text and as rows for
// the machine-readable form.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "analysis_request.h"
#include "execution_profile.h"
#include "indirect_targets.h"

namespace morphel {

struct AnalysisOutput {
    std::ostream& text;
    std::vector<std::string>& rows;  // JSON objects
};

// Writes `request` over `profile`. Throws EngineError when the request names
// a function the target does not have.
using AnalysisWriter = void(const ExecutionProfile& profile, const AnalysisRequest& request,
                            AnalysisOutput out);

// Chooses the analysis the request's kind names.
AnalysisWriter write_analysis;

// One each: bbc, branch, ifreq, cc, function and dis.
AnalysisWriter write_block_counts, write_branch_counts, write_instruction_mix, write_call_edges,
    write_function_counts, write_disassembly;

// Helpers the reports share.
std::string format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string hex_text(uint64_t value);
// "file:line", "?" parts unknown.
std::string source_text(const std::string& file, uint32_t line);
// "12.5%", or "-" when whole is 0.
std::string percent(uint64_t part, uint64_t whole);
// The heading of one analysis: its word, what it shows, and for a top-N
// request how many of how many rows and whether N was the default.
void write_heading(std::ostream& text, const AnalysisRequest& request, const std::string& what);
// Where an indirect call or jump went: each recorded target by name, most
// often reached first, then under "<indirect>" the executions no slot took
// (every execution, for an indirect call that recorded none). Empty for any
// other instruction.
struct ReachedTarget {
    std::string name;
    std::string object;
    uint64_t count = 0;
    CallKind kind = CallKind::direct;  // indirect for "<indirect>"
};
std::vector<ReachedTarget> reached_targets(const ExecutionProfile& profile, TargetNames& names,
                                           const ProfileBlock& block, const Instruction& insn);
// The functions a "=<function>" request names, or the `top` hottest.
std::vector<const ProfileFunction*> chosen_functions(const ExecutionProfile& profile,
                                                     const AnalysisRequest& request);

}  // namespace morphel
