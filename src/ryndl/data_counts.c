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
    return object->written != NULL && counter != RYN_NO_COUNTER && counter < object->counter_count;
}

int ryn_data_attach(struct ryn_object *object)
{
    object->written = object->taking = NULL;
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
    object->written = memory;
    object->taking = (uint64_t *)memory + object->counter_count;
    return 0;
}

void ryn_data_detach(struct ryn_object *object)
{
    if (object->counts_map_size > 0)
        munmap(object->written < object->taking ? object->written : object->taking,
               object->counts_map_size);
    object->written = object->taking = NULL;
    object->counts_map_size = 0;
}

int ryn_counts_take(struct ryn_object *object)
{
    int any = 0;
    for (uint32_t i = 0; i < object->count; ++i) {
        uint8_t hit = __atomic_load_n(&object->hits[i], __ATOMIC_RELAXED);
        if (hit == HIT_NEW)
            __atomic_compare_exchange_n(&object->hits[i], &hit, HIT_PENDING, 0, __ATOMIC_RELAXED,
                                        __ATOMIC_RELAXED);
        any = any || hit == HIT_NEW || hit == HIT_PENDING;
    }
    if (object->written == NULL)
        return any;
    for (uint64_t c = 0; c < object->counter_count; ++c) {
        object->taking[c] = __atomic_load_n(&object->counters[c], __ATOMIC_RELAXED);
        if (object->taking[c] != object->written[c])
            any = 1;
    }
    return any;
}

void ryn_counts_settle(struct ryn_object *object, int written)
{
    for (uint32_t i = 0; i < object->count; ++i) {
        uint8_t hit = HIT_PENDING;
        __atomic_compare_exchange_n(&object->hits[i], &hit, written ? HIT_WRITTEN : HIT_NEW, 0,
                                    __ATOMIC_RELAXED, __ATOMIC_RELAXED);
    }
    if (written && object->written != NULL) {
        uint64_t *swap = object->written;
        object->written = object->taking;
        object->taking = swap;
    }
}

static uint64_t counter_delta(const struct ryn_object *object, uint32_t counter)
{
    return object->taking[counter] - object->written[counter];
}

uint64_t ryn_block_delta(const struct ryn_object *object, uint32_t probe)
{
    uint32_t counter = object->probes[probe].counter;
    if (counted(object, counter))
        return counter_delta(object, counter);
    return object->hits[probe] == HIT_PENDING;
}

void ryn_branch_delta(const struct ryn_object *object, uint32_t branch, uint64_t *taken,
                      uint64_t *not_taken)
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
    uint32_t low = 0, high = object->adjust_count;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        if (object->adjusts[middle].entry < addr)
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

uint64_t ryn_calls_delta(const struct ryn_object *object, uint32_t probe)
{
    uint64_t calls = ryn_block_delta(object, probe);
    /* An entry counted the one-shot way holds runs: nothing to subtract. */
    if (!counted(object, object->probes[probe].counter))
        return calls;
    uint64_t addr = object->probes[probe].addr;
    for (uint32_t a = first_adjust(object, addr);
         a < object->adjust_count && object->adjusts[a].entry == addr; ++a) {
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
    if (object->written == NULL)
        return;
    for (uint64_t c = 0; c < object->counter_count; ++c)
        object->counters[c] = 0;
    memset(object->written, 0, sizeof(uint64_t) * (size_t)object->counter_count);
}
