/* Preloaded into a test run, this makes one file operation fail or stall:
 * RYN_FAULT_OP (rename, link, mkdir, or write with copy_file_range and clones)
 * on a path containing RYN_FAULT_PATH (for write, the descriptor's), in
 * processes whose executable is named RYN_FAULT_EXE, fails with errno
 * RYN_FAULT_ERRNO, or writes the process id to RYN_FAULT_STALL and stops
 * there until a signal ends the process. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

static int in_chosen_process(void) {
    const char* exe = getenv("RYN_FAULT_EXE");
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (!exe || !*exe || n < 0) {
        return !exe || !*exe;
    }
    self[n] = '\0';
    const char* base = strrchr(self, '/');
    return strcmp(base ? base + 1 : self, exe) == 0;
}

/* Returns 0 to go on, or -1 with errno set to fail the call. */
static int fault(const char* op, const char* path1, const char* path2) {
    const char* chosen = getenv("RYN_FAULT_OP");
    const char* pattern = getenv("RYN_FAULT_PATH");
    if (!chosen || strcmp(chosen, op) != 0 || !pattern ||
        (!(path1 && strstr(path1, pattern)) && !(path2 && strstr(path2, pattern))) ||
        !in_chosen_process()) {
        return 0;
    }
    const char* stall = getenv("RYN_FAULT_STALL");
    if (stall && *stall) {
        /* Raw calls: write() here is our own wrapper. */
        char text[32];
        const int len = snprintf(text, sizeof text, "%d\n", (int)getpid());
        const int fd =
            (int)syscall(SYS_openat, AT_FDCWD, stall, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0 && syscall(SYS_write, fd, text, (size_t)len) >= 0) {
            syscall(SYS_close, fd);
        }
        for (;;) {
            pause();
        }
    }
    const char* number = getenv("RYN_FAULT_ERRNO");
    errno = number ? atoi(number) : EIO;
    return -1;
}

#define REAL(name)                                                \
    static __typeof__(&name) real_##name;                         \
    if (!real_##name) {                                           \
        real_##name = (__typeof__(&name))dlsym(RTLD_NEXT, #name); \
    }

int rename(const char* from, const char* to) {
    REAL(rename);
    return fault("rename", from, to) ? -1 : real_rename(from, to);
}

int link(const char* from, const char* to) {
    REAL(link);
    return fault("link", from, to) ? -1 : real_link(from, to);
}

int mkdir(const char* path, mode_t mode) {
    REAL(mkdir);
    return fault("mkdir", path, NULL) ? -1 : real_mkdir(path, mode);
}

static int descriptor_fault(int fd) {
    char link_name[64];
    char path[4096];
    snprintf(link_name, sizeof link_name, "/proc/self/fd/%d", fd);
    const ssize_t n = fd > 2 ? readlink(link_name, path, sizeof path - 1) : -1;
    if (n <= 0) {
        return 0;
    }
    path[n] = '\0';
    return fault("write", path, NULL);
}

ssize_t write(int fd, const void* data, size_t size) {
    REAL(write);
    return descriptor_fault(fd) ? -1 : real_write(fd, data, size);
}

/* The kernel's own ways of filling a file count as writes to it. */
ssize_t copy_file_range(int in, off_t* in_offset, int out, off_t* out_offset, size_t size,
                        unsigned int flags) {
    REAL(copy_file_range);
    return descriptor_fault(out)
               ? -1
               : real_copy_file_range(in, in_offset, out, out_offset, size, flags);
}

int ioctl(int fd, unsigned long request, ...) {
    REAL(ioctl);
    va_list ap;
    va_start(ap, request);
    void* argument = va_arg(ap, void*);
    va_end(ap);
    return request == FICLONE && descriptor_fault(fd) ? -1 : real_ioctl(fd, request, argument);
}
