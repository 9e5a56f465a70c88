/* Every distinct stack stored once, named by a 32-bit id. Lookups take no
 * lock: entries never change once published, and a bucket's chain only grows
 * at its head. Inserts take one of a few striped locks. */
#include "checker_support.h"
#include "cs_lock.h"

#include <string.h>
#include <sys/mman.h>

#define BUCKET_BITS 18
#define STRIPES 64
/* Address space reserved up front; pages are only used once written. */
#define ARENA_SIZE ((size_t)1 << 30)

struct entry {
    uint32_t next; /* id of the next entry in the bucket, 0 at the end */
    uint32_t hash;
    uint32_t depth;
    uint32_t unused;
    uintptr_t pcs[];
};

static _Atomic(uint32_t) *buckets;
static char *arena;
static atomic_size_t arena_used = 8; /* offset 0 would be id 0, "no stack" */
static cs_lock_t stripes[STRIPES];
static atomic_int state; /* 0 unset, 1 being set up, 2 ready, 3 failed */

static int ready(void)
{
    int s = atomic_load_explicit(&state, memory_order_acquire);
    if (s == 2)
        return 1;
    if (s == 3)
        return 0;
    int expected = 0;
    if (atomic_compare_exchange_strong(&state, &expected, 1)) {
        buckets = cs_map(sizeof(*buckets) << BUCKET_BITS);
        void *memory =
            mmap(NULL, ARENA_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        arena = memory == MAP_FAILED ? NULL : memory;
        if (arena != NULL)
            cs_note_region(arena, ARENA_SIZE);
        atomic_store_explicit(&state, buckets && arena ? 2 : 3, memory_order_release);
    }
    while ((s = atomic_load_explicit(&state, memory_order_acquire)) == 1)
        ;
    return s == 2;
}

static uint32_t hash_of(const uintptr_t *pcs, size_t depth)
{
    uint64_t h = 0xcbf29ce484222325ull ^ depth;
    for (size_t i = 0; i < depth; ++i) {
        h ^= pcs[i];
        h *= 0x100000001b3ull;
        h ^= h >> 29;
    }
    return (uint32_t)(h ^ (h >> 32));
}

static struct entry *entry_of(uint32_t id)
{
    return (struct entry *)(arena + (size_t)id * 8);
}

static uint32_t find(uint32_t head, uint32_t hash, const uintptr_t *pcs, size_t depth)
{
    for (uint32_t id = head; id != 0;) {
        struct entry *e = entry_of(id);
        if (e->hash == hash && e->depth == depth && memcmp(e->pcs, pcs, depth * sizeof *pcs) == 0)
            return id;
        id = e->next;
    }
    return 0;
}

/* Finds or stores a stack in the table all threads share. */
static uint32_t put_shared(const uintptr_t *pcs, size_t depth, uint32_t hash)
{
    _Atomic(uint32_t) *bucket = &buckets[hash & ((1u << BUCKET_BITS) - 1)];
    uint32_t id = find(atomic_load_explicit(bucket, memory_order_acquire), hash, pcs, depth);
    if (id != 0)
        return id;

    cs_lock_t *stripe = &stripes[hash % STRIPES];
    cs_lock(stripe);
    uint32_t head = atomic_load_explicit(bucket, memory_order_acquire);
    id = find(head, hash, pcs, depth);
    if (id == 0) {
        size_t size = sizeof(struct entry) + depth * sizeof *pcs;
        size_t offset = atomic_fetch_add(&arena_used, size);
        if (offset + size <= ARENA_SIZE) {
            id = (uint32_t)(offset / 8);
            struct entry *e = entry_of(id);
            e->next = head;
            e->hash = hash;
            e->depth = (uint32_t)depth;
            memcpy(e->pcs, pcs, depth * sizeof *pcs);
            atomic_store_explicit(bucket, id, memory_order_release);
        }
    }
    cs_unlock(stripe);
    return id;
}

/* Each thread remembers the ids of the stacks it stored lately, by their
 * innermost frames: programs allocate from few places over and over, and
 * hashing a whole stack and reading the shared bucket table cost more than
 * comparing one stored stack. An entry is believed only when the stored stack
 * equals the captured one, so a stale entry costs a lookup, never a wrong id. */
#define RECENT_SLOTS 64
static __thread uint32_t recent[RECENT_SLOTS] __attribute__((tls_model("initial-exec")));

/* Stacks are short: a plain loop beats a call into the C library. */
static int same_frames(const uintptr_t *a, const uintptr_t *b, size_t depth)
{
    uintptr_t differ = 0;
    for (size_t i = 0; i < depth; ++i)
        differ |= a[i] ^ b[i];
    return differ == 0;
}

static uint32_t *recent_slot(const uintptr_t *pcs, size_t depth)
{
    uint64_t key = pcs[0] ^ (depth > 1 ? pcs[1] << 7 : 0) ^ depth;
    return &recent[((key * 0x9e3779b97f4a7c15ull) >> 32) % RECENT_SLOTS];
}

uint32_t cs_depot_put(const uintptr_t *pcs, size_t depth)
{
    if (depth == 0 || !ready())
        return 0;
    uint32_t *slot = recent_slot(pcs, depth);
    if (*slot != 0) {
        const struct entry *e = entry_of(*slot);
        if (e->depth == depth && same_frames(e->pcs, pcs, depth))
            return *slot;
    }
    uint32_t id = put_shared(pcs, depth, hash_of(pcs, depth));
    *slot = id;
    return id;
}

size_t cs_depot_get(uint32_t id, const uintptr_t **pcs)
{
    if (id == 0 || atomic_load_explicit(&state, memory_order_acquire) != 2) {
        *pcs = NULL;
        return 0;
    }
    struct entry *e = entry_of(id);
    *pcs = e->pcs;
    return e->depth;
}

void cs_depot_before_fork(void)
{
    for (int i = 0; i < STRIPES; ++i)
        cs_lock(&stripes[i]);
}

void cs_depot_after_fork(void)
{
    for (int i = 0; i < STRIPES; ++i)
        cs_unlock(&stripes[i]);
}
