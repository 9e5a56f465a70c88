// Dropping this process's link locks at exit or on a fatal signal. Everything
// here runs inside a signal handler too, so names are built in fixed buffers
// and only async-signal-safe calls are made.
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "driver/ryn_util/lock_support.h"
#include "ryn/exec_util.h"

namespace ryn {

namespace {

// Every recorded path had its process file created, so both names fit in
// PATH_MAX; one that does not cannot be built at all.
[[noreturn]] void names_out_of_memory() {
    const char* text = get_msg(RYN_RAN_OUT_OF_MEMORY);
    ssize_t ignored = write(STDERR_FILENO, text, strlen(text));
    ignored = write(STDERR_FILENO, "\n", 1);
    (void)ignored;
    _exit(1);
}

}  // namespace

void ExecUtil::filelock_cleanup() {
    char host[ryn::k_host_name_max + 1];
    ryn::read_host_name(host);
    const pid_t pid = getpid();
    char lock_file[PATH_MAX];
    char breaker_file[PATH_MAX];
    char process_file[PATH_MAX];

    for (const char* path : locked_files) {
        if (ryn::format_link_lock_file(lock_file, sizeof lock_file, path) >= sizeof lock_file ||
            ryn::format_lock_breaker_file(breaker_file, sizeof breaker_file, path) >=
                sizeof breaker_file ||
            ryn::format_link_lock_process_file(process_file, sizeof process_file, path, host,
                                               pid) >= sizeof process_file) {
            names_out_of_memory();
        }
        struct stat process_st;
        if (lstat(process_file, &process_st) != 0) {
            continue;  // released already
        }
        unlink(process_file);
        // The lock file (and a breaker left by an interrupted take-over) is
        // ours only while it is another name of our process file; anybody
        // else's stays.
        for (const char* name : {lock_file, breaker_file}) {
            struct stat st;
            if (lstat(name, &st) == 0 && st.st_ino == process_st.st_ino &&
                st.st_dev == process_st.st_dev) {
                unlink(name);
            }
        }
    }
}

}  // namespace ryn
