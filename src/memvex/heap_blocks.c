/* The blocks handed to the program: [left red zone][user bytes][right red
 * zone], all from the C library's allocator. The registry knows every block;
 * a pointer it does not know is never given to the C library. */
#include "memvex.h"
#include "guard_pages.h"
#include "stack_capture_inline.h"

#include <errno.h>
#include <string.h>

static inline __attribute__((always_inline)) uint64_t word_at(const unsigned char *at)
{
    uint64_t word;
    memcpy(&word, at, sizeof word);
    return word;
}

/* Red zones of 16 to 32 bytes, the usual sizes, as four overlapping words
 * without a call; others through the general check. */
static inline __attribute__((always_inline)) int red_zone_intact(const unsigned char *at, size_t size,
                                                                 unsigned char pattern)
{
    if (size < 16 || size > 32)
        return mv_all_pattern(at, size, pattern);
    uint64_t want = 0x0101010101010101ull * pattern;
    return ((word_at(at) ^ want) | (word_at(at + 8) ^ want) | (word_at(at + size - 16) ^ want) |
            (word_at(at + size - 8) ^ want)) == 0;
}

static int find_damage(const struct mv_block *block, int *before, size_t *distance)
{
    const unsigned char *left = block->base;
    const unsigned char *right = (const unsigned char *)block->user + block->size;
    /* Intact red zones are the rule; only a damaged one is searched byte-wise
     * for the damage nearest the block. */
    if (red_zone_intact(left, block->left, MV_LEFT_PATTERN) && red_zone_intact(right, block->right, MV_RIGHT_PATTERN))
        return 0;
    for (uint32_t i = block->left; i > 0; --i) {
        if (left[i - 1] != MV_LEFT_PATTERN) {
            *before = 1;
            *distance = block->left - (i - 1);
            return 1;
        }
    }
    for (uint32_t i = 0; i < block->right; ++i) {
        if (right[i] != MV_RIGHT_PATTERN) {
            *before = 0;
            *distance = i;
            return 1;
        }
    }
    return 0;
}

/* Fills a red zone of 16 to 32 bytes, the usual sizes, with two stores
 * rather than a call; larger ones through memset. */
static inline __attribute__((always_inline)) void fill_red_zone(unsigned char *at, size_t size, unsigned char pattern)
{
    if (size < 16 || size > 32) {
        memset(at, pattern, size);
        return;
    }
    unsigned char sixteen[16];
    memset(sixteen, pattern, sizeof sixteen);
    memcpy(at, sixteen, 16);
    memcpy(at + size - 16, sixteen, 16);
}

/* The program's stack, captured in the entry point's own frame. */
static inline __attribute__((always_inline)) uint32_t capture_here(void)
{
    uintptr_t pcs[CS_MAX_DEPTH];
    size_t depth = cs_capture_inline(pcs, (size_t)cs_settings.stack_depth);
    return cs_depot_put(pcs, depth);
}

static void check_red_zones(const struct mv_block *block, uint32_t stack)
{
    int before = 0;
    size_t distance = 0;
    if (find_damage(block, &before, &distance))
        mv_report_overflow_write(block, stack, before, distance);
}

/* The allocation and release paths, for a stack already captured (`stack`
 * not NULL) or to be captured here, in the entry point's frame. */
static inline __attribute__((always_inline)) void *allocate(size_t size, size_t alignment, enum mv_family family,
                                                            int zero, const uint32_t *stack)
{
    if (cs_in_runtime) {
        /* The runtime's own allocations (libdw, libunwind) are not checked. */
        if (alignment > 16)
            return __libc_memalign(alignment, size);
        return zero ? __libc_calloc(1, size) : __libc_malloc(size);
    }
    mv_ensure_ready();
    ++cs_in_runtime;
    void *guarded = mv_guard_allocate(size, alignment, family, zero);
    if (guarded != NULL) {
        --cs_in_runtime;
        return guarded;
    }
    size_t left = alignment > MV_MIN_REDZONE ? alignment : MV_MIN_REDZONE;
    /* The right red zone also pads the block to a multiple of 16. */
    size_t right = MV_MIN_REDZONE + ((16 - size % 16) % 16);
    void *base = NULL;
    if (size <= SIZE_MAX - left - right && left <= UINT32_MAX / 2)
        base = alignment > 16 ? __libc_memalign(alignment, left + size + right) : __libc_malloc(left + size + right);
    if (base == NULL) {
        --cs_in_runtime;
        errno = ENOMEM;
        return NULL;
    }
    unsigned char *user = (unsigned char *)base + left;
    /* The bucket is cold; the stack capture below hides the wait. */
    mv_registry_prefetch_bucket((uintptr_t)user);
    fill_red_zone(base, left, MV_LEFT_PATTERN);
    fill_red_zone(user + size, right, MV_RIGHT_PATTERN);
    if (zero)
        memset(user, 0, size);
    else if (cs_settings.fill_new)
        memset(user, MV_NEW_PATTERN, size);
    struct mv_block block = {
        .user = (uintptr_t)user,
        .base = base,
        .size = size,
        .left = (uint32_t)left,
        .right = (uint32_t)right,
        .alloc_stack = stack != NULL ? *stack : capture_here(),
        .family = (uint8_t)family,
        .state = MV_LIVE,
    };
    if (!mv_registry_insert(&block)) {
        __libc_free(base);
        user = NULL;
        errno = ENOMEM;
    }
    --cs_in_runtime;
    return user;
}

void *mv_allocate(size_t size, size_t alignment, enum mv_family family, int zero)
{
    return allocate(size, alignment, family, zero, NULL);
}

static inline __attribute__((always_inline)) void release(void *pointer, enum mv_family family, const char *what,
                                                          const uint32_t *known_stack)
{
    if (pointer == NULL)
        return;
    /* No release changes errno, whatever the checking did. */
    int saved_errno = errno;
    if (cs_in_runtime) {
        __libc_free(pointer);
        errno = saved_errno;
        return;
    }
    mv_ensure_ready();
    ++cs_in_runtime;
    /* The block was likely allocated long ago: start bringing its registry
     * entry and its first bytes (red zone included, checked and overwritten
     * below) back into the cache while the stack is captured. */
    mv_registry_prefetch_bucket((uintptr_t)pointer);
    for (int offset = -MV_MIN_REDZONE; offset < MV_PREFETCH_BYTES; offset += 64)
        __builtin_prefetch((const char *)pointer + offset, 1);
    uint32_t stack = known_stack != NULL ? *known_stack : capture_here();
    struct mv_block block;
    if (!mv_registry_retire((uintptr_t)pointer, stack, &block)) {
        struct mv_block owner;
        if (mv_registry_find_containing((uintptr_t)pointer, &owner))
            mv_report_interior_free((uintptr_t)pointer, &owner, stack, what);
        else
            mv_report_invalid_free((uintptr_t)pointer, stack, what);
    } else if (block.state != MV_LIVE) {
        mv_report_double_free(&block, stack, what);
    } else {
        /* Every form has its own release: aligned new is no plain new. */
        if (block.family != family)
            mv_report_mismatched_free(&block, stack, what);
        check_red_zones(&block, stack);
        memset((void *)block.user, MV_FREED_PATTERN, block.size);
        if (block.guarded)
            mv_guard_retire(&block);
        block.state = MV_QUARANTINED;
        block.free_stack = stack;
        mv_quarantine_push(&block);
    }
    --cs_in_runtime;
    errno = saved_errno;
}

void mv_release(void *pointer, enum mv_family family, const char *what)
{
    release(pointer, family, what, NULL);
}

void *mv_reallocate(void *pointer, size_t size)
{
    if (pointer == NULL)
        return mv_allocate(size, 16, MV_MALLOC, 0);
    if (cs_in_runtime)
        return __libc_realloc(pointer, size);
    mv_ensure_ready();
    /* One walk serves both the new block and the release of the old one:
     * they share the program's call. */
    ++cs_in_runtime;
    uint32_t stack = capture_here();
    --cs_in_runtime;
    if (size == 0) {
        /* As the C library does: the block is freed and nothing returned. */
        release(pointer, MV_MALLOC, "realloc", &stack);
        return NULL;
    }
    struct mv_block old;
    if (!mv_registry_get((uintptr_t)pointer, &old) || old.state != MV_LIVE) {
        /* Reported as the free it would have been; the program gets no block. */
        release(pointer, MV_MALLOC, "realloc", &stack);
        errno = ENOMEM;
        return NULL;
    }
    void *fresh = allocate(size, 16, MV_MALLOC, 0, &stack);
    if (fresh == NULL)
        return NULL;
    memcpy(fresh, pointer, old.size < size ? old.size : size);
    release(pointer, MV_MALLOC, "realloc", &stack);
    return fresh;
}

size_t mv_usable_size(void *pointer)
{
    if (pointer == NULL || cs_in_runtime)
        return 0;
    struct mv_block block;
    if (!mv_registry_get((uintptr_t)pointer, &block) || block.state != MV_LIVE)
        return 0;
    /* Only the bytes asked for: the rest is red zone. */
    return block.size;
}

static void check_live(struct mv_block *block, void *context)
{
    struct mv_block *damaged = context;
    int before = 0;
    size_t distance = 0;
    /* Reporting here would call the registry again; note the first one. */
    if (block->state == MV_LIVE && damaged->user == 0 && !block->mark && find_damage(block, &before, &distance)) {
        *damaged = *block;
        block->mark = 1;
    }
}

static void clear_mark(struct mv_block *block, void *context)
{
    (void)context;
    block->mark = 0;
}

void mv_check_live_blocks(void)
{
    ++cs_in_runtime;
    for (;;) {
        struct mv_block damaged = {0};
        mv_registry_for_each(check_live, &damaged);
        if (damaged.user == 0)
            break;
        check_red_zones(&damaged, 0);
    }
    /* Leave the marks clear for whoever walks the heap next. */
    mv_registry_for_each(clear_mark, NULL);
    --cs_in_runtime;
}
