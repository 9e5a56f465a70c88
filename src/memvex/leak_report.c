/* The leak scan at exit: stop the other threads, mark what the program can
 * still reach, let the threads go, then report the blocks nobody reaches,
 * grouped by allocation stack and biggest first, and with -m also the
 * blocks still reachable. */
#include "memvex.h"
#include "guard_pages.h"
#include "leak_scan.h"

#include <string.h>

struct group {
    uint32_t stack;
    uint32_t used;
    uint64_t bytes, blocks;
};

struct grouping {
    struct group *slots; /* open addressing on the stack id */
    size_t capacity;     /* a power of two */
    size_t count;
};

static int grouping_init(struct grouping *g, size_t most)
{
    g->capacity = 16;
    while (g->capacity < most * 2)
        g->capacity <<= 1;
    g->count = 0;
    g->slots = mv_scan_map(g->capacity * sizeof *g->slots);
    return g->slots != NULL;
}

static void grouping_add(struct grouping *g, uint32_t stack, size_t size)
{
    size_t mask = g->capacity - 1;
    size_t at = ((size_t)stack * 0x9e3779b1u) & mask;
    while (g->slots[at].used && g->slots[at].stack != stack)
        at = (at + 1) & mask;
    struct group *slot = &g->slots[at];
    if (!slot->used) {
        slot->used = 1;
        slot->stack = stack;
        ++g->count;
    }
    slot->bytes += size;
    ++slot->blocks;
}

static int bigger(const struct group *a, const struct group *b)
{
    if (a->bytes != b->bytes)
        return a->bytes > b->bytes;
    if (a->blocks != b->blocks)
        return a->blocks > b->blocks;
    return a->stack < b->stack;
}

static void sift_down(struct group *items, size_t root, size_t count)
{
    for (;;) {
        size_t child = 2 * root + 1;
        if (child >= count)
            return;
        /* A min-heap on size: sorting then leaves the biggest first. */
        if (child + 1 < count && bigger(&items[child], &items[child + 1]))
            ++child;
        if (!bigger(&items[root], &items[child]))
            return;
        struct group swap = items[root];
        items[root] = items[child];
        items[child] = swap;
        root = child;
    }
}

/* Packs the used slots to the front, biggest first; returns how many. */
static size_t sorted_groups(struct grouping *g)
{
    size_t n = 0;
    for (size_t i = 0; i < g->capacity; ++i)
        if (g->slots[i].used)
            g->slots[n++] = g->slots[i];
    for (size_t i = n / 2; i-- > 0;)
        sift_down(g->slots, i, n);
    for (size_t end = n; end-- > 1;) {
        struct group swap = g->slots[0];
        g->slots[0] = g->slots[end];
        g->slots[end] = swap;
        sift_down(g->slots, 0, end);
    }
    return n;
}

static void report_group(const char *kind, const struct group *group, int not_error)
{
    char text[128];
    struct ryn_out out;
    ryn_out_init(&out, -1, text, sizeof text);
    ryn_out_udec(&out, group->bytes);
    ryn_out_str(&out, " bytes in ");
    ryn_out_udec(&out, group->blocks);
    ryn_out_str(&out, " blocks allocated at:");
    struct cs_error error = {
        .kind = kind,
        .description = ryn_out_text(&out),
        .not_error = not_error,
    };
    error.stacks[0].title = NULL;
    error.stacks[0].id = group->stack;
    error.stack_count = 1;
    cs_report(&error);
}

static void report_groups(const char *kind, struct grouping *g, int not_error)
{
    size_t n = sorted_groups(g);
    for (size_t i = 0; i < n; ++i)
        report_group(kind, &g->slots[i], not_error);
}

/* 0 when the scan could not be made; nothing is reported then. */
static int mark_with_threads_stopped(struct mv_marked_heap *heap)
{
    /* Hold every registry lock while the signals go out, so that no thread
     * parks while it holds one. */
    mv_registry_before_fork();
    const struct mv_stopped_thread *threads = NULL;
    size_t thread_count = mv_stop_other_threads(&threads);
    mv_registry_after_fork();
    int marked = mv_mark_reachable(heap, threads, thread_count);
    mv_resume_other_threads();
    return marked;
}

void mv_scan_leaks_at_exit(struct cs_leak_totals *totals)
{
    memset(totals, 0, sizeof *totals);
    totals->guard_fallbacks = mv_guard_fallbacks();
    /* A process that reports nothing has no use for the scan. */
    if (!cs_reporting())
        return;
    ++cs_in_runtime;
    struct mv_marked_heap heap;
    if (!mark_with_threads_stopped(&heap)) {
        mv_release_marked(&heap);
        --cs_in_runtime;
        return;
    }
    struct grouping leaked = {0}, reachable = {0};
    int grouped = grouping_init(&leaked, heap.count) && grouping_init(&reachable, heap.count);
    totals->has_leaks = 1;
    for (size_t i = 0; i < heap.count; ++i) {
        const struct mv_scanned_block *b = &heap.blocks[i];
        if (b->reached) {
            totals->reachable_bytes += b->size;
            ++totals->reachable_blocks;
            if (grouped)
                grouping_add(&reachable, b->alloc_stack, b->size);
        } else {
            totals->leaked_bytes += b->size;
            ++totals->leaked_blocks;
            if (grouped)
                grouping_add(&leaked, b->alloc_stack, b->size);
        }
    }
    if (grouped) {
        report_groups("leak", &leaked, 0);
        if (cs_settings.list_reachable)
            report_groups("still-reachable", &reachable, 1);
    }
    mv_scan_unmap(leaked.slots, leaked.capacity * sizeof *leaked.slots);
    mv_scan_unmap(reachable.slots, reachable.capacity * sizeof *reachable.slots);
    mv_release_marked(&heap);
    --cs_in_runtime;
}
