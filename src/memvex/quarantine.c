/* Freed blocks wait here, filled with a pattern, before the C library gets
 * them back: a write through a dangling pointer damages the pattern and is
 * found when the block leaves. Shards picked per thread keep threads apart;
 * each shard is a ring with a byte budget. */
#include "memvex.h"
#include "guard_pages.h"

#include "cs_lock.h"

#define SHARDS 16
#define TOTAL_BUDGET ((size_t)16 << 20)
#define SHARD_BUDGET (TOTAL_BUDGET / SHARDS)
#define RING_SLOTS 65536
/* Blocks checked and released per push at most, so one free stays short. */
#define EVICT_BATCH 16
/* Blocks leave in ring order, long after their memory went cold: how many
 * places ahead of the leaving one to start bringing a block's registry entry
 * and bytes back. */
#define PREFETCH_AHEAD 16

struct held {
    uintptr_t user;
    size_t size;
};

struct shard {
    cs_lock_t lock;
    struct held *ring; /* RING_SLOTS entries, mapped on first use */
    size_t head, count;
    size_t bytes;
    size_t ahead; /* entries from head on whose memory was brought in already */
};

static struct shard shards[SHARDS];
static atomic_uint next_shard;
static __thread unsigned my_shard __attribute__((tls_model("initial-exec")));

static struct shard *shard_of_thread(void)
{
    if (my_shard == 0)
        my_shard = 1 + atomic_fetch_add(&next_shard, 1) % SHARDS;
    return &shards[my_shard - 1];
}

/* Under the shard's lock. The oldest entry, taken out of the ring. */
static struct held take_oldest(struct shard *shard)
{
    struct held item = shard->ring[shard->head];
    shard->bytes -= item.size;
    shard->head = (shard->head + 1) % RING_SLOTS;
    --shard->count;
    if (shard->ahead > 0)
        --shard->ahead;
    return item;
}

/* Under the shard's lock. A large block pushes many out at once: every entry
 * that came within reach since the last push is brought in, not only the one
 * now at the far end, or those that skipped past it would arrive cold. */
static void prefetch_ahead(struct shard *shard)
{
    size_t reach = shard->count < PREFETCH_AHEAD ? shard->count : PREFETCH_AHEAD;
    for (; shard->ahead < reach; ++shard->ahead) {
        size_t at = shard->head + shard->ahead;
        const struct held *ahead = &shard->ring[at % RING_SLOTS];
        /* The ring itself is cold that far from its newest end. */
        __builtin_prefetch(&shard->ring[(at + 4) % RING_SLOTS]);
        mv_registry_prefetch_bucket(ahead->user);
        /* The red zone before the block and the C library's chunk header. */
        __builtin_prefetch((const char *)ahead->user - 32);
        size_t span = ahead->size < MV_PREFETCH_BYTES ? ahead->size : MV_PREFETCH_BYTES;
        for (size_t offset = 32; offset < span; offset += 64)
            __builtin_prefetch((const char *)ahead->user + offset);
    }
}

/* Checks a block leaving quarantine and gives it back. Outside any shard lock. */
static void release_held(struct held item)
{
    struct mv_block block;
    if (!mv_registry_remove(item.user, &block))
        return;
    if (block.guarded) {
        /* Its pages were inaccessible: any access already faulted. */
        mv_guard_release(&block);
        return;
    }
    size_t offset = mv_first_damaged((const unsigned char *)item.user, block.size, MV_FREED_PATTERN);
    if (offset < block.size)
        mv_report_write_after_free(&block, offset);
    __libc_free(block.base);
}

void mv_quarantine_push(const struct mv_block *block)
{
    struct shard *shard = shard_of_thread();
    struct held leaving[EVICT_BATCH + 1];
    size_t leaving_count = 0;
    cs_lock_shared_only(&shard->lock);
    if (shard->ring == NULL)
        shard->ring = cs_map(RING_SLOTS * sizeof *shard->ring);
    if (shard->ring == NULL) {
        cs_unlock(&shard->lock);
        leaving[0] = (struct held){block->user, block->size};
        release_held(leaving[0]);
        return;
    }
    if (shard->count == RING_SLOTS)
        leaving[leaving_count++] = take_oldest(shard);
    shard->ring[(shard->head + shard->count) % RING_SLOTS] = (struct held){block->user, block->size};
    ++shard->count;
    shard->bytes += block->size;
    /* The newest block stays even when it alone is over the budget. */
    while (shard->bytes > SHARD_BUDGET && shard->count > 1 && leaving_count < EVICT_BATCH)
        leaving[leaving_count++] = take_oldest(shard);
    prefetch_ahead(shard);
    cs_unlock(&shard->lock);
    for (size_t i = 0; i < leaving_count; ++i)
        release_held(leaving[i]);
}

void mv_quarantine_drain(void)
{
    for (int s = 0; s < SHARDS; ++s) {
        struct shard *shard = &shards[s];
        for (;;) {
            cs_lock(&shard->lock);
            if (shard->count == 0) {
                cs_unlock(&shard->lock);
                break;
            }
            struct held item = take_oldest(shard);
            cs_unlock(&shard->lock);
            release_held(item);
        }
    }
}

void mv_quarantine_before_fork(void)
{
    for (int s = 0; s < SHARDS; ++s)
        cs_lock(&shards[s].lock);
}

void mv_quarantine_after_fork(void)
{
    for (int s = 0; s < SHARDS; ++s)
        cs_unlock(&shards[s].lock);
}
