// A cached copy is reused until something that shapes it changes; a warm run
// remembers digests and the engine's version until the file or the engine may
// have changed; drivers sharing a cache instrument each target once.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "driver/ryn_cache/content_identity.h"
#include "support/e2e_support.h"

using ryn_test::read_file;
using Files = std::vector<std::string>;
using Counts = std::pair<size_t, size_t>;  // engine runs, version queries

namespace {

class InstrumentCache : public ryn_e2e::DriverTest {
protected:
    void SetUp() override {
        fixture = ryn_e2e::build_fixture(work / "src", "prog", {"libuser1.so"});
        lib = fixture.libs[0];
    }

    // The number of engine runs of one successful call of the driver.
    size_t engine_runs_of(std::vector<std::string> args) {
        last = ryn(std::move(args));
        EXPECT_EQ(last.status, 0) << last.err;
        return install.engine_runs().size();
    }

    std::string lib;
    ryn_test::RunResult last;
};

TEST_F(InstrumentCache, CopyIsReusedUntilSomethingThatShapesItChanges) {
    ASSERT_EQ(engine_runs_of({"instrument", fixture.program}), 1u);
    const std::string output = fixture.program + ".instr";
    const std::string cached = cached_copy("prog");
    EXPECT_EQ(read_file(output), read_file(cached));

    unlink(output.c_str());
    EXPECT_EQ(engine_runs_of({"instrument", "-v", fixture.program}), 0u);
    EXPECT_TRUE(ryn_e2e::holds(last.err, "ryn (info): No need to instrument " + fixture.program +
                                             ", using cached copy\n\n"));
    EXPECT_EQ(read_file(output), read_file(cached));

    // -k rebuilds even a copy whose signature matches; it is itself recorded.
    EXPECT_EQ(engine_runs_of({"instrument", "-k", fixture.program}), 1u);
    EXPECT_EQ(engine_runs_of({"instrument", "-k", fixture.program}), 1u);
    EXPECT_EQ(engine_runs_of({"instrument", fixture.program}), 1u);
    EXPECT_EQ(engine_runs_of({"instrument", fixture.program}), 0u);

    // Same content, another modification time.
    const auto modified = std::filesystem::last_write_time(fixture.program);
    std::filesystem::last_write_time(fixture.program, modified - std::chrono::seconds(100));
    EXPECT_EQ(engine_runs_of({"instrument", fixture.program}), 1u);

    // A recorded option that the engine never sees as an option of its own.
    EXPECT_EQ(engine_runs_of({"instrument", "-r", fixture.program}), 1u);
    EXPECT_EQ(std::ranges::count(install.engine_runs()[0].args, "-r"), 0);
    EXPECT_EQ(engine_runs_of({"instrument", "-r", fixture.program}), 0u);
}

TEST_F(InstrumentCache, EngineArgumentsFollowTheFixedOrder) {
    ryn_test::write_file(work / ".ryn.rc", "set RYN_IGNORABLE_FUNCTIONS secret_fn:other_fn\n");
    ASSERT_EQ(engine_runs_of({"instrument", "-M", "-Wi,-extra", fixture.program}), 2u);
    const auto runs = install.engine_runs();
    const ryn_e2e::Call& run = runs[0].last() == fixture.program ? runs[0] : runs[1];
    std::string args;
    for (const std::string& arg : run.args) {
        args += arg + " ";
    }
    // The signature, the configured function lists, the stored signature with
    // the entries that only shape it, the finishing options, output and input.
    const std::string signature =
        "-ryn -xkalfix=instrument:./prog.instrdata -add_depaudit=" + install.lib("amd64/ryndl.so") +
        " -global_auditing -replace_origin=" + fixture.dir + " -extra ";
    EXPECT_EQ(args, signature + run.with_prefix("-blacklist=/") +
                        " -comment=instrumentation args: " + signature +
                        "/lib/ /lib64/ /usr/lib/ /usr/lib64/ instrument -Wi,-extra "
                        "-error_not_optimizable=on -g=off -printannstat=1 " +
                        run.with_prefix("-ryninfo=/") + " -o " + cached_copy("prog") + " " +
                        fixture.program + " ");
}

class RememberedVersions : public InstrumentCache {
protected:
    // Files younger than the margin are hashed but never recorded.
    static void wait_past_margin() {
        std::this_thread::sleep_for(std::chrono::seconds(ryn::k_identity_margin_seconds) +
                                    std::chrono::milliseconds(300));
    }

    // Engine runs and version queries of one `instrument -M -vv` of the program.
    Counts warm_run() {
        const size_t runs = engine_runs_of({"instrument", "-M", "-v", "-v", fixture.program});
        return {runs, install.calls(install.engine()).size() - runs};
    }

    ::testing::AssertionResult taken_from_record(const std::string& path) const {
        return ryn_e2e::holds(last.err, "Checksum of " + path + " taken from its identity record");
    }

    std::vector<std::string> records(const std::string& suffix = ".identity") {
        return ryn_e2e::files_ending_in(work / "cache", suffix);
    }

    // Rewrites a byte of the library in its inode, keeping its size and
    // modification time to the nanosecond: only the change time tells.
    void rewrite_keeping_size_and_mtime() {
        struct stat before {};
        ASSERT_EQ(stat(lib.c_str(), &before), 0);
        const size_t at = read_file(lib).find("GCC: (");
        ASSERT_NE(at, std::string::npos);
        std::fstream(lib, std::ios::in | std::ios::out | std::ios::binary)
            .seekp(static_cast<std::streamoff>(at))
            .put('g');
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(utimensat(AT_FDCWD, lib.c_str(), times, 0), 0);
    }
};

TEST_F(RememberedVersions, AskedOnceThenRememberedUntilTheEngineIsReplaced) {
    // Just built: too young to be recorded, and no cached version to compare.
    ASSERT_EQ(warm_run(), Counts(2, 0));
    EXPECT_TRUE(records().empty());

    wait_past_margin();
    EXPECT_EQ(warm_run(), Counts(0, 1));
    EXPECT_FALSE(taken_from_record(lib));
    EXPECT_EQ(records().size(), 2u);

    EXPECT_EQ(warm_run(), Counts(0, 0));
    EXPECT_TRUE(taken_from_record(fixture.program));
    EXPECT_TRUE(taken_from_record(lib));

    rewrite_keeping_size_and_mtime();
    ASSERT_EQ(warm_run().first, 1u);
    EXPECT_EQ(install.engine_runs()[0].last(), lib);
    EXPECT_FALSE(taken_from_record(lib));
    EXPECT_TRUE(taken_from_record(fixture.program));
    // The rewrite is too recent to be recorded: the next run reads it again.
    EXPECT_EQ(warm_run().first, 0u);
    EXPECT_FALSE(taken_from_record(lib));

    // Another engine in the same place, with another version line.
    install.wrap(install.engine(),
                 "case \" $* \" in *\" -V \"*) echo 'ryn: morphel 9.9'; exit 0;; esac");
    EXPECT_EQ(warm_run(), Counts(2, 1));
    EXPECT_TRUE(ryn_e2e::holds(last.err, "This morphel: ryn: morphel 9.9"));
    // Replaced too recently to be remembered.
    EXPECT_EQ(warm_run().second, 1u);
}

TEST_F(RememberedVersions, DamagedRecordCostsOnlyAQuery) {
    wait_past_margin();
    ASSERT_EQ(warm_run(), Counts(2, 0));
    ASSERT_EQ(warm_run(), Counts(0, 1));
    const auto answers = records("engine-version.answer");
    ASSERT_EQ(answers.size(), 1u);
    std::string identity;
    for (const std::string& record : records()) {
        identity = read_file(record).ends_with(" " + lib + "\n") ? record : identity;
    }
    ASSERT_FALSE(identity.empty());

    // Each damaged record costs only its own query or rehash.
    ryn_test::write_file(answers[0], "ryn-answer 1\n-ryn\ngarbage\n");
    ryn_test::write_file(identity, "ryn-identity 1 garbage\n");
    EXPECT_EQ(warm_run(), Counts(0, 1));
    EXPECT_FALSE(taken_from_record(lib));
    EXPECT_TRUE(taken_from_record(fixture.program));
    // Both rewritten by that run.
    EXPECT_EQ(warm_run(), Counts(0, 0));
    EXPECT_TRUE(taken_from_record(lib));
}

constexpr int k_drivers = 4;

class SharedCache : public ryn_e2e::DriverTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        // A slow engine makes sure the drivers really meet at the locks.
        install.wrap(install.engine(), "sleep 1");
        fixture = ryn_e2e::build_fixture(work / "src", "prog", {"libuser1.so", "libuser2.so"});
        if (GetParam()) {
            env.push_back("__RYN_FCNTL_FILE_LOCK__=1");
        }
    }

    // Starts the drivers at once, waits for all of them, and checks that
    // each succeeded and wrote the cached copy, and that no lock is left.
    void run_together() {
        install.clear_calls(install.engine());
        const std::string script = "for i in $(seq " + std::to_string(k_drivers) + "); do ('" +
                                   install.bin("ryn") + "' instrument -M -o out$i '" +
                                   fixture.program +
                                   "' >log$i 2>&1; echo $? >status$i) & done; wait";
        ASSERT_EQ(ryn_test::run({"/bin/sh", "-c", script}, env, work.path()).status, 0);
        const std::string cached = ryn_test::read_file(cached_copy("prog"));
        for (int i = 1; i <= k_drivers; ++i) {
            const std::string n = std::to_string(i);
            EXPECT_EQ(ryn_test::read_file(work / ("status" + n)), "0\n")
                << ryn_test::read_file(work / ("log" + n));
            EXPECT_EQ(ryn_test::read_file(work / ("out" + n)), cached);
            unlink((work / ("out" + n)).c_str());
        }
        EXPECT_EQ(ryn_e2e::files_ending_in(work.path(), ".link.lock"), Files{});
        // Record-lock files stay on disk by design; the locks die with their
        // descriptors.
        EXPECT_EQ(ryn_e2e::files_ending_in(work / "cache", ".lock").empty(), !GetParam());
    }
};

TEST_P(SharedCache, EmptyCacheGetsOneEngineRunPerTargetAndAWarmOneNone) {
    run_together();
    std::multiset<std::string> inputs;
    for (const auto& run : install.engine_runs()) {
        inputs.insert(run.last());
    }
    EXPECT_EQ(inputs,
              (std::multiset<std::string>{fixture.program, fixture.libs[0], fixture.libs[1]}));

    run_together();
    EXPECT_TRUE(install.engine_runs().empty());
}

INSTANTIATE_TEST_SUITE_P(LockSchemes, SharedCache, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "RecordLocks" : "LinkLocks";
                         });

}  // namespace
