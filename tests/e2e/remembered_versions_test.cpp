// What a warm run remembers: a target's digest, from the record of its
// identity, instead of reading the file, and the engine's version line instead
// of starting the engine; never when the file or the engine may have changed
// since, and a damaged record costs only a rehash or a query.
#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "driver/ryn_cache/content_identity.h"
#include "support/e2e_support.h"

using ryn_test::read_file;

namespace {

class RememberedVersions : public ryn_e2e::DriverTest {
protected:
    void SetUp() override {
        fixture = ryn_e2e::build_fixture(work / "src", "prog", {"libuser1.so"});
        lib = fixture.libs[0];
    }

    // Files younger than the margin are hashed but never recorded.
    static void wait_past_margin() {
        std::this_thread::sleep_for(std::chrono::seconds(ryn::k_identity_margin_seconds) +
                                    std::chrono::milliseconds(300));
    }

    // Engine runs of one successful `instrument -M -vv` of the program.
    size_t warm_run() {
        last = ryn({"instrument", "-M", "-v", "-v", fixture.program});
        EXPECT_EQ(last.status, 0) << last.err;
        return install.engine_runs().size();
    }

    // Version queries of the last run.
    size_t queries() const {
        return install.calls(install.engine()).size() - install.engine_runs().size();
    }

    ::testing::AssertionResult taken_from_record(const std::string& path) const {
        return ryn_e2e::holds(last.err, "Checksum of " + path + " taken from its identity record");
    }

    std::vector<std::string> records(const std::string& suffix = ".identity") {
        return ryn_e2e::files_ending_in(work / "cache", suffix);
    }

    // Changes one byte of the library in place (same inode, same size) and
    // puts its modification time back to the nanosecond: only the change
    // time tells the rewrite apart.
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

    std::string lib;
    ryn_test::RunResult last;
};

TEST_F(RememberedVersions, AskedOnceThenRememberedUntilTheEngineIsReplaced) {
    // Just built: hashed, instrumented, but too young to be recorded; and
    // nothing cached yet, so no version to compare.
    ASSERT_EQ(warm_run(), 2u);
    EXPECT_EQ(queries(), 0u);
    EXPECT_TRUE(records().empty());

    wait_past_margin();
    EXPECT_EQ(warm_run(), 0u);
    EXPECT_EQ(queries(), 1u);
    EXPECT_FALSE(taken_from_record(lib));
    EXPECT_EQ(records().size(), 2u);

    EXPECT_EQ(warm_run(), 0u);
    EXPECT_EQ(queries(), 0u);
    EXPECT_TRUE(taken_from_record(fixture.program));
    EXPECT_TRUE(taken_from_record(lib));

    rewrite_keeping_size_and_mtime();
    ASSERT_EQ(warm_run(), 1u);
    EXPECT_EQ(install.engine_runs()[0].last(), lib);
    EXPECT_FALSE(taken_from_record(lib));
    EXPECT_TRUE(taken_from_record(fixture.program));
    // The rewrite is too recent to be recorded: the next run reads it again.
    EXPECT_EQ(warm_run(), 0u);
    EXPECT_FALSE(taken_from_record(lib));

    // Another engine in the same place, with another version line.
    install.wrap(install.engine(),
                 "case \" $* \" in *\" -V \"*) echo 'ryn: morphel 9.9'; exit 0;; esac");
    EXPECT_EQ(warm_run(), 2u);
    EXPECT_EQ(queries(), 1u);
    EXPECT_TRUE(ryn_e2e::holds(last.err, "This morphel: ryn: morphel 9.9"));
    // Replaced too recently to be remembered.
    warm_run();
    EXPECT_EQ(queries(), 1u);
}

TEST_F(RememberedVersions, DamagedRecordCostsOnlyAQuery) {
    wait_past_margin();
    ASSERT_EQ(warm_run(), 2u);
    warm_run();
    ASSERT_EQ(queries(), 1u);
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
    EXPECT_EQ(warm_run(), 0u);
    EXPECT_EQ(queries(), 1u);
    EXPECT_FALSE(taken_from_record(lib));
    EXPECT_TRUE(taken_from_record(fixture.program));
    // Both rewritten by that run.
    EXPECT_EQ(warm_run(), 0u);
    EXPECT_EQ(queries(), 0u);
    EXPECT_TRUE(taken_from_record(lib));

    // The audit library's record with another answer under its old check.
    const auto audit = records("audit-version.answer");
    ASSERT_EQ(audit.size(), 1u);
    std::string text = read_file(audit[0]);
    const size_t answer = text.find("\n4\n");
    ASSERT_NE(answer, std::string::npos) << text;
    text[answer + 1] = '3';
    ryn_test::write_file(audit[0], text);
    warm_run();
    EXPECT_TRUE(ryn_e2e::holds(last.err, "Link Auditor Version=4"));
    EXPECT_FALSE(ryn_e2e::holds(last.err, "Link Auditor Version=3"));
}

}  // namespace
