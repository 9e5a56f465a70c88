// An output is left alone only when it holds exactly what copying the cached
// file would put there; the record that spares reading it again is made
// only for files too old to hide a change.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "driver/ryn_cache/content_identity.h"
#include "driver/ryn_cache/placed_copy.h"
#include "driver/ryn_util/file_replacement.h"
#include "support/test_support.h"

namespace {

using ryn::holds_placed_copy;

class PlacedCopy : public ::testing::Test {
protected:
    void SetUp() override {
        ryn_test::write_file(cached, std::string(100000, 'x') + "end");
        ASSERT_EQ(chmod(cached.c_str(), 0755), 0);
        ASSERT_EQ(ryn::replace_file(cached.c_str(), output.c_str(), true), 0);
    }

    // Rewrites one byte of the output in its own inode, keeping size and
    // modification time.
    void spoil_output(char byte) {
        struct stat st {};
        ASSERT_EQ(stat(output.c_str(), &st), 0);
        const int fd = open(output.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, &byte, 1, 5000), 1);
        close(fd);
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        ASSERT_EQ(utimensat(AT_FDCWD, output.c_str(), times, 0), 0);
    }

    bool recorded() const { return ryn_test::exists(ryn::placed_copy_record(cached)); }

    ryn_test::TempDir dir;
    std::string cached = dir / "cached";
    std::string output = dir / "prog.instr";
};

TEST_F(PlacedCopy, OnlyAnExactCopyCounts) {
    EXPECT_TRUE(holds_placed_copy(cached, output));
    EXPECT_FALSE(recorded());  // both too young to be trusted by identity

    spoil_output('y');
    EXPECT_FALSE(holds_placed_copy(cached, output));
    spoil_output('x');
    EXPECT_TRUE(holds_placed_copy(cached, output));

    ASSERT_EQ(chmod(output.c_str(), 0700), 0);
    EXPECT_FALSE(holds_placed_copy(cached, output));
    ASSERT_EQ(chmod(output.c_str(), 0755), 0);

    const struct timespec later[2] = {{UTIME_OMIT, 0}, {2000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, output.c_str(), later, 0), 0);
    EXPECT_FALSE(holds_placed_copy(cached, output));

    // The cached file itself under the output's name is no copy.
    ASSERT_EQ(unlink(output.c_str()), 0);
    ASSERT_EQ(link(cached.c_str(), output.c_str()), 0);
    EXPECT_FALSE(holds_placed_copy(cached, output));
    EXPECT_FALSE(holds_placed_copy(cached, dir / "missing"));
}

TEST_F(PlacedCopy, RecordOfOldFilesHoldsUntilEitherChanges) {
    std::this_thread::sleep_for(std::chrono::seconds(ryn::k_identity_margin_seconds) +
                                std::chrono::milliseconds(300));
    EXPECT_TRUE(holds_placed_copy(cached, output));
    EXPECT_TRUE(recorded());
    EXPECT_TRUE(holds_placed_copy(cached, output));

    // A change within the file's own inode that keeps every time but the
    // change time.
    spoil_output('y');
    EXPECT_FALSE(holds_placed_copy(cached, output));
    spoil_output('x');
    EXPECT_TRUE(holds_placed_copy(cached, output));

    // A change of the cached file.
    ryn_test::write_file(cached, std::string(100000, 'x') + "END");
    ASSERT_EQ(chmod(cached.c_str(), 0755), 0);
    struct stat st {};
    ASSERT_EQ(stat(output.c_str(), &st), 0);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, cached.c_str(), times, 0), 0);
    EXPECT_FALSE(holds_placed_copy(cached, output));
}

}  // namespace
