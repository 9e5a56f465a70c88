#include "driver/ryn_util/file_replacement.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "driver/ryn_util/lock_support.h"
#include "driver/ryn_util/unique_fd.h"

namespace ryn {

namespace {

// The temporary file of the replacement under way, for the signal handler.
char g_pending[PATH_MAX];
std::atomic<bool> g_pending_set{false};

bool copy_by_reading(int from, int to) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(from, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            return true;
        }
        if (!write_all(to, std::string_view(buffer, static_cast<size_t>(n)))) {
            return false;
        }
    }
}

// Copies from the current offsets of both files. A clone shares the blocks
// where the file system can; copy_file_range lets the kernel move the data
// (or share it too); plain reading and writing does the rest, from wherever
// the kernel stopped, whatever the reason it stopped.
bool copy_contents(int from, int to, off_t size) {
    if (ioctl(to, FICLONE, from) == 0) {
        return true;
    }
    off_t copied = 0;
    while (copied < size) {
        const ssize_t n =
            copy_file_range(from, nullptr, to, nullptr, static_cast<size_t>(size - copied), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        copied += n;
    }
    return copy_by_reading(from, to);
}

// Fills the new file and gives it the source's mode (and times); the data is
// on disk before the rename makes it the user's file.
int fill_temp(int in, const struct stat& source, int out, bool keep_times) {
    if (!copy_contents(in, out, source.st_size)) {
        return errno;
    }
    if (fchmod(out, source.st_mode & 07777) != 0) {
        return errno;
    }
    // Keeping the owner only works for a privileged user; others own their copy.
    if (fchown(out, source.st_uid, source.st_gid) != 0) {
        errno = 0;
    }
    if (keep_times) {
        const struct timespec times[2] = {source.st_atim, source.st_mtim};
        if (futimens(out, times) != 0) {
            return errno;
        }
    }
    return fsync(out) == 0 ? 0 : errno;
}

void forget_pending() noexcept { g_pending_set.store(false); }

}  // namespace

std::string replacement_destination(const char* path) {
    char resolved[PATH_MAX];
    if (realpath(path, resolved)) {
        return resolved;
    }
    return path;
}

std::string beside_name(const std::string& real, const char* kind) {
    const size_t slash = real.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : real.substr(0, slash);
    const std::string base = slash == std::string::npos ? real : real.substr(slash + 1);
    char host[k_host_name_max + 1];
    read_host_name(host);
    return dir + "/." + base + ".ryn-" + kind + "." + host + "." + std::to_string(getpid());
}

int replace_file(const char* from, const char* to, bool keep_times) {
    const std::string destination = replacement_destination(to);
    const UniqueFd in(open(from, O_RDONLY | O_CLOEXEC));
    struct stat source {};
    if (!in.valid() || fstat(in.get(), &source) != 0) {
        return errno;
    }
    const std::string pattern = beside_name(destination, "new") + ".XXXXXX";
    if (pattern.size() >= sizeof g_pending) {
        return ENAMETOOLONG;
    }
    memcpy(g_pending, pattern.c_str(), pattern.size() + 1);
    g_pending_set.store(true);
    UniqueFd out(mkstemp(g_pending));
    if (!out.valid()) {
        const int error = errno;
        forget_pending();
        return error;
    }
    int error = fill_temp(in.get(), source, out.get(), keep_times);
    if (error == 0 && close(out.release()) != 0) {
        error = errno;
    }
    if (error == 0 && rename(g_pending, destination.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        unlink(g_pending);
    }
    forget_pending();
    return error;
}

void remove_pending_replacement() noexcept {
    if (g_pending_set.exchange(false)) {
        unlink(g_pending);
    }
}

}  // namespace ryn
