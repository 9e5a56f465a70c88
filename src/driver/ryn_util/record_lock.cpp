// Record locks through fcntl on the whole file.
#include <fcntl.h>

#include <cerrno>

#include "driver/ryn_util/lock_support.h"
#include "ryn/exec_util.h"

namespace ryn {

namespace {

// Failures that say "not now" rather than "never".
bool worth_retrying(int err) { return err == EINTR || err == EAGAIN || err == ENOLCK; }

}  // namespace

int ExecUtil::retry_lockf_op(int fd, int op, bool shared) {
    if (op != 0 && op != 1) {
        errno = EINVAL;
        return -1;
    }
    struct flock whole_file {};
    whole_file.l_whence = SEEK_SET;
    whole_file.l_start = 0;
    whole_file.l_len = 0;
    whole_file.l_type = op == 1 ? (shared ? F_RDLCK : F_WRLCK) : F_UNLCK;
    // Locking waits for other holders; unlocking never has to.
    const int command = op == 1 ? F_SETLKW : F_SETLK;

    int result = fcntl(fd, command, &whole_file);
    for (int retries = 0; result == -1 && worth_retrying(errno) && retries < RYN_LOCK_RETRY_LIMIT;
         ++retries) {
        ryn::pause_before_retry();
        result = fcntl(fd, command, &whole_file);
    }
    return result;
}

}  // namespace ryn
