/* Stands in for the engine during a benchmark: runs the real one (REAL_ENGINE)
 * with the same arguments and environment, then appends one line to
 * ENGINE_LOG: the wall time of that run in nanoseconds, "V" for a version
 * query or "I" for any other run, and the processor time in microseconds of
 * the real engine and this stand-in together. Built static so that its own
 * start costs as little as possible; that start still counts as the
 * driver's time. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

static long long cpu_us(int who) {
    struct rusage usage;
    getrusage(who, &usage);
    return (long long)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000LL +
           usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
}

static long long now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

int main(int argc, char** argv) {
    const long long start = now_ns();
    char kind = 'I';
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "-V") == 0) {
            kind = 'V';
        }
    }
    argv[0] = REAL_ENGINE;
    pid_t pid;
    if (posix_spawn(&pid, REAL_ENGINE, NULL, NULL, argv, environ) != 0) {
        perror(REAL_ENGINE);
        return 127;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return 1;
        }
    }
    const long long elapsed = now_ns() - start;
    const int log = open(ENGINE_LOG, O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (log >= 0) {
        dprintf(log, "%lld %c %lld\n", elapsed, kind,
                cpu_us(RUSAGE_SELF) + cpu_us(RUSAGE_CHILDREN));
        close(log);
    }
    if (WIFSIGNALED(status)) {
        signal(WTERMSIG(status), SIG_DFL);
        raise(WTERMSIG(status));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
