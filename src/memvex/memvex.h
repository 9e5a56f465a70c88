/* The heap checker's runtime: every allocation of the program goes through
 * these functions, which surround each block with red zones, remember how and
 * where it was allocated, keep freed blocks in quarantine for a while and
 * report what the program did wrong. Plain C, loaded ahead of the program's
 * own libraries. */
#ifndef MEMVEX_H
#define MEMVEX_H

#define _GNU_SOURCE
#include <stddef.h>
#include <stdint.h>

#include "block_registry.h"
#include "pattern_check.h"
#include "checker_support.h"

#define MV_EXPORT __attribute__((visibility("default")))

/* Byte patterns: red zones before and after a block, freed blocks, and new
 * blocks when filling is asked for. */
#define MV_LEFT_PATTERN 0xfa
#define MV_RIGHT_PATTERN 0xfb
#define MV_FREED_PATTERN 0xfd
#define MV_NEW_PATTERN 0xbe
#define MV_MIN_REDZONE 16
/* How much of a cold block to bring into the cache ahead of checking it. */
#define MV_PREFETCH_BYTES 256

/* glibc's own allocator, exported under these names. */
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *pointer, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *pointer);

/* process_lifecycle.c */
/* Sets the runtime up on first use, whenever that is (even before the
 * runtime's constructor, from another library's). */
void mv_ensure_ready(void);

/* heap_blocks.c */
/* A new block of `size` bytes aligned to `alignment` (a power of two), for
 * the given family; zeroed when `zero` is set. NULL when memory runs out. */
void *mv_allocate(size_t size, size_t alignment, enum mv_family family, int zero);
/* Releases a block through the function `what` of family `family`. */
void mv_release(void *pointer, enum mv_family family, const char *what);
void *mv_reallocate(void *pointer, size_t size);
size_t mv_usable_size(void *pointer);
/* Checks the red zones of every live block (at exit). */
void mv_check_live_blocks(void);

/* quarantine.c */
/* Holds a freed block (already filled with the freed pattern); the oldest
 * blocks beyond the budget are checked and given back to the C library. */
void mv_quarantine_push(const struct mv_block *block);
/* Checks and releases everything still held (at exit). */
void mv_quarantine_drain(void);
void mv_quarantine_before_fork(void);
void mv_quarantine_after_fork(void);

/* error_reports.c: one function per kind of error. `stack` is the faulting
 * call's depot id, 0 when the error is found away from any call. */
void mv_report_overflow_write(const struct mv_block *block, uint32_t stack, int before, size_t distance);
void mv_report_double_free(const struct mv_block *block, uint32_t stack, const char *what);
void mv_report_invalid_free(uintptr_t pointer, uint32_t stack, const char *what);
void mv_report_interior_free(uintptr_t pointer, const struct mv_block *block, uint32_t stack, const char *what);
void mv_report_mismatched_free(const struct mv_block *block, uint32_t stack, const char *what);
void mv_report_write_after_free(const struct mv_block *block, size_t offset);
const char *mv_family_name(enum mv_family family);

/* Leak scan at exit, supplied by the leak checker's part of the runtime when
 * it is linked in; fills the totals of the summary. */
void mv_scan_leaks_at_exit(struct cs_leak_totals *totals);

#endif
