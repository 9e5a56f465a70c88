/* Each thread's set of held locks. The records sit in one table mapped at
 * start, so a thread freeing memory can look at the locks every other thread
 * holds, and a record outlives nothing: a thread that ends gives its record
 * back for the next thread to use. */
#include "vek.h"

#include <stdatomic.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#define MAX_THREADS 4096

static struct vek_thread *table;
static _Atomic size_t high_water; /* records ever handed out */
static pthread_key_t end_key;
static pthread_once_t init_once = PTHREAD_ONCE_INIT;
static __thread struct vek_thread *self VEK_TLS;
/* A thread that finds the table full keeps a private record nobody else
 * sees: its own checks still work. */
static __thread struct vek_thread *private_record VEK_TLS;

static void on_thread_end(void *value)
{
    struct vek_thread *record = value;
    if (record == NULL || record != self)
        return;
    vek_thread_ending(record);
    self = NULL;
    atomic_store(&record->count, 0);
    record->overflowed = 0;
    if (record != private_record)
        atomic_store_explicit(&record->in_use, 0, memory_order_release);
}

void vek_threads_after_fork_in_child(void)
{
    size_t used = atomic_load(&high_water);
    for (size_t i = 0; i < used; ++i) {
        struct vek_thread *record = &table[i];
        if (record != self && atomic_load(&record->in_use)) {
            atomic_store(&record->count, 0);
            atomic_store(&record->in_use, 0);
        }
    }
}

static void init_threads(void)
{
    int was_busy = cs_in_runtime;
    cs_in_runtime = 1;
    void *mapped = mmap(NULL, MAX_THREADS * sizeof(struct vek_thread), PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    table = mapped == MAP_FAILED ? NULL : mapped;
    pthread_key_create(&end_key, on_thread_end);
    cs_in_runtime = was_busy;
}

void vek_threads_init(void)
{
    pthread_once(&init_once, init_threads);
}

static struct vek_thread *take_record(void)
{
    /* Every record, new ones too, is claimed by the one exchange on its
     * in_use: a thread scanning while another grows the table may reach the
     * new record first, and two threads must never share one. */
    for (size_t used = atomic_load(&high_water); table != NULL && used <= MAX_THREADS;) {
        for (size_t i = 0; i < used; ++i) {
            int expected = 0;
            if (atomic_compare_exchange_strong(&table[i].in_use, &expected, 1))
                return &table[i];
        }
        if (used == MAX_THREADS)
            break;
        /* One more record, then scan again; if another thread grew the
         * table meanwhile, the exchange fails and `used` is the new size. */
        if (atomic_compare_exchange_strong(&high_water, &used, used + 1))
            ++used;
    }
    if (private_record == NULL) {
        void *mapped =
            mmap(NULL, sizeof(struct vek_thread), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED)
            return NULL;
        private_record = mapped;
    }
    return private_record;
}

struct vek_thread *vek_self_if_any(void)
{
    return self;
}

struct vek_thread *vek_self(void)
{
    if (self != NULL)
        return self;
    vek_threads_init();
    struct vek_thread *record = take_record();
    if (record == NULL)
        return NULL;
    atomic_store(&record->count, 0);
    record->overflowed = 0;
    record->tid = gettid();
    memset(record->seen, 0, sizeof record->seen);
    self = record;
    /* The key's destructor tells us when this thread ends, however it ends. */
    pthread_setspecific(end_key, record);
    return record;
}

struct vek_held *vek_find_held(struct vek_thread *record, uintptr_t addr)
{
    uint32_t count = atomic_load_explicit(&record->count, memory_order_relaxed);
    for (uint32_t i = count; i-- > 0;)
        if (record->held[i].addr == addr)
            return &record->held[i];
    return NULL;
}

void vek_push_held(struct vek_thread *record, uintptr_t addr, enum vek_lock_kind kind, enum vek_mode mode,
                   struct vek_site site)
{
    struct vek_held *entry = vek_find_held(record, addr);
    if (entry != NULL) {
        ++entry->depth;
        return;
    }
    uint32_t count = atomic_load_explicit(&record->count, memory_order_relaxed);
    if (count == VEK_MAX_HELD) {
        record->overflowed = 1;
        return;
    }
    entry = &record->held[count];
    entry->addr = addr;
    entry->depth = 1;
    entry->kind = (uint8_t)kind;
    entry->mode = (uint8_t)mode;
    entry->acquired = site;
    /* Publish the entry before the count, for frees in other threads. */
    atomic_store_explicit(&record->count, count + 1, memory_order_release);
}

void vek_drop_held(struct vek_thread *record, struct vek_held *entry)
{
    if (--entry->depth > 0)
        return;
    /* Keep acquisition order: the last entries are the likeliest to go. */
    uint32_t count = atomic_load_explicit(&record->count, memory_order_relaxed);
    struct vek_held *end = &record->held[count - 1];
    for (struct vek_held *p = entry; p < end; ++p)
        p[0] = p[1];
    atomic_store_explicit(&record->count, count - 1, memory_order_release);
}

int vek_any_held(void)
{
    if (self != NULL && atomic_load_explicit(&self->count, memory_order_relaxed) != 0)
        return 1;
    size_t used = table ? atomic_load(&high_water) : 0;
    for (size_t t = 0; t < used && t < MAX_THREADS; ++t)
        if (atomic_load_explicit(&table[t].count, memory_order_relaxed) != 0)
            return 1;
    return 0;
}

void vek_for_each_held_in(uintptr_t low, uintptr_t high,
                          void (*visit)(struct vek_thread *holder, struct vek_held *held, void *arg), void *arg)
{
    if (self != NULL && self == private_record) {
        uint32_t count = atomic_load(&self->count);
        for (uint32_t i = 0; i < count; ++i)
            if (self->held[i].addr >= low && self->held[i].addr < high)
                visit(self, &self->held[i], arg);
    }
    if (table == NULL)
        return;
    size_t used = atomic_load(&high_water);
    for (size_t t = 0; t < used && t < MAX_THREADS; ++t) {
        struct vek_thread *record = &table[t];
        uint32_t count = atomic_load_explicit(&record->count, memory_order_acquire);
        if (count == 0 || !atomic_load_explicit(&record->in_use, memory_order_relaxed))
            continue;
        for (uint32_t i = 0; i < count && i < VEK_MAX_HELD; ++i) {
            uintptr_t addr = __atomic_load_n(&record->held[i].addr, __ATOMIC_RELAXED);
            if (addr >= low && addr < high)
                visit(record, &record->held[i], arg);
        }
    }
}
