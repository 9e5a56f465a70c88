/* The leak scan's parts: stopping the other threads, reading the process's
 * mappings and marking what the program can still reach. None of them
 * allocates from any heap: the other threads may be parked anywhere, even
 * inside the C library's allocator. */
#ifndef MEMVEX_LEAK_SCAN_H
#define MEMVEX_LEAK_SCAN_H

#include <stddef.h>
#include <stdint.h>

#include "checker_support.h"

/* thread_stop.c */
#define MV_MAX_STOPPED 4096
struct mv_stopped_thread {
    int tid;
    uintptr_t sp; /* 0 when the thread never parked */
};
/* Parks every other thread of the process in a signal handler, so that its
 * registers sit in the signal frame on its own stack. Returns how many
 * threads were signalled; *threads points at their tids and stack pointers. */
size_t mv_stop_other_threads(const struct mv_stopped_thread **threads);
void mv_resume_other_threads(void);

/* process_maps.c */
struct mv_mapping {
    uintptr_t start, end;
    int readable, writable, shared;
    const char *name; /* not terminated; name_length bytes */
    size_t name_length;
};
/* Calls visit for each line of /proc/self/maps, read in one snapshot.
 * 0 when the file cannot be read. */
int mv_for_each_mapping(void (*visit)(const struct mv_mapping *mapping, void *context), void *context);

/* scan_memory.c: memory for the scan's own tables, straight from the kernel
 * and given back afterwards. */
void *mv_scan_map(size_t size);
void mv_scan_unmap(void *memory, size_t size);
/* The tables mapped now; empty slots have start 0. */
size_t mv_scan_tables(const struct cs_region **tables);

/* leak_mark.c */
struct mv_scanned_block {
    uintptr_t start, end;               /* the user bytes; end > start even for size 0 */
    uintptr_t extent_start, extent_end; /* with its red zones */
    size_t size;
    uint32_t alloc_stack;
    uint32_t reached;
};
/* Every live block, sorted by address, each marked reached when a chain of
 * pointers leads to it from the program's roots. Runs with the other threads
 * stopped; the caller releases the result with mv_release_marked. */
struct mv_marked_heap {
    struct mv_scanned_block *blocks;
    size_t count;
    size_t mapped_bytes;
};
int mv_mark_reachable(struct mv_marked_heap *heap, const struct mv_stopped_thread *threads, size_t thread_count);
void mv_release_marked(struct mv_marked_heap *heap);

#endif
