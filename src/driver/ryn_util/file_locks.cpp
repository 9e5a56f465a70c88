// Taking and giving back a file lock, in whichever scheme the environment
// selects at the time of the call.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "driver/ryn_util/lock_support.h"
#include "driver/ryn_util/unique_fd.h"
#include "ryn/exec_util.h"

namespace ryn {

namespace {

const char* printable(const char* path) { return path ? path : "(null)"; }

}  // namespace

int ExecUtil::acquire_lock_file(const char* path, bool shared) {
    if (very_verbose) {
        fprintf(stderr, "Process %d acquiring lock on file %s\n", getpid(), printable(path));
    }
    if (path == nullptr) {
        return -1;
    }
    if (!ryn::record_locks_selected()) {
        return acquire_link_lock(path);
    }

    const std::string lock_file = std::string(path) + ryn::k_record_lock_suffix;
    ryn::ensure_parent_directory(*this, path);
    ryn::UniqueFd fd(open(lock_file.c_str(), O_RDWR | O_CREAT, 0666));
    if (!fd.valid() || retry_lockf_op(fd.get(), 1, shared) == -1) {
        report_error(MSG_WARNING, 0, get_msg(FILE_LOCK_FAILED), static_cast<int>(getpid()),
                     lock_file.c_str());
        return -1;
    }
    if (very_verbose) {
        fprintf(stderr, "Process %d acquired lock on file %s\n", getpid(), path);
    }
    // The lock lives as long as this descriptor.
    return fd.release();
}

void ExecUtil::release_lock_file(int fd, const char* path) {
    if (very_verbose) {
        fprintf(stderr, "Process %d releasing lock on file %s\n", getpid(), printable(path));
    }
    if (path == nullptr) {
        return;
    }
    ryn::UniqueFd held(fd);
    if (ryn::record_locks_selected()) {
        // The record-lock file stays: removing it would let a waiter that
        // already opened it lock a name nobody else can see.
        if (retry_lockf_op(held.get(), 0, false) == -1) {
            report_error(MSG_WARNING, 0, get_msg(FILE_UNLOCK_FAILED), static_cast<int>(getpid()),
                         path);
        } else if (very_verbose) {
            fprintf(stderr, "Process %d released lock on file %s\n", getpid(), path);
        }
        return;
    }

    const std::string lock_file = get_link_lock_file(path);
    const std::string process_file = get_link_lock_process_file(path);
    held.reset();
    for (const std::string* name : {&lock_file, &process_file}) {
        if (unlink(name->c_str()) != 0) {
            report_error(MSG_WARNING, 0, get_msg(FILE_UNLINK_FAILED), name->c_str());
        }
    }
}

}  // namespace ryn
