// An identity record yields its digest only for the very file and identity
// it was made for, and only a file whose times are safely old is recorded.
#include <gtest/gtest.h>

#include <string>

#include "driver/ryn_cache/content_identity.h"

namespace {

using ryn::FileIdentity;

constexpr const char* k_digest = "0123456789abcdef0123456789abcdef";

FileIdentity sample_identity() {
    FileIdentity id;
    id.device = 2049;
    id.inode = 123456;
    id.size = 5 << 20;
    id.mtime = {1700000000, 123456789};
    id.ctime = {1700000001, 987654321};
    return id;
}

TEST(IdentityRecord, YieldsItsDigestOnlyForTheSameFileAndIdentity) {
    const std::string path = "/work/dir with blanks/libx.so";
    const FileIdentity id = sample_identity();
    const std::string record = ryn::identity_record_text(path, id, k_digest);
    EXPECT_EQ(ryn::digest_from_record(record, path, id), std::string(k_digest));

    EXPECT_FALSE(ryn::digest_from_record(record, "/work/dir with blanks/liby.so", id));
    EXPECT_FALSE(ryn::digest_from_record(record, "/work/dir", id));
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
    EXPECT_FALSE(changed([](FileIdentity& o) { o.mtime.tv_sec += 1; }));
    EXPECT_FALSE(changed([](FileIdentity& o) { o.ctime.tv_nsec += 1; }));
    EXPECT_FALSE(changed([](FileIdentity& o) { o.ctime.tv_sec -= 1; }));
}

TEST(IdentityRecord, DamagedRecordsAreRefused) {
    const std::string path = "/p/lib.so";
    const FileIdentity id = sample_identity();
    const std::string record = ryn::identity_record_text(path, id, k_digest);
    EXPECT_FALSE(ryn::digest_from_record("", path, id));
    EXPECT_FALSE(ryn::digest_from_record(record.substr(0, record.size() - 1), path, id));
    EXPECT_FALSE(ryn::digest_from_record(record.substr(0, record.size() / 2), path, id));
    EXPECT_FALSE(ryn::digest_from_record(record + record, path, id));
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
    FileIdentity id = sample_identity();
    const time_t margin = ryn::k_identity_margin_seconds;
    id.mtime = {1000, 500};
    id.ctime = {1000, 500};
    EXPECT_TRUE(ryn::safely_older(id, {1000 + margin, 501}));
    EXPECT_FALSE(ryn::safely_older(id, {1000 + margin, 500}));
    EXPECT_FALSE(ryn::safely_older(id, {1000 + margin - 1, 999999999}));
    EXPECT_TRUE(ryn::safely_older(id, {1001 + margin, 0}));
    // Either time being recent is enough to distrust the file.
    id.ctime = {1005, 0};
    EXPECT_FALSE(ryn::safely_older(id, {1001 + margin, 0}));
    id.ctime = {1000, 0};
    id.mtime = {1005, 0};
    EXPECT_FALSE(ryn::safely_older(id, {1001 + margin, 0}));
}

}  // namespace
