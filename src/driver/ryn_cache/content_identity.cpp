// Identity records: their one-line text, their checks and their file.
#include "driver/ryn_cache/content_identity.h"

#include <fcntl.h>
#include <md5.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "driver/ryn_util/unique_fd.h"

namespace ryn {

namespace {

constexpr const char* k_record_tag = "ryn-identity 1";
constexpr size_t k_digest_len = 32;
constexpr size_t k_record_limit = 8192;

bool before_margin(const timespec& t, const timespec& started) {
    // Whole seconds suffice: the margin is far coarser than the nanoseconds.
    return t.tv_sec < started.tv_sec - k_identity_margin_seconds ||
           (t.tv_sec == started.tv_sec - k_identity_margin_seconds && t.tv_nsec < started.tv_nsec);
}

bool is_digest(const std::string& text) {
    return text.size() == k_digest_len &&
           text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The record's leading fields: its format and the identity.
std::string identity_fields(const FileIdentity& id) {
    return std::string(k_record_tag) + " " + identity_text(id) + " ";
}

}  // namespace

std::string identity_text(const FileIdentity& id) {
    char fields[256];
    snprintf(fields, sizeof fields, "%ju %ju %jd %jd %ld %jd %ld",
             static_cast<uintmax_t>(id.device), static_cast<uintmax_t>(id.inode),
             static_cast<intmax_t>(id.size), static_cast<intmax_t>(id.mtime.tv_sec),
             id.mtime.tv_nsec, static_cast<intmax_t>(id.ctime.tv_sec), id.ctime.tv_nsec);
    return fields;
}

bool same_time(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

std::string record_check(const std::string& text) {
    char check[MD5_DIGEST_STRING_LENGTH];
    MD5Data(reinterpret_cast<const uint8_t*>(text.data()), text.size(), check);
    return check;
}

bool FileIdentity::operator==(const FileIdentity& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           same_time(mtime, other.mtime) && same_time(ctime, other.ctime);
}

FileIdentity identity_of(const struct stat& st) {
    FileIdentity id;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    id.size = st.st_size;
    id.mtime = st.st_mtim;
    id.ctime = st.st_ctim;
    return id;
}

bool safely_older(const FileIdentity& id, const timespec& started) {
    return before_margin(id.mtime, started) && before_margin(id.ctime, started);
}

std::string identity_record_text(const std::string& path, const FileIdentity& id,
                                 const std::string& digest) {
    // The check covers the whole record, so a damaged digest is never trusted.
    const std::string body = identity_fields(id) + digest + " ";
    return body + record_check(body + path) + " " + path + "\n";
}

std::optional<std::string> digest_from_record(const std::string& record, const std::string& path,
                                              const FileIdentity& id) {
    const std::string fields = identity_fields(id);
    if (record.compare(0, fields.size(), fields) != 0) {
        return std::nullopt;
    }
    std::string digest = record.substr(fields.size(), k_digest_len);
    if (!is_digest(digest) || record != identity_record_text(path, id, digest)) {
        return std::nullopt;
    }
    return digest;
}

std::optional<std::string> read_identity_record(const std::string& record_path) {
    const UniqueFd fd(open(record_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        return std::nullopt;
    }
    // A file that fills the buffer is longer than any record.
    char buffer[k_record_limit];
    const ssize_t n = read_full(fd.get(), buffer, sizeof buffer);
    if (n < 0 || static_cast<size_t>(n) == sizeof buffer) {
        return std::nullopt;
    }
    return std::string(buffer, static_cast<size_t>(n));
}

void write_identity_record(const std::string& record_path, const std::string& text) {
    // Renamed into place: a driver without the lock may read it at any time.
    const std::string scratch = record_path + "." + std::to_string(getpid());
    {
        const UniqueFd fd(open(scratch.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
        if (!fd.valid()) {
            return;
        }
        if (!write_all(fd.get(), text)) {
            unlink(scratch.c_str());
            return;
        }
    }
    if (rename(scratch.c_str(), record_path.c_str()) != 0) {
        unlink(scratch.c_str());
    }
}

}  // namespace ryn
