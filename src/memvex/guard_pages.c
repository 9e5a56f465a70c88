/* Guarded blocks: [left red zone][user bytes][slack up to the alignment]
 * [guard page], one mapping each. A table of the live mappings lets the fault
 * handler tell our faults from the program's without taking any lock. Each
 * guarded block costs two kernel mappings; past half of the system's limit
 * blocks get red zones instead, so that the program's own mmap calls keep
 * working. */
#include "memvex.h"
#include "guard_pages.h"

#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "cs_lock.h"

#define PAGE ((uintptr_t)4096)
#define MAPPINGS_PER_BLOCK 2

struct guarded {
    _Atomic uintptr_t base; /* 0: free slot */
    uintptr_t end;          /* past the guard page */
    uintptr_t guard;        /* the guard page */
    uintptr_t user;
};

static struct guarded *table;
static size_t table_size;
static size_t table_high; /* slots ever used; the handler looks no further */
static uint32_t *free_slots;
static size_t free_count;
static cs_lock_t table_lock;
static atomic_int table_state; /* 0 unset, 1 being set up, 2 ready, 3 unusable */
static _Atomic uint64_t fallbacks;

static long read_map_limit(void)
{
    int fd = (int)syscall(SYS_openat, AT_FDCWD, "/proc/sys/vm/max_map_count", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 65530; /* the kernel's default */
    char text[32];
    long got = syscall(SYS_read, fd, text, sizeof text - 1);
    syscall(SYS_close, fd);
    long limit = 0;
    for (long i = 0; i < got && text[i] >= '0' && text[i] <= '9'; ++i)
        limit = limit * 10 + (text[i] - '0');
    return limit > 0 ? limit : 65530;
}

static int table_ready(void)
{
    int state = atomic_load_explicit(&table_state, memory_order_acquire);
    if (state >= 2)
        return state == 2;
    int expected = 0;
    if (atomic_compare_exchange_strong(&table_state, &expected, 1)) {
        size_t size = (size_t)read_map_limit() / 2 / MAPPINGS_PER_BLOCK;
        table = cs_map(size * sizeof *table);
        free_slots = cs_map(size * sizeof *free_slots);
        table_size = size;
        atomic_store_explicit(&table_state, table && free_slots ? 2 : 3, memory_order_release);
    }
    while ((state = atomic_load_explicit(&table_state, memory_order_acquire)) == 1)
        ;
    return state == 2;
}

static int take_slot(void)
{
    int slot = -1;
    cs_lock(&table_lock);
    if (free_count > 0)
        slot = (int)free_slots[--free_count];
    else if (table_high < table_size) {
        slot = (int)table_high;
        __atomic_store_n(&table_high, table_high + 1, __ATOMIC_RELEASE);
    }
    cs_unlock(&table_lock);
    return slot;
}

static void put_slot(size_t slot)
{
    cs_lock(&table_lock);
    free_slots[free_count++] = (uint32_t)slot;
    cs_unlock(&table_lock);
}

static size_t round_up(size_t value, size_t to)
{
    return (value + to - 1) & ~(to - 1);
}

void *mv_guard_allocate(size_t size, size_t alignment, enum mv_family family, int zero)
{
    if (cs_settings.guard_count < 1 && size < MV_GUARD_THRESHOLD)
        return NULL;
    if (size > SIZE_MAX / 2 || alignment > PAGE * 1024 || !table_ready())
        return NULL;
    int slot = take_slot();
    if (slot < 0) {
        atomic_fetch_add(&fallbacks, 1);
        return NULL;
    }
    /* Enough pages for the red zone before, the bytes and the alignment slack. */
    size_t data = round_up(MV_MIN_REDZONE + size + alignment - 1, PAGE);
    void *mapping = mmap(NULL, data + PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) {
        put_slot((size_t)slot);
        return NULL;
    }
    uintptr_t base = (uintptr_t)mapping, guard = base + data;
    if (mprotect((void *)guard, PAGE, PROT_NONE) != 0) {
        munmap(mapping, data + PAGE);
        put_slot((size_t)slot);
        atomic_fetch_add(&fallbacks, 1);
        return NULL;
    }
    uintptr_t user = (guard - size) & ~(uintptr_t)(alignment - 1);
    memset(mapping, MV_LEFT_PATTERN, user - base);
    memset((void *)(user + size), MV_RIGHT_PATTERN, guard - user - size);
    /* Fresh mappings are zero already. */
    if (!zero && cs_settings.fill_new)
        memset((void *)user, MV_NEW_PATTERN, size);
    struct mv_block block = {
        .user = user,
        .base = mapping,
        .size = size,
        .left = (uint32_t)(user - base),
        .right = (uint32_t)(guard - user - size),
        .alloc_stack = cs_capture_id(),
        .family = (uint8_t)family,
        .state = MV_LIVE,
        .guarded = 1,
    };
    if (!mv_registry_insert(&block)) {
        munmap(mapping, data + PAGE);
        put_slot((size_t)slot);
        return NULL;
    }
    struct guarded *entry = &table[slot];
    entry->end = guard + PAGE;
    entry->guard = guard;
    entry->user = user;
    atomic_store_explicit(&entry->base, base, memory_order_release);
    return (void *)user;
}

static uintptr_t guard_of(const struct mv_block *block)
{
    return block->user + block->size + block->right;
}

void mv_guard_retire(const struct mv_block *block)
{
    uintptr_t base = (uintptr_t)block->base;
    size_t length = guard_of(block) - base;
    /* The contents are dead: give the memory back, keep the addresses. */
    madvise(block->base, length, MADV_DONTNEED);
    mprotect(block->base, length, PROT_NONE);
}

void mv_guard_release(const struct mv_block *block)
{
    uintptr_t base = (uintptr_t)block->base;
    for (size_t slot = 0; slot < table_high; ++slot) {
        if (atomic_load_explicit(&table[slot].base, memory_order_acquire) == base) {
            atomic_store_explicit(&table[slot].base, 0, memory_order_release);
            put_slot(slot);
            break;
        }
    }
    munmap(block->base, guard_of(block) + PAGE - base);
}

int mv_guard_find(uintptr_t address, struct mv_block *out, uintptr_t *guard_start)
{
    if (atomic_load_explicit(&table_state, memory_order_acquire) != 2)
        return 0;
    size_t high = __atomic_load_n(&table_high, __ATOMIC_ACQUIRE);
    for (size_t slot = 0; slot < high; ++slot) {
        const struct guarded *entry = &table[slot];
        uintptr_t base = atomic_load_explicit(&entry->base, memory_order_acquire);
        if (base == 0 || address < base || address >= entry->end)
            continue;
        *guard_start = entry->guard;
        return mv_registry_get(entry->user, out);
    }
    return 0;
}

uint64_t mv_guard_fallbacks(void)
{
    return atomic_load(&fallbacks);
}
