/* Audit library loaded by the runtime linker, either named by an
 * instrumented program (as its dependency auditor) or through LD_AUDIT.
 *
 * It answers the driver's two probes: the interface version
 * (QVEN_RYN_AUDIT_VERSION=yes) and the list of shared objects a program loads
 * (QVEN_RYN_AUDIT_PRINT_DEPS=yes); in both cases the process ends as soon as
 * the initial set of objects is consistent, before any constructor or main of
 * the probed program runs.
 *
 * Otherwise it is the runtime of an instrumented program: it plants the
 * probes of every object that carries a probe table, serves libraries from
 * their instrumented copies, keeps the library log and writes the data when
 * the process ends. It never prints on the program's streams.
 *
 * Output goes through write(2): an auditor lives in its own link namespace,
 * whose stdio buffers are never flushed. */
#include "runtime.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

struct ryn_settings ryn_settings;
char ryn_start_dir[PATH_MAX];

/* Set once in la_version, which the runtime linker calls before anything
 * else of this library. */
static int print_deps;
static int stop_when_consistent;
static int main_seen;

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

RYN_EXPORT unsigned int la_version(unsigned int version)
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
    /* Relative data directories belong to the directory the program started
     * in, whatever it changes to later. */
    if (getcwd(ryn_start_dir, sizeof ryn_start_dir) == NULL)
        ryn_strlcpy(ryn_start_dir, ".", sizeof ryn_start_dir);
    return LAV_CURRENT;
}

RYN_EXPORT unsigned int la_objopen(struct link_map *map, Lmid_t lmid, uintptr_t *cookie)
{
    *cookie = (uintptr_t)map;
    /* The main program has an empty name and the vDSO a bare one: neither is
     * a file the driver could instrument. */
    int has_path = map->l_name != NULL && strchr(map->l_name, '/') != NULL;
    if (print_deps) {
        if (has_path) {
            /* One name a line: a name holding a newline is written as an
             * empty line, which no path can be, so that the driver refuses it
             * instead of reading two names. */
            if (strchr(map->l_name, '\n') == NULL)
                write_all(map->l_name, strlen(map->l_name));
            write_all("\n", 1);
        }
        return 0;
    }
    if (stop_when_consistent || lmid != LM_ID_BASE)
        return 0;

    int is_main = !main_seen && (map->l_name == NULL || map->l_name[0] == '\0');
    main_seen = 1;
    const struct ryn_probe_header *header = NULL;
    if (is_main || has_path)
        header = ryn_find_table(map, is_main);
    struct ryn_object *object = header ? ryn_register_object(map, header, is_main) : NULL;
    if (is_main && object != NULL)
        ryn_start_library_log();
    if (has_path && !is_main)
        ryn_log_library(object ? object->original : map->l_name);
    return LA_FLG_BINDTO | LA_FLG_BINDFROM;
}

RYN_EXPORT char *la_objsearch(const char *name, uintptr_t *cookie, unsigned int flag)
{
    (void)cookie;
    (void)flag;
    if (stop_when_consistent)
        return (char *)name;
    return (char *)ryn_cached_copy(name);
}

RYN_EXPORT uintptr_t la_symbind64(Elf64_Sym *sym, unsigned int ndx, uintptr_t *refcook, uintptr_t *defcook,
                                  unsigned int *flags, const char *symname)
{
    (void)ndx;
    (void)refcook;
    (void)defcook;
    (void)flags;
    uintptr_t wrapper = ryn_resolving_reals ? 0 : ryn_wrapper_for(symname);
    if (wrapper == 0)
        return sym->st_value;
    ryn_set_real(symname, sym->st_value);
    return wrapper;
}

/* Runs for every object at a normal exit and at dlclose, while the object
 * and its table are still mapped. */
RYN_EXPORT unsigned int la_objclose(uintptr_t *cookie)
{
    struct link_map *map = (struct link_map *)*cookie;
    struct ryn_object *object = ryn_object_of(map);
    if (object != NULL) {
        ryn_flush_object(object);
        ryn_forget_object(map);
    }
    return 0;
}

RYN_EXPORT void la_preinit(uintptr_t *cookie)
{
    (void)cookie;
    if (!stop_when_consistent)
        ryn_resolve_reals();
}

RYN_EXPORT void la_activity(uintptr_t *cookie, unsigned int flag)
{
    (void)cookie;
    if (stop_when_consistent && flag == LA_ACT_CONSISTENT)
        _exit(0);
}
