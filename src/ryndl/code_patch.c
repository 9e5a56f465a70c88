/* Writes into the program's code through /proc/self/mem: it works on
 * read-only text without changing any mapping's protection, each write is one
 * system call (usable in a signal handler), and a byte is replaced whole. */
#include "runtime.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

static int mem_fd = -1;
static pid_t mem_pid;
static dev_t mem_dev;
static ino_t mem_ino;

/* The descriptor refers to the memory of the process that opened it, so a
 * forked child opens its own; a program that closed it (and perhaps reused
 * the number) gets a fresh one instead of a write into its file. */
static int mem_handle(void)
{
    pid_t pid = (pid_t)syscall(SYS_getpid);
    struct stat st;
    if (mem_fd >= 0 && mem_pid == pid && fstat(mem_fd, &st) == 0 && st.st_dev == mem_dev && st.st_ino == mem_ino)
        return mem_fd;
    if (mem_fd >= 0 && mem_pid != pid && fstat(mem_fd, &st) == 0 && st.st_dev == mem_dev && st.st_ino == mem_ino)
        close(mem_fd);
    mem_fd = open("/proc/self/mem", O_RDWR | O_CLOEXEC);
    mem_pid = pid;
    if (mem_fd >= 0 && fstat(mem_fd, &st) == 0) {
        mem_dev = st.st_dev;
        mem_ino = st.st_ino;
    }
    return mem_fd;
}

int ryn_read_code(uintptr_t addr, void *bytes, size_t length)
{
    int fd = mem_handle();
    if (fd < 0)
        return -1;
    ssize_t n;
    do
        n = pread(fd, bytes, length, (off_t)addr);
    while (n < 0 && errno == EINTR);
    return n == (ssize_t)length ? 0 : -1;
}

int ryn_write_code(uintptr_t addr, const void *bytes, size_t length)
{
    int fd = mem_handle();
    ssize_t n = -1;
    if (fd >= 0) {
        do
            n = pwrite(fd, bytes, length, (off_t)addr);
        while (n < 0 && errno == EINTR);
    }
    if (n == (ssize_t)length)
        return 0;
    /* Without /proc, a writable and executable page is the only other way;
     * a kernel that refuses it leaves the probe in place. */
    uintptr_t page = addr & ~(uintptr_t)4095;
    size_t span = (addr + length - page + 4095) & ~(size_t)4095;
    if (mprotect((void *)page, span, PROT_READ | PROT_WRITE | PROT_EXEC) != 0)
        return -1;
    volatile uint8_t *to = (volatile uint8_t *)addr;
    const uint8_t *from = bytes;
    for (size_t i = 0; i < length; ++i)
        to[i] = from[i];
    mprotect((void *)page, span, PROT_READ | PROT_EXEC);
    return 0;
}
