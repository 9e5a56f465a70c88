/* Guard-page mode: a block on pages of its own, ending where a page that may
 * not be touched begins, so that the first access past its end faults at the
 * instruction. Freed guarded blocks have all their pages made inaccessible
 * while they wait in quarantine. */
#ifndef MEMVEX_GUARD_PAGES_H
#define MEMVEX_GUARD_PAGES_H

#include <stddef.h>
#include <stdint.h>

#include "block_registry.h"

/* Blocks of at least this size are guarded even when the mode is off. */
#define MV_GUARD_THRESHOLD ((size_t)64 * 1024)

/* guard_pages.c */
/* A guarded block, registered; NULL when it should get red zones instead
 * (not asked for, the map budget is spent, or mapping failed). */
void *mv_guard_allocate(size_t size, size_t alignment, enum mv_family family, int zero);
/* A freed guarded block: its pages become inaccessible. */
void mv_guard_retire(const struct mv_block *block);
/* Gives a guarded block's pages back when it leaves quarantine. */
void mv_guard_release(const struct mv_block *block);
/* The guarded block whose pages (its guard page included) hold address. */
int mv_guard_find(uintptr_t address, struct mv_block *out, uintptr_t *guard_start);
/* Blocks that got red zones because guard pages would have exceeded the
 * budget of memory mappings. */
uint64_t mv_guard_fallbacks(void);

/* fault_handler.c */
/* Takes SIGSEGV and SIGBUS, keeping what was installed before as the
 * program's handler. Idempotent. */
void mv_install_fault_handler(void);

#endif
