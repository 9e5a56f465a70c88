// The probe table an instrumented copy carries, laid out as the runtime and
// the report tools read it.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "code_facts.h"
#include "counter_plan.h"
#include "ryn/probe_format.h"

namespace morphel {

// NUL-terminated strings, each kept once; offset 0 holds "".
class StringPool {
public:
    StringPool() : bytes_(1, '\0') {}
    uint32_t add(const std::string& text);
    const std::vector<char>& bytes() const { return bytes_; }

private:
    std::vector<char> bytes_;
    std::unordered_map<std::string, uint32_t> offsets_;
};

struct ProbeSet {
    std::vector<ryn_probe> probes;  // ascending address
    StringPool strings;
    size_t functions_skipped = 0;  // functions whose code could not be trusted
    CountingPlan counting;
};

// The probes of every function of the file: one per basic block, with the
// plan for counting them.
ProbeSet plan_probes(const CodeFacts& facts, const ImportSlots& imports);

// Header, probes, strings and settings, in that order; no counting.
std::vector<char> build_probe_table(const ProbeSet& set, const std::string& settings,
                                    const std::string& digest);

// The whole loaded segment of a probed copy at `addr`: the table with its
// counting parts (sites, branches, call adjusts, sums; the settings gain a
// "counting" line), then the trampolines. Without counters (counters_addr
// 0) no block is counted and there are no sites.
std::vector<char> build_probe_segment(ProbeSet& set, const std::string& settings,
                                      const std::string& digest, const CodeFacts& facts,
                                      uint64_t addr, uint64_t counters_addr);

}  // namespace morphel
