// The runtime's data writer on an object built in memory: merging with earlier
// runs of the same build, later writes of one process, concurrent writers,
// damaged or foreign files. (Indirect targets: the indirect target test.)
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "coverage/instr_data.h"
#include "support/test_support.h"

extern "C" {
#include "runtime.h"
}

// What the rest of the runtime defines around the writer.
struct ryn_object ryn_objects[RYN_MAX_OBJECTS];
struct ryn_settings ryn_settings;

using namespace ryn_test;

namespace {

constexpr uint32_t k_none = RYN_NO_COUNTER;
const char k_digest[] = "0123456789abcdef0123456789abcdef";

// Blocks: main (entry), main's body, loop (an entry that is also a loop head),
// its body, a block the engine could not count, and a function never called.
enum Block { MAIN, MAIN_BODY, LOOP, LOOP_BODY, UNCOUNTED, NEVER, BLOCKS };
// Counters: one per counted block, then the loop branch's edges.
enum Counter { C_MAIN, C_MAIN_BODY, C_LOOP, C_LOOP_BODY, C_NEVER, C_TAKEN, C_NOT_TAKEN, COUNTERS };

class DataWriter : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string names[] = {"", "main", "loop", "never", "f.c"};
        for (const std::string& name : names) {
            offsets.push_back(static_cast<uint32_t>(strings.size()));
            strings += name;
            strings += '\0';
        }
        auto probe = [&](uint64_t addr, int function, uint8_t flags, uint32_t counter) {
            probes.push_back(ryn_probe{addr, offsets[function], offsets[4],
                                       static_cast<uint32_t>(10 + probes.size()), 3, 0x55, flags,
                                       counter, 0});
        };
        probe(0x1000, 1, RYN_PROBE_FUNCTION_ENTRY, C_MAIN);
        probe(0x1010, 1, 0, C_MAIN_BODY);
        probe(0x1020, 2, RYN_PROBE_FUNCTION_ENTRY, C_LOOP);
        probe(0x1030, 2, 0, C_LOOP_BODY);
        probe(0x1040, 2, 0, k_none);
        probe(0x1050, 3, RYN_PROBE_FUNCTION_ENTRY, C_NEVER);
        branches = {{0x1038, 0x1030, C_TAKEN, C_NOT_TAKEN}, {0x1048, 0x1040, k_none, k_none}};
        adjusts = {{0x1020, C_TAKEN, 0}};
        counters = {1, 1, 10, 10, 0, 9, 1};
        hits.assign(BLOCKS, HIT_NONE);
        hits[UNCOUNTED] = HIT_NEW;
        ryn_strlcpy(ryn_settings.program, "prog", sizeof ryn_settings.program);
        path = dir / "d/prog.instrdata";
    }

    void TearDown() override { detach(); }

    // Registers the object as a process of the given way would.
    void attach(bool counting) {
        ryn_object& o = object();
        std::memset(&o, 0, sizeof o);
        o.probes = probes.data();
        o.count = static_cast<uint32_t>(probes.size());
        o.strings = strings.data();
        o.strings_size = strings.size();
        std::memcpy(o.digest, k_digest, RYN_DIGEST_CHARS);
        o.hits = hits.data();
        o.counting = counting;
        o.branches = branches.data();
        o.branch_count = static_cast<uint32_t>(branches.size());
        o.adjusts = adjusts.data();
        o.adjust_count = static_cast<uint32_t>(adjusts.size());
        o.counters = counters.data();
        o.counter_count = counters.size();
        ryn_strlcpy(o.original, "/src/prog", sizeof o.original);
        ryn_strlcpy(o.data_dir, (dir / "d").c_str(), sizeof o.data_dir);
        ryn_strlcpy(o.data_path, path.c_str(), sizeof o.data_path);
        ASSERT_EQ(ryn_data_attach(&o), 0);
        o.active = 1;
    }

    void detach() {
        if (object().active) {
            ryn_data_detach(&object());
            object().active = 0;
        }
    }

    // A new process of the same build: nothing of this one is written yet.
    void next_process(bool counting = true) {
        detach();
        hits.assign(BLOCKS, HIT_NONE);
        hits[UNCOUNTED] = HIT_NEW;
        attach(counting);
    }

    coverage::InstrData flush() {
        ryn_flush_object(&object());
        return coverage::read_instr_data_file(path);
    }

    static ryn_object& object() { return ryn_objects[0]; }

    TempDir dir;
    std::string path;
    std::string strings;
    std::vector<uint32_t> offsets;
    std::vector<ryn_probe> probes;
    std::vector<ryn_branch> branches;
    std::vector<ryn_call_adjust> adjusts;
    std::vector<uint64_t> counters;
    std::vector<uint8_t> hits;
};

using U = std::vector<uint64_t>;

// Every count of the data: each block's, each branch's taken and not-taken
// edges, each entry's calls.
using Counts = std::vector<U>;
Counts counts(const coverage::InstrData& data) {
    Counts found(3);
    for (const coverage::Block& block : data.blocks) {
        found[0].push_back(block.count);
    }
    for (const coverage::Branch& branch : data.branches) {
        found[1].insert(found[1].end(), {branch.taken, branch.not_taken});
    }
    for (const coverage::EntryCalls& entry : data.calls) {
        found[2].push_back(entry.calls);
    }
    return found;
}
// What one process of the fixture counts: main calls loop once, which goes
// round ten times; the uncounted block counts the process once.
const Counts k_one_process{{1, 1, 10, 10, 1, 0}, {9, 1, 0, 0}, {1, 1, 0}};

TEST_F(DataWriter, CallsNeverGoBelowZero) {
    // Counters read while threads run can show more returns than entries.
    counters[C_TAKEN] = 12;
    attach(true);
    EXPECT_EQ(counts(flush())[2], (U{1, 0, 0}));
}

TEST_F(DataWriter, RunsOfOneBuildAddUpSaturatingAndStayExactOnlyIfAllWere) {
    attach(true);
    flush();
    next_process();
    coverage::InstrData data = flush();
    EXPECT_TRUE(data.counts_exact);
    EXPECT_EQ(counts(data), (Counts{{2, 2, 20, 20, 2, 0}, {18, 2, 0, 0}, {2, 2, 0}}));

    data.blocks[LOOP].count = UINT64_MAX - 3;
    data.branches[0].taken = UINT64_MAX;
    data.calls[0].calls = UINT64_MAX - 1;
    std::ostringstream text;
    coverage::write_instr_data(text, data);
    write_file(path, text.str());
    next_process();
    EXPECT_EQ(counts(flush()),
              (Counts{{3, 3, UINT64_MAX, 30, 3, 0}, {UINT64_MAX, 3, 0, 0}, {UINT64_MAX, 3, 0}}));

    // A run of the coverage way makes the sums runs.
    next_process(false);
    data = flush();
    EXPECT_FALSE(data.counts_exact);
    EXPECT_EQ(data.blocks[UNCOUNTED].count, 4u);
    next_process(true);
    EXPECT_FALSE(flush().counts_exact);
}

TEST_F(DataWriter, ALaterWriteAddsOnlyWhatWasCountedSinceTheLastThatSucceeded) {
    write_file(dir / "d", "a file where the data directory goes");
    attach(true);
    ryn_flush_object(&object());
    EXPECT_EQ(hits[UNCOUNTED], HIT_NEW);
    ASSERT_EQ(unlink((dir / "d").c_str()), 0);
    EXPECT_EQ(counts(flush()), k_one_process);
    EXPECT_EQ(hits[UNCOUNTED], HIT_WRITTEN);
    // Written again with nothing new (an exec that failed, then exit).
    EXPECT_EQ(counts(flush()), k_one_process);
    counters[C_LOOP] += 5;
    counters[C_LOOP_BODY] += 5;
    counters[C_TAKEN] += 4;
    counters[C_NOT_TAKEN] += 1;
    counters[C_MAIN_BODY] += 1;
    // One more call: five entries, four of them from inside.
    EXPECT_EQ(counts(flush()), (Counts{{1, 2, 15, 15, 1, 0}, {13, 2, 0, 0}, {1, 2, 0}}));
}

TEST_F(DataWriter, EightProcessesWritingTogetherLoseNoCount) {
    attach(true);
    std::vector<pid_t> children;
    for (int i = 0; i < 8; ++i) {
        const pid_t child = fork();
        if (child == 0) {
            ryn_flush_reset_after_fork();
            counters[C_LOOP] = 1000;
            counters[C_TAKEN] = 990;
            ryn_flush_object(&object());
            _exit(0);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        EXPECT_EQ(wait_for(child), 0);
    }
    EXPECT_EQ(counts(flush()), (Counts{{1, 1, 8010, 10, 9, 0}, {7929, 1, 0, 0}, {1, 81, 0}}));
    // No lock or temporary file is left beside the data.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "d"), {}), 1);
}

// Each damage to an earlier file of the same build (a cut, a block moved, a
// count past 64 bits), and data of another build or format: the run's own
// counts replace it.
TEST_F(DataWriter, DamagedOrForeignDataIsReplacedByTheRunsOwnCounts) {
    const auto replace = [](std::string text, const std::string& from, const std::string& to) {
        return text.replace(text.find(from), from.size(), to);
    };
    attach(true);
    flush();
    const std::string good = read_file(path);
    for (const std::string& damaged :
         {replace(good, "ryn-instrdata 3", "ryn-instrdata 2"),
          replace(good, "digest 0", "digest f"), good.substr(0, good.size() - 4),
          replace(good, "\n1030\t", "\n1031\t"),
          replace(good, "\t10\tloop", "\t99999999999999999999\tloop")}) {
        SCOPED_TRACE(damaged);
        write_file(path, damaged);
        next_process();
        const coverage::InstrData data = flush();
        EXPECT_TRUE(data.counts_exact);
        EXPECT_EQ(counts(data), k_one_process);
    }
}

}  // namespace
