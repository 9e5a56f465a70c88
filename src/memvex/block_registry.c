/* A hash table of blocks in address-keyed buckets, each bucket guarded by one
 * of a few hundred striped locks. A bucket is one cache line holding its first
 * block itself, so that finding a block costs one miss that callers can start
 * early (the prefetch hints); blocks that collide chain on from it in nodes
 * taken from pools of mapped memory per stripe. */
#include "block_registry.h"

#include <string.h>
#include <sys/mman.h>

#include "checker_support.h"
#include "cs_lock.h"

#define BUCKET_BITS 18
#define STRIPES 256
#define POOL_CHUNK (64 * 1024)

/* An empty bucket has user 0: no block is ever at address 0. */
struct bucket {
    struct mv_block first;
} __attribute__((aligned(64)));

struct stripe {
    cs_lock_t lock;
    struct mv_block *free_nodes;
    uint64_t live_blocks;
    uint64_t live_bytes;
    char padding[24]; /* keep neighbouring stripes off one cache line */
};

static struct bucket *buckets;
static struct stripe stripes[STRIPES];

int mv_registry_init(void)
{
    if (buckets != NULL)
        return 1;
    /* Reserved, not used: pages are only touched by the buckets in use.
     * Buckets are hit at random, so the table sits on large pages where the
     * system allows, sparing a page walk per lookup. */
    size_t size = sizeof(*buckets) << BUCKET_BITS;
    size_t large = (size_t)2 << 20;
    char *memory = mmap(NULL, size + large, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED)
        return 0;
    char *start = (char *)(((uintptr_t)memory + large - 1) & ~(uintptr_t)(large - 1));
    if (start > memory)
        munmap(memory, (size_t)(start - memory));
    munmap(start + size, (size_t)(memory + large - start));
    madvise(start, size, MADV_HUGEPAGE);
    /* The buckets hold blocks: a scan for pointers must not take them for
     * the program's. */
    cs_note_region(start, size);
    buckets = (struct bucket *)start;
    return 1;
}

static size_t bucket_of(uintptr_t user)
{
    uint64_t h = (uint64_t)(user >> 4) * 0x9e3779b97f4a7c15ull;
    return (size_t)(h >> (64 - BUCKET_BITS));
}

static struct stripe *stripe_of(size_t bucket)
{
    return &stripes[bucket % STRIPES];
}

/* Under the stripe's lock. */
static struct mv_block *new_node(struct stripe *stripe)
{
    if (stripe->free_nodes == NULL) {
        struct mv_block *chunk = cs_map(POOL_CHUNK);
        if (chunk == NULL)
            return NULL;
        size_t count = POOL_CHUNK / sizeof *chunk;
        for (size_t i = 0; i < count; ++i) {
            chunk[i].next = stripe->free_nodes;
            stripe->free_nodes = &chunk[i];
        }
    }
    struct mv_block *node = stripe->free_nodes;
    stripe->free_nodes = node->next;
    return node;
}

int mv_registry_insert(const struct mv_block *block)
{
    size_t index = bucket_of(block->user);
    struct stripe *stripe = stripe_of(index);
    struct mv_block *first = &buckets[index].first;
    int done = 1;
    cs_lock_shared_only(&stripe->lock);
    if (first->user == 0) {
        struct mv_block *rest = first->next;
        *first = *block;
        first->next = rest;
    } else {
        struct mv_block *node = new_node(stripe);
        if (node != NULL) {
            *node = *block;
            node->next = first->next;
            first->next = node;
        } else {
            done = 0;
        }
    }
    if (done) {
        ++stripe->live_blocks;
        stripe->live_bytes += block->size;
    }
    cs_unlock(&stripe->lock);
    return done;
}

/* Under the stripe's lock: the block at user in the bucket, or NULL. */
static struct mv_block *find_in(size_t index, uintptr_t user)
{
    struct mv_block *first = &buckets[index].first;
    if (first->user == user)
        return first;
    struct mv_block *node = first->next;
    while (node != NULL && node->user != user)
        node = node->next;
    return node;
}

int mv_registry_get(uintptr_t user, struct mv_block *out)
{
    if (user == 0)
        return 0;
    size_t index = bucket_of(user);
    struct stripe *stripe = stripe_of(index);
    cs_lock_shared_only(&stripe->lock);
    struct mv_block *node = find_in(index, user);
    if (node != NULL)
        *out = *node;
    cs_unlock(&stripe->lock);
    return node != NULL;
}

int mv_registry_retire(uintptr_t user, uint32_t free_stack, struct mv_block *out)
{
    if (user == 0)
        return 0;
    size_t index = bucket_of(user);
    struct stripe *stripe = stripe_of(index);
    cs_lock_shared_only(&stripe->lock);
    struct mv_block *node = find_in(index, user);
    if (node != NULL) {
        *out = *node;
        if (node->state == MV_LIVE) {
            node->state = MV_QUARANTINED;
            node->free_stack = free_stack;
            --stripe->live_blocks;
            stripe->live_bytes -= node->size;
        }
    }
    cs_unlock(&stripe->lock);
    return node != NULL;
}

int mv_registry_remove(uintptr_t user, struct mv_block *out)
{
    if (user == 0)
        return 0;
    size_t index = bucket_of(user);
    struct stripe *stripe = stripe_of(index);
    cs_lock_shared_only(&stripe->lock);
    struct mv_block *first = &buckets[index].first;
    struct mv_block *node = find_in(index, user);
    if (node != NULL) {
        if (out != NULL)
            *out = *node;
        if (node->state == MV_LIVE) {
            --stripe->live_blocks;
            stripe->live_bytes -= node->size;
        }
        /* The node that leaves the chain: the found one, or the second one
         * when the found one is the bucket's own and moves up into it. */
        struct mv_block *leaving = node;
        if (node == first) {
            leaving = first->next;
            if (leaving != NULL)
                *first = *leaving; /* its next included */
            else
                first->user = 0;
        } else {
            struct mv_block *before = first;
            while (before->next != node)
                before = before->next;
            before->next = node->next;
        }
        if (leaving != NULL) {
            leaving->next = stripe->free_nodes;
            stripe->free_nodes = leaving;
        }
    }
    cs_unlock(&stripe->lock);
    return node != NULL;
}

void mv_registry_prefetch_bucket(uintptr_t user)
{
    if (buckets != NULL)
        __builtin_prefetch(&buckets[bucket_of(user)], 1);
}

void mv_registry_for_each(void (*visit)(struct mv_block *block, void *context), void *context)
{
    if (buckets == NULL)
        return;
    for (size_t s = 0; s < STRIPES; ++s) {
        cs_lock(&stripes[s].lock);
        for (size_t index = s; index < ((size_t)1 << BUCKET_BITS); index += STRIPES) {
            struct mv_block *first = &buckets[index].first;
            if (first->user != 0)
                visit(first, context);
            for (struct mv_block *node = first->next; node != NULL; node = node->next)
                visit(node, context);
        }
        cs_unlock(&stripes[s].lock);
    }
}

struct containing_search {
    uintptr_t address;
    struct mv_block *out;
    int found;
};

static void check_contains(struct mv_block *block, void *context)
{
    struct containing_search *search = context;
    if (!search->found && search->address >= block->user &&
        search->address - block->user < (block->size ? block->size : 1)) {
        *search->out = *block;
        search->found = 1;
    }
}

int mv_registry_find_containing(uintptr_t address, struct mv_block *out)
{
    struct containing_search search = {address, out, 0};
    mv_registry_for_each(check_contains, &search);
    return search.found;
}

void mv_registry_totals(uint64_t *blocks, uint64_t *bytes)
{
    *blocks = *bytes = 0;
    for (size_t s = 0; s < STRIPES; ++s) {
        cs_lock(&stripes[s].lock);
        *blocks += stripes[s].live_blocks;
        *bytes += stripes[s].live_bytes;
        cs_unlock(&stripes[s].lock);
    }
}

void mv_registry_before_fork(void)
{
    for (size_t s = 0; s < STRIPES; ++s)
        cs_lock(&stripes[s].lock);
}

void mv_registry_after_fork(void)
{
    for (size_t s = 0; s < STRIPES; ++s)
        cs_unlock(&stripes[s].lock);
}
