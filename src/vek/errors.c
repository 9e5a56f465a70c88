/* The thread checker's errors: each distinct one is handed once to the
 * shared report sinks, which count it, apply the run's limits and print it.
 * Texts are built in static buffers under our own lock, without stdio. */
#include "vek.h"
#include "cs_lock.h"

#include <errno.h>
#include <stdatomic.h>

#define SEEN_SLOTS (1u << 16)

static const char *const error_names[VEK_ERROR_KINDS] = {
    "lock-order-inversion", "unlock-not-held", "destroy-held-lock", "free-held-lock", "exit-holding-lock",
};

static cs_lock_t errors_lock;
static uint64_t *seen; /* keys of the errors reported so far, 0 when empty */
static uint32_t seen_count;
static char description[512];
static char titles[CS_MAX_STACKS][160];

const char *vek_kind_name(enum vek_lock_kind kind)
{
    switch (kind) {
    case VEK_RWLOCK: return "rwlock";
    case VEK_SPINLOCK: return "spinlock";
    default: return "mutex";
    }
}

static uint64_t mix(uint64_t h, uint64_t value)
{
    h ^= value + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
    return h * 0xff51afd7ed558ccdull;
}

/* True the first time a key is seen. A full table stops new reports rather
 * than repeating old ones. */
static int first_time(uint64_t key)
{
    if (key == 0)
        key = 1;
    if (seen == NULL) {
        seen = cs_map(SEEN_SLOTS * sizeof *seen);
        if (seen == NULL)
            return 0;
    }
    if (seen_count >= SEEN_SLOTS / 2)
        return 0;
    for (uint32_t s = (uint32_t)(key >> 32) % SEEN_SLOTS;; s = (s + 1) % SEEN_SLOTS) {
        if (seen[s] == key)
            return 0;
        if (seen[s] == 0) {
            seen[s] = key;
            ++seen_count;
            return 1;
        }
    }
}

static uint32_t stack_of_site(struct vek_site site)
{
    if (site.stack != 0)
        return site.stack;
    return site.pc != 0 ? cs_depot_put(&site.pc, 1) : 0;
}

static void describe_lock(struct ryn_out *out, uint8_t kind, uintptr_t addr)
{
    ryn_out_str(out, vek_kind_name((enum vek_lock_kind)kind));
    ryn_out_char(out, ' ');
    ryn_out_hex(out, addr);
}

static void order_title(char *buffer, size_t size, const struct vek_order *order)
{
    struct ryn_out out;
    ryn_out_init(&out, -1, buffer, size);
    ryn_out_str(&out, "acquired ");
    describe_lock(&out, order->to_kind, order->to);
    ryn_out_str(&out, " while holding ");
    describe_lock(&out, order->from_kind, order->from);
    ryn_out_str(&out, " at");
    ryn_out_text(&out);
}

void vek_report_inversion(const struct vek_order *orders, int count)
{
    int saved_errno = errno;
    ++cs_in_runtime;
    cs_lock(&errors_lock);
    uint64_t key = mix(0, VEK_LOCK_ORDER_INVERSION);
    for (int i = 0; i < count; ++i)
        key = mix(key, orders[i].site.stack ? orders[i].site.stack : orders[i].site.pc);
    if (first_time(key)) {
        struct ryn_out out;
        ryn_out_init(&out, -1, description, sizeof description);
        describe_lock(&out, orders[0].to_kind, orders[0].to);
        ryn_out_str(&out, " acquired while holding ");
        describe_lock(&out, orders[0].from_kind, orders[0].from);
        if (count == 2) {
            ryn_out_str(&out, ", the reverse of an earlier order: the two can deadlock");
        } else {
            ryn_out_str(&out, " closes a cycle of ");
            ryn_out_udec(&out, (uint64_t)count);
            ryn_out_str(&out, " lock orders that can deadlock");
        }
        ryn_out_text(&out);
        struct cs_error error = {.kind = error_names[VEK_LOCK_ORDER_INVERSION], .description = description};
        /* The order that closed the cycle is the faulting stack; the earlier
         * orders follow, as many as a report holds. */
        for (int i = 0; i < count && error.stack_count < CS_MAX_STACKS; ++i) {
            int s = error.stack_count++;
            error.stacks[s].id = stack_of_site(orders[i].site);
            if (i == 0) {
                error.stacks[s].title = NULL;
            } else {
                order_title(titles[s], sizeof titles[s], &orders[i]);
                error.stacks[s].title = titles[s];
            }
        }
        cs_report(&error);
    }
    cs_unlock(&errors_lock);
    --cs_in_runtime;
    errno = saved_errno;
}

void vek_report_lock_error(enum vek_error_kind kind, uintptr_t lock, enum vek_lock_kind lock_kind, const char *detail,
                           int now, struct vek_site acquired)
{
    int saved_errno = errno;
    ++cs_in_runtime;
    uint32_t where = now ? cs_capture_id() : stack_of_site(acquired);
    cs_lock(&errors_lock);
    if (first_time(mix(mix(0, kind), where))) {
        struct ryn_out out;
        ryn_out_init(&out, -1, description, sizeof description);
        describe_lock(&out, (uint8_t)lock_kind, lock);
        ryn_out_char(&out, ' ');
        ryn_out_str(&out, detail);
        ryn_out_text(&out);
        struct cs_error error = {.kind = error_names[kind], .description = description, .stack_count = 1};
        error.stacks[0].id = where;
        if (now && acquired.pc != 0) {
            error.stacks[1].title = "acquired at";
            error.stacks[1].id = stack_of_site(acquired);
            error.stack_count = 2;
        }
        cs_report(&error);
    }
    cs_unlock(&errors_lock);
    --cs_in_runtime;
    errno = saved_errno;
}

int vek_finish_reports(void)
{
    static struct cs_leak_totals no_leaks;
    cs_finish_reports(&no_leaks);
    struct cs_counts counts;
    cs_get_counts(&counts);
    return counts.errors > 0;
}

/* Fork with no report half written: the child must be able to report too. */
void vek_errors_before_fork(void)
{
    cs_lock(&errors_lock);
    cs_report_before_fork();
    cs_depot_before_fork();
}

void vek_errors_after_fork(int in_child)
{
    cs_depot_after_fork();
    cs_report_after_fork(in_child);
    cs_unlock(&errors_lock);
}
