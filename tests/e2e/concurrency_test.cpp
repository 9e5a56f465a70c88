// Drivers started together on one cache instrument each target once, under
// either lock scheme, and leave no lock behind.
#include <set>

#include <gtest/gtest.h>

#include "support/e2e_support.h"

using Files = std::vector<std::string>;

namespace {

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
