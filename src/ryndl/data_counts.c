/* What one write of an object's data adds: the counts since the previous
 * write of this process. The counters only grow, so the writer keeps the
 * values it last wrote and subtracts them; a process that writes at an exec
 * that then fails, and again at exit, adds each execution once. The values
 * are read once per write, so blocks, branches and calls agree even while
 * other threads go on counting. */
#include "data_counts.h"

#include <string.h>
#include <sys/mman.h>

/* Only a counting object has the scratch. A damaged table may name a
 * counter past the area: such a block is not counted. */
static int counted(const struct ryn_object *object, uint32_t counter)
{
    return object->snapshots != NULL && counter != RYN_NO_COUNTER && counter < object->counter_count;
}

/* A write ends by flipping one int, so a fork from another thread at any
 * moment leaves the child two whole rows. */
static uint64_t *written(const struct ryn_object *object)
{
    return object->snapshots + (object->written_row ? object->counter_count : 0);
}

static uint64_t *taking(const struct ryn_object *object)
{
    return object->snapshots + (object->written_row ? 0 : object->counter_count);
}

int ryn_data_attach(struct ryn_object *object)
{
    object->snapshots = NULL;
    object->written_row = 0;
    object->counts_map_size = 0;
    if (!object->counting || object->counters == NULL || object->counter_count == 0)
        return 0;
    if (object->counter_count > SIZE_MAX / (2 * sizeof(uint64_t)))
        return -1;
    size_t size = 2 * sizeof(uint64_t) * (size_t)object->counter_count;
    size = (size + 4095) & ~(size_t)4095;
    void *memory = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return -1;
    object->counts_map_size = size;
    object->snapshots = memory;
    return 0;
}

void ryn_data_detach(struct ryn_object *object)
{
    if (object->counts_map_size > 0)
        munmap(object->snapshots, object->counts_map_size);
    object->snapshots = NULL;
    object->counts_map_size = 0;
}

int ryn_counts_take(struct ryn_object *object)
{
    int any = 0;
    for (uint32_t i = 0; i < object->count; ++i) {
        uint8_t hit = __atomic_load_n(&object->hits[i], __ATOMIC_RELAXED);
        if (hit == HIT_NEW)
            __atomic_compare_exchange_n(&object->hits[i], &hit, HIT_PENDING, 0, __ATOMIC_RELAXED, __ATOMIC_RELAXED);
        any = any || hit == HIT_NEW || hit == HIT_PENDING;
    }
    if (object->snapshots == NULL)
        return any;
    uint64_t *now = taking(object), *before = written(object);
    for (uint64_t c = 0; c < object->counter_count; ++c) {
        now[c] = __atomic_load_n(&object->counters[c], __ATOMIC_RELAXED);
        if (now[c] != before[c])
            any = 1;
    }
    return any;
}

void ryn_counts_settle(struct ryn_object *object, int in_file)
{
    for (uint32_t i = 0; i < object->count; ++i) {
        uint8_t hit = __atomic_load_n(&object->hits[i], __ATOMIC_RELAXED);
        if (hit == HIT_PENDING)
            __atomic_store_n(&object->hits[i], in_file ? HIT_WRITTEN : HIT_NEW, __ATOMIC_RELAXED);
    }
    if (in_file && object->snapshots != NULL)
        object->written_row = !object->written_row;
}

static uint64_t counter_delta(const struct ryn_object *object, uint32_t counter)
{
    return taking(object)[counter] - written(object)[counter];
}

/* The first sum record of the block at addr; sums ascend by block. */
static uint32_t first_sum(const struct ryn_object *object, uint64_t addr)
{
    return ryn_lower_bound(object->sums, object->sum_count, sizeof *object->sums, addr);
}

/* A block with no counter of its own: the sum of its incoming edges. */
static uint64_t sum_delta(const struct ryn_object *object, uint64_t addr)
{
    uint64_t total = 0;
    for (uint32_t s = first_sum(object, addr); s < object->sum_count && object->sums[s].block == addr; ++s) {
        if (!counted(object, object->sums[s].counter))
            continue;
        uint64_t edge = counter_delta(object, object->sums[s].counter);
        total = edge > UINT64_MAX - total ? UINT64_MAX : total + edge;
    }
    return total;
}

uint64_t ryn_block_delta(const struct ryn_object *object, uint32_t probe)
{
    uint32_t counter = object->probes[probe].counter;
    if (counted(object, counter))
        return counter_delta(object, counter);
    if (counter == RYN_SUM_COUNTER && object->snapshots != NULL)
        return sum_delta(object, object->probes[probe].addr);
    return object->hits[probe] == HIT_PENDING;
}

void ryn_branch_delta(const struct ryn_object *object, uint32_t branch, uint64_t *taken, uint64_t *not_taken)
{
    const struct ryn_branch *b = &object->branches[branch];
    *taken = *not_taken = 0;
    if (counted(object, b->taken_counter))
        *taken = counter_delta(object, b->taken_counter);
    if (counted(object, b->not_taken_counter))
        *not_taken = counter_delta(object, b->not_taken_counter);
}

/* The first adjust of the entry at addr; adjusts ascend by entry. */
static uint32_t first_adjust(const struct ryn_object *object, uint64_t addr)
{
    return ryn_lower_bound(object->adjusts, object->adjust_count, sizeof *object->adjusts, addr);
}

uint64_t ryn_calls_delta(const struct ryn_object *object, uint32_t probe)
{
    uint64_t calls = ryn_block_delta(object, probe);
    /* An entry counted the one-shot way holds runs: nothing to subtract. */
    if (!counted(object, object->probes[probe].counter))
        return calls;
    uint64_t addr = object->probes[probe].addr;
    for (uint32_t a = first_adjust(object, addr); a < object->adjust_count && object->adjusts[a].entry == addr; ++a) {
        uint32_t counter = object->adjusts[a].counter;
        if (!counted(object, counter))
            continue;
        uint64_t returns = counter_delta(object, counter);
        /* Counters read one after another while threads run may disagree
         * by a few; a count is never negative. */
        calls = returns < calls ? calls - returns : 0;
    }
    return calls;
}

void ryn_counts_reset_after_fork(struct ryn_object *object)
{
    if (object->snapshots == NULL)
        return;
    for (uint64_t c = 0; c < object->counter_count; ++c)
        object->counters[c] = 0;
    memset(written(object), 0, sizeof(uint64_t) * (size_t)object->counter_count);
}

uint64_t ryn_counter_now(const struct ryn_object *object, uint32_t counter)
{
    return counted(object, counter) ? taking(object)[counter] : 0;
}

uint64_t ryn_counter_delta(const struct ryn_object *object, uint32_t counter)
{
    return counted(object, counter) ? counter_delta(object, counter) : 0;
}
