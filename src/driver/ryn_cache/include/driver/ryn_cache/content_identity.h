// Reusing a file's content digest while the file is provably unchanged. The
// identity (device, inode, size, modification and change times) is recorded
// beside the stamp when the digest is computed; a later run whose identity
// matches takes the digest from the record instead of reading the file.
#pragma once

#include <sys/stat.h>
#include <time.h>

#include <optional>
#include <string>

namespace ryn {

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec mtime{};
    timespec ctime{};

    bool operator==(const FileIdentity& other) const;
};

FileIdentity identity_of(const struct stat& st);

// Equal to the nanosecond.
bool same_time(const timespec& a, const timespec& b);

// The 32-digit MD5 of a record's text, which a record carries so that a
// damaged one is never trusted.
std::string record_check(const std::string& text);

// The identity as seven decimal numbers separated by blanks.
std::string identity_text(const FileIdentity& id);

// Times closer than this to the moment hashing began are not trusted: a write
// in the same step of the file-system clock leaves them unchanged. FAT steps
// in 2 s; the extra second covers the coarse kernel clock lagging behind the
// one read here.
constexpr time_t k_identity_margin_seconds = 3;

// Whether both of the file's times lie at least the margin before `started`.
bool safely_older(const FileIdentity& id, const timespec& started);

// One line naming the file, its identity and its 32-digit digest.
std::string identity_record_text(const std::string& path, const FileIdentity& id,
                                 const std::string& digest);

// The digest a record holds for `path` with identity `id`; nothing when the
// record is malformed, names another file or another identity.
std::optional<std::string> digest_from_record(const std::string& record, const std::string& path,
                                              const FileIdentity& id);

// Reads the record file; nothing when it is missing or unreadable.
std::optional<std::string> read_identity_record(const std::string& record_path);

// Replaces the record file atomically; a failure only costs a later re-hash.
void write_identity_record(const std::string& record_path, const std::string& text);

}  // namespace ryn
