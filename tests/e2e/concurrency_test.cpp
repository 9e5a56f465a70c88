// Drivers started together on one cache instrument each target once, under
// either lock scheme, and leave no lock behind.
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "support/e2e_support.h"
#include "support/test_support.h"

using ryn_e2e::InstallCopy;
using ryn_test::TempDir;

namespace {

constexpr int k_drivers = 4;

class SharedCache : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        // A slow engine makes sure the drivers really meet at the locks.
        install.wrap(install.engine(), ryn_e2e::WrapperOptions::delayed(1));
        fixture = ryn_e2e::build_fixture(work / "src", "prog", {"libuser1.so", "libuser2.so"});
        env = ryn_e2e::hermetic_env(work.path());
        if (GetParam()) {
            env.push_back("__RYN_FCNTL_FILE_LOCK__=1");
        }
    }

    std::string output(int i) const { return work / ("out" + std::to_string(i)); }

    // Starts the drivers at once and waits for all of them; returns their
    // exit statuses.
    std::vector<int> run_together() {
        install.clear_calls(install.engine());
        std::ostringstream script;
        script << "cd '" << work.path() << "' || exit 99\n";
        for (int i = 0; i < k_drivers; ++i) {
            script << "( env";
            for (const std::string& assignment : env) {
                script << " '" << assignment << "'";
            }
            script << " '" << install.bin("ryn") << "' instrument -M -o '" << output(i) << "' '"
                   << fixture.program << "' > '" << output(i) << ".log' 2>&1; echo $? > '"
                   << output(i) << ".status' ) &\n";
        }
        script << "wait\n";
        const auto result = ryn_test::run_shell(script.str());
        EXPECT_EQ(result.status, 0) << result.err;
        std::vector<int> statuses;
        for (int i = 0; i < k_drivers; ++i) {
            statuses.push_back(std::stoi("0" + ryn_test::read_file(output(i) + ".status")));
            EXPECT_EQ(statuses.back(), 0) << ryn_test::read_file(output(i) + ".log");
        }
        return statuses;
    }

    void expect_identical_outputs() {
        const auto copies = ryn_e2e::files_ending_in(work / "cache", "/prog");
        ASSERT_EQ(copies.size(), 1u);
        const std::string cached = ryn_test::read_file(copies[0]);
        for (int i = 0; i < k_drivers; ++i) {
            EXPECT_EQ(ryn_test::read_file(output(i)), cached) << output(i);
        }
    }

    void expect_no_lock_left() {
        EXPECT_EQ(ryn_e2e::files_ending_in(work.path(), ".link.lock"),
                  std::vector<std::string>{});
        const auto record_locks = ryn_e2e::files_ending_in(work / "cache", ".lock");
        if (GetParam()) {
            // Record-lock files stay on disk by design; the locks themselves
            // die with their descriptors.
            EXPECT_FALSE(record_locks.empty());
        } else {
            EXPECT_EQ(record_locks, std::vector<std::string>{});
        }
    }

    InstallCopy install;
    TempDir work;
    ryn_e2e::Fixture fixture;
    std::vector<std::string> env;
};

TEST_P(SharedCache, EmptyCacheGetsOneEngineRunPerTarget) {
    const std::vector<int> statuses = run_together();
    EXPECT_EQ(statuses, std::vector<int>(k_drivers, 0));

    const auto runs = install.engine_runs();
    std::multiset<std::string> inputs;
    for (const auto& run : runs) {
        inputs.insert(run.last());
    }
    EXPECT_EQ(inputs, (std::multiset<std::string>{fixture.program, fixture.libs[0],
                                                  fixture.libs[1]}));
    expect_identical_outputs();
    expect_no_lock_left();

    // Every driver but one waited and then reused the copy just made.
    const auto stamps = ryn_e2e::files_ending_in(work / "cache", ".cksum_tstamp");
    EXPECT_EQ(stamps.size(), 3u);
}

TEST_P(SharedCache, WarmCacheRunsNoEngineAtAll) {
    run_together();
    for (int i = 0; i < k_drivers; ++i) {
        unlink(output(i).c_str());
    }
    const std::vector<int> statuses = run_together();
    EXPECT_EQ(statuses, std::vector<int>(k_drivers, 0));
    EXPECT_TRUE(install.engine_runs().empty());
    expect_identical_outputs();
    expect_no_lock_left();
}

INSTANTIATE_TEST_SUITE_P(LockSchemes, SharedCache, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "RecordLocks" : "LinkLocks";
                         });

}  // namespace
