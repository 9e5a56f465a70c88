// Link locks: a lock is held by the process that made the lock file a second
// name of its own process file. link() fails when the name exists, which makes
// taking the lock atomic even across hosts sharing a file system.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "driver/ryn_util/lock_support.h"
#include "driver/ryn_util/lock_takeover.h"
#include "driver/ryn_util/signals_blocked.h"
#include "driver/ryn_util/unique_fd.h"
#include "i18n/driver_texts.h"
#include "ryn/exec_util.h"

namespace ryn {

std::string ExecUtil::get_link_lock_file(const char* path) {
    std::string name(ryn::format_link_lock_file(nullptr, 0, path), '\0');
    ryn::format_link_lock_file(name.data(), name.size() + 1, path);
    return name;
}

std::string ExecUtil::get_link_lock_process_file(const char* path) {
    char host[ryn::k_host_name_max + 1];
    if (!ryn::read_host_name(host)) {
        report_error(MSG_WARNING, 0, "%s", driver_text(DriverText::NO_HOSTNAME));
    }
    const pid_t pid = getpid();
    std::string name(ryn::format_link_lock_process_file(nullptr, 0, path, host, pid), '\0');
    ryn::format_link_lock_process_file(name.data(), name.size() + 1, path, host, pid);
    return name;
}

int ExecUtil::acquire_link_lock(const char* path) {
    if (path == nullptr) {
        return -1;
    }
    const std::string lock_file = get_link_lock_file(path);
    const std::string process_file = get_link_lock_process_file(path);
    ryn::ensure_parent_directory(*this, path);

    ryn::UniqueFd fd;
    {
        // The path is recorded before the first link attempt, so that a signal
        // arriving while we wait still removes the process file. Signals stay
        // blocked from creating the file until it is recorded, and while the
        // list the handler walks may be moving to a larger array.
        const ryn::SignalsBlocked blocked;
        fd.reset(open(process_file.c_str(), O_RDWR | O_CREAT, 0666));
        if (fd.valid()) {
            locked_files.add_arg(path);
        }
    }
    if (!fd.valid()) {
        report_error(MSG_WARNING, 0, get_msg(RYN_FILE_ERROR), process_file.c_str());
        return -1;
    }

    // Past the retry limit the caller goes on as if it held the lock: a stuck
    // holder must not stop the run for ever.
    for (int attempt = 1; attempt < RYN_LOCK_RETRY_LIMIT; ++attempt) {
        if (link(process_file.c_str(), lock_file.c_str()) == 0) {
            break;
        }
        // A holder that died without cleaning up leaves its lock file behind.
        struct stat st;
        if (lstat(lock_file.c_str(), &st) == 0 &&
            ryn::take_over_lock(*this, path, lock_file, process_file, st)) {
            continue;
        }
        ryn::pause_before_retry();
    }
    return fd.release();
}

}  // namespace ryn
