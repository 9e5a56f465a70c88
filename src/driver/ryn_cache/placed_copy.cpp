// Whether a user's file already holds a cached copy: by the record of both
// files' identities, or else by their bytes.
#include "driver/ryn_cache/placed_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <new>

#include "driver/ryn_cache/content_identity.h"
#include "driver/ryn_util/file_replacement.h"
#include "driver/ryn_util/unique_fd.h"

namespace ryn {

namespace {

constexpr size_t k_compare_block = 1 << 20;

// What a copy keeping mode and times shows without its bytes being read. The
// same inode would be the cached file itself, not a copy of it.
bool looks_like_copy(const struct stat& from, const struct stat& to) {
    return S_ISREG(from.st_mode) && S_ISREG(to.st_mode) &&
           (from.st_dev != to.st_dev || from.st_ino != to.st_ino) && from.st_size == to.st_size &&
           (from.st_mode & 07777) == (to.st_mode & 07777) && from.st_uid == to.st_uid &&
           from.st_gid == to.st_gid && same_time(from.st_mtim, to.st_mtim);
}

// Same bytes, and neither file changed while they were read.
bool same_bytes(int a, int b, const struct stat& a_before, const struct stat& b_before) {
    const std::unique_ptr<char[]> left(new (std::nothrow) char[k_compare_block]);
    const std::unique_ptr<char[]> right(new (std::nothrow) char[k_compare_block]);
    if (!left || !right) {
        return false;
    }
    for (;;) {
        const ssize_t n = read_full(a, left.get(), k_compare_block);
        if (n < 0 || read_full(b, right.get(), k_compare_block) != n ||
            memcmp(left.get(), right.get(), static_cast<size_t>(n)) != 0) {
            return false;
        }
        if (static_cast<size_t>(n) < k_compare_block) {
            break;
        }
    }
    struct stat a_after {};
    struct stat b_after {};
    return fstat(a, &a_after) == 0 && fstat(b, &b_after) == 0 &&
           identity_of(a_after) == identity_of(a_before) &&
           identity_of(b_after) == identity_of(b_before);
}

std::string record_text(const struct stat& from, const std::string& to, const struct stat& to_st) {
    return "ryn-placed 1\n" + identity_text(identity_of(from)) + "\n" +
           identity_text(identity_of(to_st)) + " " + to + "\n";
}

}  // namespace

std::string placed_copy_record(const std::string& from) { return from + ".placed"; }

bool holds_placed_copy(const std::string& from, const std::string& to) {
    timespec started{};
    clock_gettime(CLOCK_REALTIME, &started);
    const std::string destination = replacement_destination(to.c_str());
    if (destination.find('\n') != std::string::npos) {
        return false;
    }
    const UniqueFd in(open(from.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    const UniqueFd out(open(destination.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat from_st {};
    struct stat to_st {};
    if (!in.valid() || !out.valid() || fstat(in.get(), &from_st) != 0 ||
        fstat(out.get(), &to_st) != 0 || !looks_like_copy(from_st, to_st)) {
        return false;
    }
    const std::string record = placed_copy_record(from);
    const std::string expected = record_text(from_st, destination, to_st);
    if (read_identity_record(record) == expected) {
        return true;
    }
    if (!same_bytes(in.get(), out.get(), from_st, to_st)) {
        return false;
    }
    if (safely_older(identity_of(from_st), started) && safely_older(identity_of(to_st), started)) {
        write_identity_record(record, expected);
    }
    return true;
}

}  // namespace ryn
