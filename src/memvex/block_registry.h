/* The registry of every block the program got from the allocation interface,
 * live or waiting in quarantine, keyed by the address the program holds.
 * Sharded by address under striped locks: threads that touch different blocks
 * rarely meet. Other parts of the runtime (leak scan, guard pages) use the
 * iteration and the containing-block lookup. */
#ifndef MEMVEX_BLOCK_REGISTRY_H
#define MEMVEX_BLOCK_REGISTRY_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* How a block was obtained; its release must use the same family. */
enum mv_family {
    MV_MALLOC = 0,      /* malloc, calloc, realloc, memalign and friends */
    MV_NEW = 1,         /* operator new */
    MV_NEW_ARRAY = 2,   /* operator new[] */
    MV_NEW_ALIGNED = 3, /* operator new with an alignment */
    MV_NEW_ARRAY_ALIGNED = 4,
};

enum mv_state { MV_LIVE = 1, MV_QUARANTINED = 2 };

struct mv_block {
    struct mv_block *next; /* bucket chain; the registry's own */
    uintptr_t user;        /* the address the program holds */
    void *base;            /* what the C library returned */
    size_t size;           /* what the program asked for */
    uint32_t left;         /* red zone bytes before user (base..user) */
    uint32_t right;        /* red zone bytes after user + size */
    uint32_t alloc_stack;  /* depot ids; 0 when unknown */
    uint32_t free_stack;
    uint8_t family;
    uint8_t state;
    uint8_t mark;    /* free for a whole-heap pass (leak scan) to use */
    uint8_t guarded; /* on pages of its own, base is the mapping */
};

int mv_registry_init(void);
/* Records a new live block (a copy of *block). 0 when out of memory. */
int mv_registry_insert(const struct mv_block *block);
/* Copies the block registered at user into *out; 0 when there is none. */
int mv_registry_get(uintptr_t user, struct mv_block *out);
/* Copies the block at user into *out and, when it is live, marks it
 * quarantined with free_stack, in one step so that two threads freeing the
 * same block cannot both succeed. 0 when there is no block at user. */
int mv_registry_retire(uintptr_t user, uint32_t free_stack, struct mv_block *out);
/* Forgets the block at user, copying it into *out when out is not NULL;
 * 0 when there was none. */
int mv_registry_remove(uintptr_t user, struct mv_block *out);
/* The block (live or quarantined) whose user bytes contain address, copied
 * into *out; 0 when none. Walks the whole registry: for error paths and
 * whole-heap passes that cannot sort. */
int mv_registry_find_containing(uintptr_t address, struct mv_block *out);
/* Calls visit for every block, one stripe locked at a time; visit may change
 * the block's mark only, and must neither allocate nor call the registry. */
void mv_registry_for_each(void (*visit)(struct mv_block *block, void *context), void *context);
/* Live blocks and their bytes, for statistics. */
void mv_registry_totals(uint64_t *blocks, uint64_t *bytes);

/* A hint for callers that know which block they will look up soon: brings
 * the bucket of user, which holds the block unless blocks collide there,
 * towards the cache. Takes no lock, reads nothing and never faults. */
void mv_registry_prefetch_bucket(uintptr_t user);

void mv_registry_before_fork(void);
void mv_registry_after_fork(void);

#ifdef __cplusplus
}
#endif

#endif
