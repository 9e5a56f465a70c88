/* What happens around every real lock call, whatever the kind of lock: the
 * orders a blocking acquisition adds to the graph, the thread's held set,
 * and the errors a release, a destroy, a free or a thread's end reveal. */
#include "vek.h"

#include <errno.h>

static uint32_t seen_slot(uintptr_t from, uintptr_t to)
{
    uint64_t h = ((uint64_t)from * 0x9e3779b97f4a7c15ull) ^ ((uint64_t)to * 0xc2b2ae3d27d4eb4full);
    return (uint32_t)(h >> 58) % VEK_EDGE_CACHE;
}

struct vek_site vek_site_here(uintptr_t pc)
{
    int saved_errno = errno;
    ++cs_in_runtime;
    struct vek_site site = {.pc = pc, .stack = cs_capture_id()};
    --cs_in_runtime;
    errno = saved_errno;
    return site;
}

void vek_before_acquire(uintptr_t addr, enum vek_lock_kind kind, struct vek_site site)
{
    struct vek_thread *self = vek_self();
    if (self == NULL)
        return;
    uint32_t count = atomic_load_explicit(&self->count, memory_order_relaxed);
    /* Taking a lock again that this thread holds (a recursive mutex, another
     * read lock) cannot wait for anyone, so it orders nothing. */
    if (count == 0 || vek_find_held(self, addr) != NULL)
        return;
    uint64_t epoch = vek_graph_epoch();
    for (uint32_t i = 0; i < count; ++i) {
        const struct vek_held *held = &self->held[i];
        struct vek_edge_seen *seen = &self->seen[seen_slot(held->addr, addr)];
        if (seen->from == held->addr && seen->to == addr && seen->epoch == epoch)
            continue;
        int saved_errno = errno;
        ++cs_in_runtime;
        vek_graph_add_order(held->addr, held->kind, addr, kind, site);
        --cs_in_runtime;
        errno = saved_errno;
        *seen = (struct vek_edge_seen){.from = held->addr, .to = addr, .epoch = epoch};
    }
}

void vek_after_acquire(uintptr_t addr, enum vek_lock_kind kind, enum vek_mode mode, struct vek_site site)
{
    struct vek_thread *self = vek_self();
    if (self != NULL)
        vek_push_held(self, addr, kind, mode, site);
}

struct holder_search {
    uintptr_t addr;
    struct vek_thread *holder;
    struct vek_site acquired;
};

static void note_holder(struct vek_thread *holder, struct vek_held *held, void *arg)
{
    struct holder_search *search = arg;
    if (held->addr == search->addr && search->holder == NULL) {
        search->holder = holder;
        search->acquired = held->acquired;
    }
}

static struct holder_search find_holder(uintptr_t addr)
{
    struct holder_search search = {.addr = addr};
    vek_for_each_held_in(addr, addr + 1, note_holder, &search);
    return search;
}

void vek_before_release(uintptr_t addr, enum vek_lock_kind kind)
{
    struct vek_thread *self = vek_self();
    if (self == NULL)
        return;
    struct vek_held *entry = vek_find_held(self, addr);
    if (entry != NULL) {
        vek_drop_held(self, entry);
        return;
    }
    /* Past the held set's capacity we no longer know what this thread holds. */
    if (self->overflowed)
        return;
    struct holder_search search = find_holder(addr);
    char detail[96];
    struct ryn_out out;
    ryn_out_init(&out, -1, detail, sizeof detail);
    ryn_out_str(&out, "unlocked by thread ");
    ryn_out_dec(&out, self->tid);
    if (search.holder != NULL) {
        ryn_out_str(&out, " while thread ");
        ryn_out_dec(&out, search.holder->tid);
        ryn_out_str(&out, " holds it");
    } else {
        ryn_out_str(&out, ", which does not hold it");
    }
    ryn_out_text(&out);
    vek_report_lock_error(VEK_UNLOCK_NOT_HELD, addr, kind, detail, 1, search.acquired);
}

void vek_before_destroy(uintptr_t addr, enum vek_lock_kind kind)
{
    struct holder_search search = find_holder(addr);
    if (search.holder == NULL)
        return;
    char detail[64];
    struct ryn_out out;
    ryn_out_init(&out, -1, detail, sizeof detail);
    ryn_out_str(&out, "destroyed while thread ");
    ryn_out_dec(&out, search.holder->tid);
    ryn_out_str(&out, " holds it");
    ryn_out_text(&out);
    vek_report_lock_error(VEK_DESTROY_HELD_LOCK, addr, kind, detail, 1, search.acquired);
}

void vek_after_destroy(uintptr_t addr)
{
    struct vek_thread *self = vek_self_if_any();
    struct vek_held *entry = self ? vek_find_held(self, addr) : NULL;
    if (entry != NULL) {
        entry->depth = 1;
        vek_drop_held(self, entry);
    }
    vek_graph_forget(addr);
}

struct free_check {
    uintptr_t block;
    size_t size;
};

static void report_freed_held(struct vek_thread *holder, struct vek_held *held, void *arg)
{
    const struct free_check *check = arg;
    char detail[128];
    struct ryn_out out;
    ryn_out_init(&out, -1, detail, sizeof detail);
    ryn_out_str(&out, "held by thread ");
    ryn_out_dec(&out, holder->tid);
    ryn_out_str(&out, ", inside the block ");
    ryn_out_hex(&out, check->block);
    ryn_out_str(&out, " of ");
    ryn_out_udec(&out, check->size);
    ryn_out_str(&out, " bytes being freed");
    ryn_out_text(&out);
    vek_report_lock_error(VEK_FREE_HELD_LOCK, held->addr, (enum vek_lock_kind)held->kind, detail, 1, held->acquired);
}

void vek_before_free(void *ptr)
{
    /* Most frees happen far from any lock: keep them cheap. */
    if (vek_graph_empty() && !vek_any_held())
        return;
    uintptr_t low = (uintptr_t)ptr;
    size_t size = vek_real.malloc_usable_size ? vek_real.malloc_usable_size(ptr) : 1;
    struct free_check check = {.block = low, .size = size};
    vek_for_each_held_in(low, low + size, report_freed_held, &check);
    /* This thread's own entries go: the memory may hold anything next. */
    struct vek_thread *self = vek_self_if_any();
    if (self != NULL) {
        for (uint32_t i = atomic_load(&self->count); i-- > 0;) {
            struct vek_held *held = &self->held[i];
            if (held->addr >= low && held->addr < low + size) {
                held->depth = 1;
                vek_drop_held(self, held);
            }
        }
    }
    vek_graph_forget_range(low, low + size);
}

void vek_thread_ending(struct vek_thread *self)
{
    uint32_t count = atomic_load(&self->count);
    for (uint32_t i = 0; i < count; ++i) {
        const struct vek_held *held = &self->held[i];
        char detail[64];
        struct ryn_out out;
        ryn_out_init(&out, -1, detail, sizeof detail);
        ryn_out_str(&out, "held by thread ");
        ryn_out_dec(&out, self->tid);
        ryn_out_str(&out, " when it ended");
        ryn_out_text(&out);
        /* The thread is gone: where it took the lock is what tells. */
        vek_report_lock_error(VEK_EXIT_HOLDING_LOCK, held->addr, (enum vek_lock_kind)held->kind, detail, 0,
                              held->acquired);
    }
}
