// A warm run takes the engine's version line from the cache instead of
// starting the engine, and asks again whenever the engine file may differ
// from the one that answered.
#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "driver/ryn_cache/content_identity.h"
#include "support/e2e_support.h"

namespace {

class RememberedVersions : public ryn_e2e::DriverTest {
protected:
    void SetUp() override {
        fixture = ryn_e2e::build_fixture(work / "src", "prog", {"libuser1.so"});
    }

    static void wait_past_margin() {
        std::this_thread::sleep_for(std::chrono::seconds(ryn::k_identity_margin_seconds) +
                                    std::chrono::milliseconds(300));
    }

    // Runs `instrument -M -vv` and returns the number of version queries.
    size_t run() {
        last = ryn({"instrument", "-M", "-v", "-v", fixture.program});
        EXPECT_EQ(last.status, 0) << last.err;
        const auto calls = install.calls(install.engine());
        return std::ranges::count_if(
            calls, [](const ryn_e2e::Call& c) { return std::ranges::count(c.args, "-V") > 0; });
    }

    ryn_test::RunResult last;
};

TEST_F(RememberedVersions, AskedOnceThenRememberedUntilTheEngineIsReplaced) {
    EXPECT_EQ(run(), 0u);  // nothing cached yet: nothing to compare
    ASSERT_EQ(install.engine_runs().size(), 2u);
    wait_past_margin();
    EXPECT_EQ(run(), 1u);
    EXPECT_EQ(run(), 0u);
    EXPECT_EQ(install.engine_runs().size(), 0u);

    // Another engine in the same place, with another version line.
    install.wrap(install.engine(),
                 "case \" $* \" in *\" -V \"*) echo 'ryn: morphel 9.9'; exit 0;; esac");
    EXPECT_EQ(run(), 1u);
    EXPECT_EQ(install.engine_runs().size(), 2u);
    EXPECT_NE(last.err.find("This morphel: ryn: morphel 9.9"), std::string::npos) << last.err;
    // Replaced too recently to be remembered.
    EXPECT_EQ(run(), 1u);
}

TEST_F(RememberedVersions, DamagedRecordCostsOnlyAQuery) {
    run();
    wait_past_margin();
    ASSERT_EQ(run(), 1u);
    const auto records = ryn_e2e::files_ending_in(work / "cache", "engine-version.answer");
    ASSERT_EQ(records.size(), 1u);

    ryn_test::write_file(records[0], "ryn-answer 1\n-ryn\ngarbage\n");
    EXPECT_EQ(run(), 1u);
    EXPECT_EQ(install.engine_runs().size(), 0u);
    EXPECT_EQ(run(), 0u);  // rewritten by that run

    // The audit library's record with another answer under its old check.
    const auto audit = ryn_e2e::files_ending_in(work / "cache", "audit-version.answer");
    ASSERT_EQ(audit.size(), 1u);
    std::string text = ryn_test::read_file(audit[0]);
    const size_t answer = text.find("\n4\n");
    ASSERT_NE(answer, std::string::npos) << text;
    text[answer + 1] = '3';
    ryn_test::write_file(audit[0], text);
    run();
    EXPECT_NE(last.err.find("Link Auditor Version=4"), std::string::npos) << last.err;
    EXPECT_EQ(last.err.find("Link Auditor Version=3"), std::string::npos) << last.err;
}

}  // namespace
