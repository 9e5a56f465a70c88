/* State shared by the parts of the runtime that lives inside instrumented
 * programs: the probe tables of the loaded objects, the run's settings, the
 * program's own view of its signal handling, and the writers that run at the
 * end of a process. Everything a signal handler touches is plain memory set up
 * beforehand, so the handlers need no allocation. */
#ifndef RYNDL_RUNTIME_H
#define RYNDL_RUNTIME_H

#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <limits.h>
#include <link.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>

#include "runtime_common.h"

#define RYN_EXPORT __attribute__((visibility("default")))
#define RYN_MAX_OBJECTS 256
#define RYN_MAX_IGNORABLE 64

/* Per-probe state kept in the hit array. A hit being written is pending, so
 * that one hit while the writer runs is kept for the next write. */
enum { HIT_NONE = 0, HIT_NEW = 1, HIT_WRITTEN = 2, HIT_PENDING = 3 };

struct ryn_object {
    volatile int active;
    uintptr_t bias;
    uintptr_t low, high; /* run-time addresses of the first and last probe */
    const struct ryn_probe *probes;
    const char *strings;
    uint64_t strings_size;
    uint32_t count;
    char digest[RYN_DIGEST_CHARS + 1];
    volatile uint8_t *hits; /* mmap'd by the runtime, one byte per probe */
    /* The counting way (see probe_format.h); counters is NULL when the copy
     * has none, and then every block takes the one-shot way. */
    int counting;
    const struct ryn_site *sites;
    uint32_t site_count;
    const struct ryn_branch *branches;
    uint32_t branch_count;
    const struct ryn_call_adjust *adjusts;
    uint32_t adjust_count;
    const struct ryn_count_sum *sums;
    uint32_t sum_count;
    volatile uint64_t *counters;
    uint64_t counter_count;
    const struct ryn_indirect *indirects;
    uint32_t indirect_count;
    const uint64_t *locks; /* link-time addresses of the lock prefixes */
    uint32_t lock_count;
    int locks_dropped; /* they hold 0x3E (see lock_prefixes.c) */
    size_t map_size;   /* of hits */
    /* Two rows of counter_count values, mmap'd: the values the data files
     * hold already (row written_row) and those being written now (the other
     * row); NULL unless the object counts (see data_counts.c). */
    uint64_t *snapshots;
    volatile int written_row;
    size_t counts_map_size;
    struct link_map *map;
    char original[PATH_MAX];
    char data_dir[PATH_MAX];
    char data_path[PATH_MAX];
};

/* Settings of the run, read from the main program's table. */
struct ryn_settings {
    char cache_top[PATH_MAX];
    char library_log[PATH_MAX];
    char program[NAME_MAX + 1];
    char component[64];
    char ignorable[RYN_MAX_IGNORABLE][PATH_MAX / 4];
    int ignorable_count;
    int fork_mode; /* 0 parent, 1 child, 2 both */
};

extern struct ryn_object ryn_objects[RYN_MAX_OBJECTS];
extern struct ryn_settings ryn_settings;
extern char ryn_start_dir[PATH_MAX];
extern volatile int ryn_recording;
/* Whether this process counts executions (anything but the coverage front
 * end); decided by the main program's settings. */
extern int ryn_counting;

/* probe_tables.c */
struct ryn_object *ryn_register_object(struct link_map *map, const struct ryn_probe_header *header, int is_main);
void ryn_forget_object(struct link_map *map);
struct ryn_object *ryn_object_of(struct link_map *map);
int ryn_take_probe(uintptr_t pc);
int ryn_probes_armed(void);

/* site_traps.c */
void ryn_plant_sites(struct ryn_object *object);
int ryn_take_site(uintptr_t pc, void *context);

/* lock_prefixes.c */
void ryn_drop_locks(struct ryn_object *object);
void ryn_before_second_thread(void);
uintptr_t ryn_thread_wrapper_for(const char *name);

/* code_patch.c */
int ryn_write_code(uintptr_t addr, const void *bytes, size_t length);
int ryn_read_code(uintptr_t addr, void *bytes, size_t length);

/* traps.c */
void ryn_arm_signals(void);
void ryn_restore_program_signals(void);
void ryn_rearm_after_exec_failure(void);
int ryn_wrap_sigaction(int sig, const struct sigaction *act, struct sigaction *old);
void ryn_set_real(const char *name, uintptr_t address);
void *ryn_real(const char *name);
void ryn_resolve_reals(void);
extern int ryn_resolving_reals;

/* data_counts.c: the scratch the writer keeps per object; 0 on success. */
int ryn_data_attach(struct ryn_object *object);
void ryn_data_detach(struct ryn_object *object);

/* data_file.c */
void ryn_flush_object(struct ryn_object *object);
void ryn_flush_all(void);
void ryn_flush_reset_after_fork(void);

/* copy_lookup.c */
const char *ryn_cached_copy(const char *name);

/* library_log.c */
void ryn_start_library_log(void);
void ryn_log_library(const char *path);

/* process_wrappers.c */
uintptr_t ryn_wrapper_for(const char *name);
uintptr_t ryn_signal_wrapper_for(const char *name);

#endif
