// The targets indirect sites recorded, as the runtime writes them: each slot's
// run-time address becomes its object's path and link-time address, what
// lies in no file or found no slot counts as "other", and later writes and
// later processes add to the lines of equal site, target and object.
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "coverage/instr_data.h"
#include "support/test_support.h"

extern "C" {
#include "runtime.h"
}

struct ryn_object ryn_objects[RYN_MAX_OBJECTS];
struct ryn_settings ryn_settings;

extern "C" __attribute__((noipa)) int indirect_marker_a(int v) { return v + 1; }
extern "C" __attribute__((noipa)) int indirect_marker_b(int v) { return v + 2; }

namespace {

// abs of libc, as a pointer taken in C would be.
void* const k_libc_abs = reinterpret_cast<void*>(static_cast<int (*)(int)>(&::abs));
const char k_digest[] = "0123456789abcdef0123456789abcdef";
constexpr uint32_t k_site_a = 1, k_site_b = 1 + RYN_INDIRECT_COUNTERS;

// (site, target, object) to count.
using Lines = std::map<std::tuple<uint64_t, uint64_t, std::string>, uint64_t>;

// Where `fn` lies as the data file names it: the object's real path and the
// address less the object's load address.
std::pair<std::string, uint64_t> link_place(const void* fn) {
    Dl_info info{};
    EXPECT_NE(dladdr(fn, &info), 0);
    std::string path = info.dli_fname;
    if (path.find('/') == std::string::npos) {
        path = "/proc/self/exe";
    }
    char real[PATH_MAX];
    EXPECT_NE(realpath(path.c_str(), real), nullptr);
    return {real, reinterpret_cast<uintptr_t>(fn) - reinterpret_cast<uintptr_t>(info.dli_fbase)};
}

class IndirectData : public ::testing::Test {
protected:
    void SetUp() override {
        probes = {ryn_probe{0x1000, 0, 0, 1, 1, 0x55, RYN_PROBE_FUNCTION_ENTRY, 0, 0}};
        sites = {ryn_indirect{0x1004, k_site_a, 0, RYN_INDIRECT_CALL, 0, 0, RYN_REG_NONE, 1, 2, 0},
                 ryn_indirect{0x1008, k_site_b, 0, RYN_INDIRECT_JUMP, 0, 0, RYN_REG_NONE, 1, 2, 0}};
        counters.assign(1 + 2 * RYN_INDIRECT_COUNTERS, 0);
        ryn_strlcpy(ryn_settings.program, "prog", sizeof ryn_settings.program);
        path = dir / "d/prog.instrdata";
        attach();
    }
    void TearDown() override { detach(); }

    void attach() {
        ryn_object& o = ryn_objects[0];
        std::memset(&o, 0, sizeof o);
        o.probes = probes.data();
        o.count = 1;
        o.strings = "";
        o.strings_size = 1;
        std::memcpy(o.digest, k_digest, RYN_DIGEST_CHARS);
        hits.assign(1, HIT_NONE);
        o.hits = hits.data();
        o.counting = 1;
        o.indirects = sites.data();
        o.indirect_count = static_cast<uint32_t>(sites.size());
        o.counters = counters.data();
        o.counter_count = counters.size();
        ryn_strlcpy(o.original, "/src/prog", sizeof o.original);
        ryn_strlcpy(o.data_dir, (dir / "d").c_str(), sizeof o.data_dir);
        ryn_strlcpy(o.data_path, path.c_str(), sizeof o.data_path);
        ASSERT_EQ(ryn_data_attach(&o), 0);
        o.active = 1;
    }
    void detach() {
        if (ryn_objects[0].active) {
            ryn_data_detach(&ryn_objects[0]);
            ryn_objects[0].active = 0;
        }
    }

    // Slot k of the site whose counters begin at `slots`.
    void set_slot(uint32_t slots, uint32_t k, const void* target, uint64_t count) {
        counters[slots + RYN_INDIRECT_SLOTS + 1 + k] = reinterpret_cast<uintptr_t>(target);
        counters[slots + k] = count;
    }

    Lines flush() {
        ryn_flush_object(&ryn_objects[0]);
        Lines lines;
        for (const coverage::IndirectTarget& t : coverage::read_instr_data_file(path).indirect) {
            EXPECT_TRUE(lines.emplace(std::make_tuple(t.site, t.target, t.object), t.count).second)
                << "one line per key";
        }
        return lines;
    }

    ryn_test::TempDir dir;
    std::string path;
    std::vector<ryn_probe> probes;
    std::vector<ryn_indirect> sites;
    std::vector<uint64_t> counters;
    std::vector<uint8_t> hits;
};

TEST_F(IndirectData, SlotsNameTheirObjectsAndTheRestCountsAsOther) {
    const auto heap = std::make_unique<char[]>(64);
    set_slot(k_site_a, 0, reinterpret_cast<void*>(&indirect_marker_a), 5);
    set_slot(k_site_a, 1, k_libc_abs, 3);
    set_slot(k_site_a, 2, heap.get(), 2);  // in no file: other
    counters[k_site_a + RYN_INDIRECT_SLOTS] = 4;
    const auto [program, marker] = link_place(reinterpret_cast<void*>(&indirect_marker_a));
    const auto [libc, abs_addr] = link_place(k_libc_abs);
    EXPECT_EQ(flush(), (Lines{{{0x1004, marker, program}, 5}, {{0x1004, abs_addr, libc}, 3}, {{0x1004, 0, ""}, 6}}));
}

TEST_F(IndirectData, LaterWritesAndProcessesAddToTheLinesOfTheirKey) {
    const auto [program, a] = link_place(reinterpret_cast<void*>(&indirect_marker_a));
    const auto [same, b] = link_place(reinterpret_cast<void*>(&indirect_marker_b));
    set_slot(k_site_a, 0, reinterpret_cast<void*>(&indirect_marker_a), 5);
    set_slot(k_site_b, 0, reinterpret_cast<void*>(&indirect_marker_b), 1);
    flush();
    // The same process goes on: only what it counted since is added.
    counters[k_site_a] += 2;
    EXPECT_EQ(flush(), (Lines{{{0x1004, a, program}, 7}, {{0x1008, b, program}, 1}}));

    // Another process, whose slots were claimed in another order.
    detach();
    counters.assign(counters.size(), 0);
    set_slot(k_site_a, 0, reinterpret_cast<void*>(&indirect_marker_b), 10);
    set_slot(k_site_a, 1, reinterpret_cast<void*>(&indirect_marker_a), 1);
    counters[k_site_b + RYN_INDIRECT_SLOTS] = 3;
    attach();
    EXPECT_EQ(flush(), (Lines{{{0x1004, a, program}, 8},
                              {{0x1004, b, program}, 10},
                              {{0x1008, b, program}, 1},
                              {{0x1008, 0, ""}, 3}}));
}

}  // namespace
