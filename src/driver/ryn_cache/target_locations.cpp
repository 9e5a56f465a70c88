// Where a target's copy, saved original and stamp live in the cache, and the
// digest that tells whether the copy still matches the file.
#include "i18n/driver_texts.h"
#include "ryn/target.h"

#include <fcntl.h>
#include <md5.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "driver/ryn_cache/content_identity.h"
#include "driver/ryn_util/unique_fd.h"
#include "driver/ryn_util/unique_file.h"
#include "driver/ryn_util/usable_path.h"
#include "ryn/exec_util.h"
#include "ryn/ryn_cache.h"

namespace ryn {

namespace {

constexpr size_t k_checksum_block = 1 << 20;

bool path_exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

}  // namespace

void Target::compute_checksum(char* out) {
    // Taken before the file is first looked at: a write after this moment
    // moves the file's times past the margin the record demands.
    timespec started{};
    clock_gettime(CLOCK_REALTIME, &started);
    identity_record.clear();
    struct stat before {};
    const bool known = stat(name.c_str(), &before) == 0;
    if (known && !cached_name.empty()) {
        if (const auto record = ryn::read_identity_record(identity_name())) {
            if (const auto digest =
                    ryn::digest_from_record(*record, name, ryn::identity_of(before))) {
                if (util->very_verbose) {
                    util->report_error(MSG_INFO, 0, driver_text(DriverText::DIGEST_FROM_IDENTITY),
                                       name.c_str());
                }
                memcpy(out, digest->c_str(), digest->size() + 1);
                return;
            }
        }
    }
    const ryn::UniqueFd fd = ryn::open_regular_file(name.c_str(), O_RDONLY);
    if (!fd.valid()) {
        util->fatal(errno, driver_text(DriverText::CANNOT_OPEN_TARGET), name.c_str());
    }
    const std::unique_ptr<unsigned char[]> block(
        new (std::nothrow) unsigned char[k_checksum_block]);
    if (!block) {
        util->fatal(0, "%s", get_msg(RYN_RAN_OUT_OF_MEMORY));
    }
    MD5_CTX context;
    MD5Init(&context);
    for (;;) {
        const ssize_t n = read(fd.get(), block.get(), k_checksum_block);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        MD5Update(&context, block.get(), static_cast<size_t>(n));
    }
    unsigned char digest[MD5_DIGEST_LENGTH];
    MD5Final(digest, &context);
    const std::string text = md5_digest_text(digest);
    memcpy(out, text.c_str(), text.size() + 1);

    // Recorded only for a file that stood still while it was read and whose
    // times no same-step write could have left unchanged.
    struct stat after {};
    const ryn::FileIdentity id = ryn::identity_of(before);
    if (known && !cached_name.empty() && fstat(fd.get(), &after) == 0 &&
        ryn::identity_of(after) == id && ryn::safely_older(id, started)) {
        identity_record = ryn::identity_record_text(name, id, text);
    }
}

bool Target::stamp_matches() const {
    const std::string stamp = stamp_name();
    if (!path_exists(cached_name) || !path_exists(stamp)) {
        return false;
    }
    const ryn::UniqueFile file(fopen(stamp.c_str(), "r"));
    if (!file) {
        util->fatal(0, get_msg(GENERAL_FATAL_ERROR), driver_text(DriverText::STAMP_OPEN_FAILED));
    }
    char line[33];
    if (!fgets(line, sizeof line, file.get())) {
        util->fatal(0, get_msg(GENERAL_FATAL_ERROR), driver_text(DriverText::STAMP_READ_FAILED));
    }
    return checksum == line;
}

void Target::compute_target_locations(const char* base) {
    struct stat st {};
    if (stat(name.c_str(), &st) != 0) {
        util->fatal(errno, get_msg(RYN_E_FILE_NOT_FOUND), name.c_str());
    }
    const size_t slash = name.rfind('/');
    if (slash == std::string::npos) {
        util->fatal(0, get_msg(GENERAL_FATAL_ERROR), driver_text(DriverText::NO_BINARY_NAME));
    }
    // The memory checker keeps fully and write-only instrumented copies of
    // one file apart.
    const char* kind_suffix = "";
    if (cache && cache->policy.memvex) {
        kind_suffix = check_and_set_memvex_full_instr_flag() ? "_f" : "_w";
    }
    cached_name = std::string(base) +
                  util->get_hash(name.c_str(), instr_options ? instr_options->c_str() : nullptr) +
                  kind_suffix + name.substr(slash);
    original_name = cached_name + ".original";

    // The copy's name comes first: the identity record lives beside it.
    char digest[34];
    compute_checksum(digest);
    const std::string mtime = std::to_string(static_cast<int>(st.st_mtime));
    checksum = util->get_hash(digest, mtime.c_str());

    if (stamp_matches()) {
        rebuild = false;
    }
    cache_dir = cached_name.substr(0, cached_name.rfind('/'));
    // The stamp is written only once the engine has made the copy, under the
    // target's lock, so that a stamp always describes a copy that exists.
    if (rebuild) {
        util->create_directory(cache_dir.c_str());
    }
}

void Target::write_stamp() const {
    // Written beside and renamed into place: another driver may read the
    // stamp at any moment without holding the lock.
    const std::string stamp = stamp_name();
    const std::string scratch = stamp + "." + std::to_string(getpid());
    {
        const ryn::UniqueFd fd(open(scratch.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666));
        if (!fd.valid()) {
            return;
        }
        if (!ryn::write_all(fd.get(), checksum)) {
            unlink(scratch.c_str());
            return;
        }
    }
    if (rename(scratch.c_str(), stamp.c_str()) != 0) {
        unlink(scratch.c_str());
    }
}

void Target::write_identity_record() const {
    if (!identity_record.empty()) {
        ryn::write_identity_record(identity_name(), identity_record);
    }
}

}  // namespace ryn
