/* A sorted copy of the registry for passes over the whole heap that look up
 * many addresses (the leak scan): binary search instead of a registry walk
 * per address. Its memory comes straight from the kernel. */
#include "block_registry.h"

#include <string.h>
#include <sys/mman.h>

#include "checker_support.h"

struct count_context {
    size_t count;
};

static void count_block(struct mv_block *block, void *context)
{
    (void)block;
    ++((struct count_context *)context)->count;
}

struct fill_context {
    struct mv_block *blocks;
    size_t capacity, count;
};

static void copy_block(struct mv_block *block, void *context)
{
    struct fill_context *fill = context;
    if (fill->count < fill->capacity)
        fill->blocks[fill->count++] = *block;
}

/* Heap sort: no recursion, no allocation, fine for a pass at exit. */
static void sift_down(struct mv_block *blocks, size_t root, size_t count)
{
    for (;;) {
        size_t child = 2 * root + 1;
        if (child >= count)
            return;
        if (child + 1 < count && blocks[child + 1].user > blocks[child].user)
            ++child;
        if (blocks[root].user >= blocks[child].user)
            return;
        struct mv_block swap = blocks[root];
        blocks[root] = blocks[child];
        blocks[child] = swap;
        root = child;
    }
}

static void sort_blocks(struct mv_block *blocks, size_t count)
{
    for (size_t i = count / 2; i > 0; --i)
        sift_down(blocks, i - 1, count);
    for (size_t end = count; end > 1; --end) {
        struct mv_block swap = blocks[0];
        blocks[0] = blocks[end - 1];
        blocks[end - 1] = swap;
        sift_down(blocks, 0, end - 1);
    }
}

int mv_snapshot_take(struct mv_snapshot *snapshot)
{
    memset(snapshot, 0, sizeof *snapshot);
    struct count_context counted = {0};
    mv_registry_for_each(count_block, &counted);
    /* Room for blocks allocated by other threads while copying. */
    size_t capacity = counted.count + counted.count / 8 + 64;
    size_t size = (capacity * sizeof(struct mv_block) + 4095) & ~(size_t)4095;
    struct mv_block *blocks = cs_map(size);
    if (blocks == NULL)
        return 0;
    struct fill_context fill = {blocks, capacity, 0};
    mv_registry_for_each(copy_block, &fill);
    sort_blocks(blocks, fill.count);
    snapshot->blocks = blocks;
    snapshot->count = fill.count;
    snapshot->map_size = size;
    return 1;
}

struct mv_block *mv_snapshot_find(const struct mv_snapshot *snapshot, uintptr_t address)
{
    size_t low = 0, high = snapshot->count;
    while (low < high) {
        size_t middle = low + (high - low) / 2;
        if (snapshot->blocks[middle].user <= address)
            low = middle + 1;
        else
            high = middle;
    }
    if (low == 0)
        return NULL;
    struct mv_block *block = &snapshot->blocks[low - 1];
    size_t extent = block->size ? block->size : 1;
    return address - block->user < extent ? block : NULL;
}

void mv_snapshot_release(struct mv_snapshot *snapshot)
{
    if (snapshot->blocks != NULL)
        munmap(snapshot->blocks, snapshot->map_size);
    memset(snapshot, 0, sizeof *snapshot);
}
