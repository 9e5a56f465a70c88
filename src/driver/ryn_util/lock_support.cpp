#include "driver/ryn_util/lock_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "ryn/exec_util.h"

namespace ryn {

namespace {

// Appends s to out without ever writing past cap - 1; len counts what the
// whole text needs, so a caller can tell that it was cut.
void append(char* out, std::size_t cap, std::size_t& len, const char* s) {
    for (; *s != '\0'; ++s, ++len) {
        if (len + 1 < cap) {
            out[len] = *s;
        }
    }
    if (cap > 0) {
        out[len < cap ? len : cap - 1] = '\0';
    }
}

void append_decimal(char* out, std::size_t cap, std::size_t& len, long value) {
    char digits[24];
    char* p = digits + sizeof digits;
    *--p = '\0';
    const bool negative = value < 0;
    unsigned long magnitude =
        negative ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
        *--p = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) {
        *--p = '-';
    }
    append(out, cap, len, p);
}

}  // namespace

bool record_locks_selected() { return getenv("__RYN_FCNTL_FILE_LOCK__") != nullptr; }

void pause_before_retry() { sleep(static_cast<unsigned>(RYN_LOCK_RETRY_DELAY * drand48() + 1)); }

bool read_host_name(char (&host)[k_host_name_max + 1]) {
    if (gethostname(host, k_host_name_max) != 0) {
        host[0] = '\0';
        return false;
    }
    host[k_host_name_max] = '\0';
    return true;
}

std::size_t format_link_lock_file(char* out, std::size_t cap, const char* path) {
    std::size_t len = 0;
    append(out, cap, len, path);
    append(out, cap, len, k_link_lock_suffix);
    return len;
}

std::size_t format_lock_breaker_file(char* out, std::size_t cap, const char* path) {
    std::size_t len = 0;
    append(out, cap, len, path);
    append(out, cap, len, k_lock_breaker_suffix);
    return len;
}

std::size_t format_link_lock_process_file(char* out, std::size_t cap, const char* path,
                                          const char* host, pid_t pid) {
    std::size_t len = 0;
    append(out, cap, len, path);
    append(out, cap, len, ".");
    append(out, cap, len, host);
    append(out, cap, len, ".");
    append_decimal(out, cap, len, pid);
    append(out, cap, len, k_link_lock_suffix);
    return len;
}

void ensure_parent_directory(ExecUtil& util, const char* path) {
    const char* slash = strrchr(path, '/');
    if (slash == nullptr) {
        return;
    }
    const std::string dir = slash == path ? std::string("/") : std::string(path, slash);
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) {
        util.create_directory(dir.c_str());
    }
}

}  // namespace ryn
