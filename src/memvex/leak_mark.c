/* The conservative mark of the leak scan. Roots are the writable private
 * mappings of the process (data and bss of every object, thread stacks from
 * their stack pointers up, static TLS, the loader's own memory), less the
 * heap blocks themselves and less the runtime's own memory. Blocks are cut
 * out one by one rather than whole mappings left out: the kernel merges a
 * guarded block's mapping with the program's neighbouring ones, and what lies
 * between the C library's chunks is its headers and freed blocks, which the
 * runtime fills with a pattern. Every
 * aligned word that points into a live block's user bytes reaches it; blocks
 * reached are then scanned the same way, from an explicit mark stack. */
#include "leak_scan.h"

#include <elf.h>
#include <link.h>
#include <string.h>

#include "memvex.h"

/* The ELF header of this runtime, for its own writable segments. */
extern const ElfW(Ehdr) __ehdr_start __attribute__((visibility("hidden")));

struct collect {
    struct mv_scanned_block *blocks;
    size_t count, capacity;
};

static void collect_live(struct mv_block *block, void *context)
{
    struct collect *c = context;
    if (block->state != MV_LIVE || c->count == c->capacity)
        return;
    struct mv_scanned_block *out = &c->blocks[c->count++];
    out->start = block->user;
    out->end = block->user + (block->size ? block->size : 1);
    out->extent_start = (uintptr_t)block->base;
    out->extent_end = block->user + block->size + block->right;
    out->size = block->size;
    out->alloc_stack = block->alloc_stack;
    out->reached = 0;
}

/* Least significant digit first, 16 bits at a time: blocks are 16-aligned
 * user addresses below 2^52, so three passes sort them. */
static int sort_by_address(struct mv_scanned_block *blocks, size_t count)
{
    size_t bytes = count * sizeof *blocks;
    struct mv_scanned_block *other = mv_scan_map(bytes ? bytes : 1);
    size_t *counts = mv_scan_map(sizeof(size_t) << 16);
    if (other == NULL || counts == NULL) {
        mv_scan_unmap(other, bytes ? bytes : 1);
        mv_scan_unmap(counts, sizeof(size_t) << 16);
        return 0;
    }
    struct mv_scanned_block *from = blocks, *to = other;
    for (int shift = 4; shift < 52; shift += 16) {
        memset(counts, 0, sizeof(size_t) << 16);
        for (size_t i = 0; i < count; ++i)
            ++counts[(from[i].start >> shift) & 0xffff];
        size_t total = 0;
        for (size_t d = 0; d < (1u << 16); ++d) {
            size_t n = counts[d];
            counts[d] = total;
            total += n;
        }
        for (size_t i = 0; i < count; ++i)
            to[counts[(from[i].start >> shift) & 0xffff]++] = from[i];
        struct mv_scanned_block *swap = from;
        from = to;
        to = swap;
    }
    if (from != blocks)
        memcpy(blocks, from, bytes);
    mv_scan_unmap(other, bytes ? bytes : 1);
    mv_scan_unmap(counts, sizeof(size_t) << 16);
    return 1;
}

struct marker {
    struct mv_scanned_block *blocks;
    size_t count;
    uintptr_t low, high;
    uint32_t *stack; /* indices of blocks reached but not yet scanned */
    size_t depth;
    /* Ranges never scanned as roots, sorted by start. */
    struct cs_region excluded[256 + 64];
    size_t excluded_count;
    const struct cs_region *runtime;
    size_t runtime_count;
    const struct mv_stopped_thread *threads;
    size_t thread_count;
    uintptr_t own_sp;
};

/* Index of the block whose user bytes hold address, or -1. */
static long find_block(const struct marker *m, uintptr_t address)
{
    if (address < m->low || address >= m->high)
        return -1;
    size_t lo = 0, hi = m->count;
    while (hi - lo > 1) {
        size_t mid = lo + (hi - lo) / 2;
        if (m->blocks[mid].start <= address)
            lo = mid;
        else
            hi = mid;
    }
    const struct mv_scanned_block *b = &m->blocks[lo];
    return address >= b->start && address < b->end ? (long)lo : -1;
}

static void scan_words(struct marker *m, uintptr_t start, uintptr_t end)
{
    start = (start + 7) & ~(uintptr_t)7;
    for (uintptr_t at = start; at + 8 <= end; at += 8) {
        long index = find_block(m, *(const uintptr_t *)at);
        if (index >= 0 && !m->blocks[index].reached) {
            m->blocks[index].reached = 1;
            m->stack[m->depth++] = (uint32_t)index;
        }
    }
}

static int overlaps_any(const struct cs_region *regions, size_t count, uintptr_t start, uintptr_t end,
                        uintptr_t *cut_start, uintptr_t *cut_end)
{
    for (size_t i = 0; i < count; ++i) {
        if (regions[i].start < end && regions[i].end > start && regions[i].start < regions[i].end) {
            *cut_start = regions[i].start;
            *cut_end = regions[i].end;
            return 1;
        }
    }
    return 0;
}

/* Scans [start, end) less the extents of the blocks in it. */
static void scan_between_blocks(struct marker *m, uintptr_t start, uintptr_t end)
{
    size_t lo = 0, hi = m->count;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (m->blocks[mid].extent_end <= start)
            lo = mid + 1;
        else
            hi = mid;
    }
    for (size_t i = lo; i < m->count && start < end; ++i) {
        const struct mv_scanned_block *b = &m->blocks[i];
        if (b->extent_start >= end)
            break;
        if (b->extent_start > start)
            scan_words(m, start, b->extent_start);
        if (b->extent_end > start)
            start = b->extent_end;
    }
    if (start < end)
        scan_words(m, start, end);
}

/* Scans [start, end) less every excluded range and every block. */
static void scan_root(struct marker *m, uintptr_t start, uintptr_t end)
{
    while (start < end) {
        uintptr_t cut_start = 0, cut_end = 0;
        if (overlaps_any(m->excluded, m->excluded_count, start, end, &cut_start, &cut_end) ||
            overlaps_any(m->runtime, m->runtime_count, start, end, &cut_start, &cut_end)) {
            if (cut_start > start)
                scan_root(m, start, cut_start);
            start = cut_end;
            continue;
        }
        scan_between_blocks(m, start, end);
        return;
    }
}

static int named(const struct mv_mapping *mapping, const char *name)
{
    size_t length = strlen(name);
    return mapping->name_length >= length && memcmp(mapping->name, name, length) == 0;
}

static void visit_mapping(const struct mv_mapping *mapping, void *context)
{
    struct marker *m = context;
    if (!mapping->readable || !mapping->writable || mapping->shared)
        return;
    /* Device memory may not be read like RAM. */
    if (named(mapping, "/dev/") || named(mapping, "[vvar") || named(mapping, "[vsyscall"))
        return;
    uintptr_t start = mapping->start;
    /* A stack is live only from its thread's stack pointer up: below it lie
     * stale frames, whose pointers would hide leaks. */
    if (m->own_sp >= mapping->start && m->own_sp < mapping->end)
        start = m->own_sp;
    for (size_t i = 0; i < m->thread_count; ++i) {
        uintptr_t sp = m->threads[i].sp;
        if (sp >= mapping->start && sp < mapping->end)
            start = sp;
    }
    scan_root(m, start, mapping->end);
}

static void exclude(struct marker *m, uintptr_t start, uintptr_t end)
{
    if (start < end && m->excluded_count < sizeof m->excluded / sizeof m->excluded[0]) {
        m->excluded[m->excluded_count].start = start;
        m->excluded[m->excluded_count].end = end;
        ++m->excluded_count;
    }
}

static void exclude_own_segments(struct marker *m)
{
    const char *base = (const char *)&__ehdr_start;
    const ElfW(Phdr) *phdr = (const ElfW(Phdr) *)(base + __ehdr_start.e_phoff);
    uintptr_t first = UINTPTR_MAX;
    for (int i = 0; i < __ehdr_start.e_phnum; ++i)
        if (phdr[i].p_type == PT_LOAD && phdr[i].p_vaddr < first)
            first = phdr[i].p_vaddr & ~(uintptr_t)4095;
    uintptr_t bias = (uintptr_t)base - first;
    for (int i = 0; i < __ehdr_start.e_phnum; ++i) {
        if (phdr[i].p_type != PT_LOAD || !(phdr[i].p_flags & PF_W))
            continue;
        uintptr_t start = (bias + phdr[i].p_vaddr) & ~(uintptr_t)4095;
        uintptr_t end = (bias + phdr[i].p_vaddr + phdr[i].p_memsz + 4095) & ~(uintptr_t)4095;
        exclude(m, start, end);
    }
}

/* Spills this thread's callee-saved registers into its frame, so that the
 * scan of its stack from here up sees them. */
__attribute__((noinline)) static void scan_roots(struct marker *m)
{
    __builtin_unwind_init();
    volatile uintptr_t here = 0;
    m->own_sp = (uintptr_t)&here;
    mv_for_each_mapping(visit_mapping, m);
}

static void mark_from_stack(struct marker *m)
{
    while (m->depth > 0) {
        const struct mv_scanned_block *b = &m->blocks[m->stack[--m->depth]];
        scan_words(m, b->start, b->start + b->size);
    }
}

int mv_mark_reachable(struct mv_marked_heap *heap, const struct mv_stopped_thread *threads, size_t thread_count)
{
    memset(heap, 0, sizeof *heap);
    uint64_t live_blocks = 0, live_bytes = 0;
    mv_registry_totals(&live_blocks, &live_bytes);
    /* Room for blocks a thread that did not stop may still add. */
    size_t capacity = (size_t)live_blocks + 4096;
    heap->mapped_bytes = capacity * sizeof *heap->blocks;
    heap->blocks = mv_scan_map(heap->mapped_bytes);
    if (heap->blocks == NULL)
        return 0;
    struct collect c = {heap->blocks, 0, capacity};
    mv_registry_for_each(collect_live, &c);
    heap->count = c.count;
    if (!sort_by_address(heap->blocks, heap->count))
        return 0;

    static struct marker m;
    memset(&m, 0, sizeof m);
    m.blocks = heap->blocks;
    m.count = heap->count;
    if (m.count > 0) {
        m.low = m.blocks[0].start;
        for (size_t i = 0; i < m.count; ++i)
            if (m.blocks[i].end > m.high)
                m.high = m.blocks[i].end;
    }
    size_t stack_bytes = (m.count ? m.count : 1) * sizeof *m.stack;
    m.stack = mv_scan_map(stack_bytes);
    if (m.stack == NULL)
        return 0;
    m.threads = threads;
    m.thread_count = thread_count;
    m.runtime_count = cs_runtime_regions(&m.runtime);
    exclude_own_segments(&m);
    const struct cs_region *tables = NULL;
    size_t table_count = mv_scan_tables(&tables);
    for (size_t i = 0; i < table_count; ++i)
        exclude(&m, tables[i].start, tables[i].end);

    scan_roots(&m);
    mark_from_stack(&m);
    mv_scan_unmap(m.stack, stack_bytes);
    return 1;
}

void mv_release_marked(struct mv_marked_heap *heap)
{
    mv_scan_unmap(heap->blocks, heap->mapped_bytes);
    memset(heap, 0, sizeof *heap);
}
