// What is believed about a file without reading it again holds only for the
// very file and identity it was made for, and only a file whose times are
// safely old is recorded: a digest's identity record, a remembered answer,
// and an output that already holds exactly the cached copy.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "driver/ryn_cache/content_identity.h"
#include "driver/ryn_cache/placed_copy.h"
#include "driver/ryn_cache/remembered_answer.h"
#include "driver/ryn_util/file_replacement.h"
#include "support/test_support.h"

namespace {

using ryn::FileIdentity;

constexpr const char* k_digest = "0123456789abcdef0123456789abcdef";

const FileIdentity k_sample{
    2049, 123456, 5 << 20, {1700000000, 123456789}, {1700000001, 987654321}};

TEST(IdentityRecord, YieldsItsDigestOnlyForTheSameFileAndIdentityAndIntactRecord) {
    const std::string path = "/work/dir with blanks/libx.so";
    const FileIdentity id = k_sample;
    const std::string record = ryn::identity_record_text(path, id, k_digest);
    EXPECT_EQ(ryn::digest_from_record(record, path, id), std::string(k_digest));
    EXPECT_FALSE(ryn::digest_from_record(record, "/work/dir with blanks/liby.so", id));
    // Each part of the identity on its own: a rewrite may change only one.
    const auto changed = [&](auto change) {
        FileIdentity other = id;
        change(other);
        return ryn::digest_from_record(record, path, other).has_value();
    };
    EXPECT_FALSE(changed([](FileIdentity& o) { o.device += 1; }));
    EXPECT_FALSE(changed([](FileIdentity& o) { o.inode += 1; }));
    EXPECT_FALSE(changed([](FileIdentity& o) { o.size += 1; }));
    EXPECT_FALSE(changed([](FileIdentity& o) { o.mtime.tv_nsec += 1; }));
    EXPECT_FALSE(changed([](FileIdentity& o) { o.ctime.tv_sec -= 1; }));

    EXPECT_FALSE(ryn::digest_from_record("", path, id));
    EXPECT_FALSE(ryn::digest_from_record(record.substr(0, record.size() / 2), path, id));
    // A changed digit anywhere, the digest included, is caught by the check.
    for (size_t at = 0; at < record.size() - 1; ++at) {
        std::string damaged = record;
        damaged[at] = damaged[at] == '1' ? '2' : '1';
        EXPECT_FALSE(ryn::digest_from_record(damaged, path, id)) << at;
    }
    // Not a digest the cache could have written.
    const std::string upper =
        ryn::identity_record_text(path, id, "0123456789ABCDEF0123456789ABCDEF");
    EXPECT_FALSE(ryn::digest_from_record(upper, path, id));
}

TEST(IdentityRecord, OnlyTimesSafelyBeforeTheStartAreTrusted) {
    FileIdentity id = k_sample;
    const time_t margin = ryn::k_identity_margin_seconds;
    id.mtime = {1000, 500};
    id.ctime = {1000, 500};
    EXPECT_TRUE(ryn::safely_older(id, {1000 + margin, 501}));
    EXPECT_FALSE(ryn::safely_older(id, {1000 + margin, 500}));
    EXPECT_TRUE(ryn::safely_older(id, {1001 + margin, 0}));
    // Either time being recent is enough to distrust the file.
    id.ctime = {1005, 0};
    EXPECT_FALSE(ryn::safely_older(id, {1001 + margin, 0}));
    id.ctime = {1000, 0};
    id.mtime = {1005, 0};
    EXPECT_FALSE(ryn::safely_older(id, {1001 + margin, 0}));
}

TEST(RememberedAnswers, KeptOnlyForTheSameQuestionAndUnchangedFiles) {
    ryn_test::TempDir dir;
    const std::string engine = dir / "engine";
    const std::string library = dir / "lib.so";
    const std::string record = dir / "answer";
    ryn_test::write_file(engine, "engine 1");
    ryn_test::write_file(library, "library 1");
    ryn_test::write_file(dir / "named", "engine 1");
    std::this_thread::sleep_for(std::chrono::seconds(ryn::k_identity_margin_seconds) +
                                std::chrono::milliseconds(300));
    const auto recall = [&](const std::string& question, std::vector<std::string> files) {
        return ryn::RememberedAnswer(record, question, std::move(files)).recall();
    };

    ryn::RememberedAnswer asked(record, "-ryn", {engine, library});
    EXPECT_FALSE(asked.recall());
    asked.remember("ryn: morphel 1.0");
    EXPECT_EQ(recall("-ryn", {engine, library}), "ryn: morphel 1.0");
    EXPECT_FALSE(recall("-ped", {engine, library}));
    EXPECT_FALSE(recall("-ryn", {engine}));

    // A name without a slash is found on the search path, not here.
    const ryn_test::ScopedChdir in_dir(dir.path());
    ryn::RememberedAnswer by_name(record, "-ryn", {"named"});
    by_name.recall();
    by_name.remember("ryn: morphel 1.0");
    EXPECT_FALSE(recall("-ryn", {"named"}));
}

// An output is left alone only when it holds exactly what copying the
// cached file would put there.
TEST(PlacedCopy, OnlyAnExactCopyCounts) {
    using ryn::holds_placed_copy;
    ryn_test::TempDir dir;
    const std::string cached = dir / "cached";
    const std::string output = dir / "prog.instr";
    ryn_test::write_file(cached, std::string(100000, 'x') + "end");
    ASSERT_EQ(chmod(cached.c_str(), 0755), 0);
    ASSERT_EQ(ryn::replace_file(cached.c_str(), output.c_str(), true), 0);
    // Rewrites one byte of the output in its own inode, keeping size and
    // modification time.
    const auto spoil_output = [&](char byte) {
        struct stat st {};
        ASSERT_EQ(stat(output.c_str(), &st), 0);
        const int fd = open(output.c_str(), O_WRONLY);
        ASSERT_EQ(pwrite(fd, &byte, 1, 5000), 1);
        close(fd);
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        ASSERT_EQ(utimensat(AT_FDCWD, output.c_str(), times, 0), 0);
    };

    EXPECT_TRUE(holds_placed_copy(cached, output));
    // Both too young to be trusted by identity.
    EXPECT_FALSE(ryn_test::exists(ryn::placed_copy_record(cached)));
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

}  // namespace
