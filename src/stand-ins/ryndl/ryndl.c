/* Audit library loaded through LD_AUDIT. It answers the driver's two probes:
 * the interface version (QVEN_RYN_AUDIT_VERSION=yes) and the list of shared
 * objects a program loads (QVEN_RYN_AUDIT_PRINT_DEPS=yes). In both cases the
 * process ends as soon as the initial set of objects is consistent, before any
 * constructor or main of the probed program runs. Without either variable it
 * stays silent and passive.
 *
 * Output goes through write(2): an auditor lives in its own link namespace,
 * whose stdio buffers are never flushed. */
#define _GNU_SOURCE
#include <errno.h>
#include <link.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* Set once in la_version, which the runtime linker calls before anything
 * else of this library. */
static int print_deps;
static int stop_when_consistent;

static int env_is_yes(const char *name)
{
    const char *value = getenv(name);
    return value != NULL && strcmp(value, "yes") == 0;
}

static void write_all(const char *text, size_t length)
{
    while (length > 0) {
        ssize_t n = write(STDOUT_FILENO, text, length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        text += n;
        length -= (size_t)n;
    }
}

unsigned int la_version(unsigned int version)
{
    (void)version;
    if (env_is_yes("QVEN_RYN_AUDIT_VERSION")) {
        static const char answer[] = "LAV_VERSION=4\n";
        write_all(answer, sizeof answer - 1);
        stop_when_consistent = 1;
    }
    if (env_is_yes("QVEN_RYN_AUDIT_PRINT_DEPS")) {
        print_deps = 1;
        stop_when_consistent = 1;
    }
    return LAV_CURRENT;
}

unsigned int la_objopen(struct link_map *map, Lmid_t lmid, uintptr_t *cookie)
{
    (void)lmid;
    (void)cookie;
    /* The main program has an empty name and the vDSO a bare one: neither is
     * a file the driver could instrument. */
    if (print_deps && map->l_name != NULL && strchr(map->l_name, '/') != NULL) {
        /* One name a line: a name holding a newline is written as an empty
         * line, which no path can be, so that the driver refuses it instead
         * of reading two names. */
        if (strchr(map->l_name, '\n') == NULL)
            write_all(map->l_name, strlen(map->l_name));
        write_all("\n", 1);
    }
    return 0;
}

void la_activity(uintptr_t *cookie, unsigned int flag)
{
    (void)cookie;
    if (stop_when_consistent && flag == LA_ACT_CONSISTENT)
        _exit(0);
}
