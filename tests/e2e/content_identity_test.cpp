// A warm run takes a target's digest from the record of its identity instead
// of reading it, and never when the file may have changed since.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "driver/ryn_cache/content_identity.h"
#include "support/e2e_support.h"

using ryn_test::read_file;

namespace {

class ContentIdentity : public ryn_e2e::DriverTest {
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

    bool taken_from_record(const std::string& path) const {
        return last.err.find("Checksum of " + path + " taken from its identity record") !=
               std::string::npos;
    }

    std::vector<std::string> records() {
        return ryn_e2e::files_ending_in(work / "cache", ".identity");
    }

    std::string record_of(const std::string& path) {
        for (const std::string& record : records()) {
            if (read_file(record).find(" " + path + "\n") != std::string::npos) {
                return record;
            }
        }
        ADD_FAILURE() << "no record of " << path;
        return "";
    }

    // Changes one byte of the library in place (same inode, same size) and
    // puts its modification time back to the nanosecond: only the change
    // time tells the rewrite apart.
    void rewrite_keeping_size_and_mtime() {
        struct stat before {};
        ASSERT_EQ(stat(lib.c_str(), &before), 0);
        std::string bytes = read_file(lib);
        const size_t at = bytes.find("GCC: (");
        ASSERT_NE(at, std::string::npos);
        bytes[at] = 'g';
        const int fd = open(lib.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
        close(fd);
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(utimensat(AT_FDCWD, lib.c_str(), times, 0), 0);
        struct stat after {};
        ASSERT_EQ(stat(lib.c_str(), &after), 0);
        ASSERT_EQ(after.st_size, before.st_size);
        ASSERT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
        ASSERT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    }

    std::string lib;
    ryn_test::RunResult last;
};

TEST_F(ContentIdentity, UnchangedFilesAreNotReadAndRewrittenOnesAre) {
    // Just built: hashed, instrumented, but too young to be recorded.
    ASSERT_EQ(warm_run(), 2u);
    EXPECT_TRUE(records().empty());

    wait_past_margin();
    EXPECT_EQ(warm_run(), 0u);
    EXPECT_FALSE(taken_from_record(lib));
    EXPECT_EQ(records().size(), 2u);

    EXPECT_EQ(warm_run(), 0u);
    EXPECT_TRUE(taken_from_record(fixture.program)) << last.err;
    EXPECT_TRUE(taken_from_record(lib)) << last.err;

    rewrite_keeping_size_and_mtime();
    ASSERT_EQ(warm_run(), 1u);
    EXPECT_EQ(install.engine_runs()[0].last(), lib);
    EXPECT_FALSE(taken_from_record(lib));
    EXPECT_TRUE(taken_from_record(fixture.program));
    // The rewrite is too recent to be recorded: the next run reads it again.
    EXPECT_EQ(warm_run(), 0u);
    EXPECT_FALSE(taken_from_record(lib));
}

TEST_F(ContentIdentity, DamagedRecordCostsOnlyARehash) {
    wait_past_margin();
    ASSERT_EQ(warm_run(), 2u);
    const std::string record = record_of(lib);
    ASSERT_FALSE(record.empty());

    ryn_test::write_file(record, "ryn-identity 1 garbage\n");
    EXPECT_EQ(warm_run(), 0u);
    EXPECT_FALSE(taken_from_record(lib));
    EXPECT_TRUE(taken_from_record(fixture.program));
    // Rewritten by that run.
    EXPECT_EQ(warm_run(), 0u);
    EXPECT_TRUE(taken_from_record(lib));

    // A record claiming the rewritten file's identity but carrying the old
    // digest and a spoilt check must not be believed: the old digest would
    // match the old stamp and the stale copy would be reused.
    const std::string old_text = read_file(record);
    rewrite_keeping_size_and_mtime();
    struct stat st {};
    ASSERT_EQ(stat(lib.c_str(), &st), 0);
    // Layout: fields, digest, check, path; digest and check are 32 digits.
    const size_t tail = 32 + 1 + 32 + 1 + lib.size() + 1;
    const std::string fresh =
        ryn::identity_record_text(lib, ryn::identity_of(st), std::string(32, '0'));
    ryn_test::write_file(record, fresh.substr(0, fresh.size() - tail) +
                                     old_text.substr(old_text.size() - tail, 32) + " " +
                                     std::string(32, 'f') + " " + lib + "\n");
    EXPECT_EQ(warm_run(), 1u);
    EXPECT_FALSE(taken_from_record(lib));
}

}  // namespace
