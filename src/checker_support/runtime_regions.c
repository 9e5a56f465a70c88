/* The address ranges the runtimes mapped for their own bookkeeping. A
 * whole-heap pass that looks for pointers must skip them: the registry's
 * nodes hold the address of every block. Lock-free, so that any path (even
 * one inside malloc) may note a region. */
#include "checker_support.h"

#include <stdatomic.h>

#define MAX_REGIONS 65536

static struct cs_region regions[MAX_REGIONS];
static atomic_size_t region_count;

void cs_note_region(const void *start, size_t size)
{
    size_t slot = atomic_fetch_add_explicit(&region_count, 1, memory_order_relaxed);
    /* Beyond the table a region is scanned like program memory: a pass may
     * then miss a leak, but never reports a false one. */
    if (slot >= MAX_REGIONS)
        return;
    regions[slot].start = (uintptr_t)start;
    regions[slot].end = (uintptr_t)start + size;
}

size_t cs_runtime_regions(const struct cs_region **out)
{
    size_t count = atomic_load_explicit(&region_count, memory_order_acquire);
    *out = regions;
    return count < MAX_REGIONS ? count : MAX_REGIONS;
}
