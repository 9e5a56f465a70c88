/* The acquired-before graph: an edge A -> B says some thread acquired B
 * while holding A. A new edge that closes a cycle means the locks can be
 * taken in orders that deadlock, and is reported when it is added, before
 * any thread has to wait for another.
 *
 * The nodes keep a topological order (each ordering edge goes from a lower
 * `ord` to a higher one), so that an edge agreeing with it, as nearly every
 * edge of a program that locks consistently does, is added without a walk;
 * an edge against it walks only the nodes between its two ends and then
 * reorders them. An edge that closes a cycle is kept, marked, out of the
 * order: it is known, so it is not reported again. */
#include "graph_store.h"

#define MAX_CYCLE 16

static pthread_mutex_t graph_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_once_t init_once = PTHREAD_ONCE_INIT;
static int ready;
static uint32_t visit_stamp;

static void init_graph(void)
{
    ready = vek_store_init();
}

static void lock_graph(void)
{
    vek_real.mutex_lock(&graph_lock);
}

static void unlock_graph(void)
{
    vek_real.mutex_unlock(&graph_lock);
}

static void new_walk(void)
{
    if (++visit_stamp == 0) {
        for (uint32_t n = 1; n < vek_nodes_used; ++n)
            vek_nodes[n].visit = 0;
        visit_stamp = 1;
    }
}

/* Walks ordering edges forward from `start` through nodes ordered before
 * `goal`. Returns 1 when `goal` is reached (its via_edge chain is the path);
 * else the nodes reached are in `reached`, `*count` of them. */
static int walk_forward(uint32_t start, uint32_t goal, uint32_t *reached, uint32_t *count)
{
    uint32_t *stack = vek_store_scratch(2);
    new_walk();
    uint32_t depth = 0, found = 0;
    stack[depth++] = start;
    vek_nodes[start].visit = visit_stamp;
    vek_nodes[start].via_edge = 0;
    while (depth > 0) {
        uint32_t n = stack[--depth];
        reached[found++] = n;
        for (uint32_t *link = &vek_nodes[n].first_out; vek_live_out(link) != 0; link = &vek_edges[*link].next_out) {
            uint32_t e = *link, to = vek_edges[e].to;
            if ((vek_edges[e].flags & VEK_EDGE_CYCLIC) || vek_nodes[to].visit == visit_stamp)
                continue;
            vek_nodes[to].via_edge = e;
            if (to == goal)
                return 1;
            if (vek_nodes[to].ord > vek_nodes[goal].ord)
                continue;
            vek_nodes[to].visit = visit_stamp;
            stack[depth++] = to;
        }
    }
    *count = found;
    return 0;
}

/* Walks ordering edges backward from `start` through nodes ordered after
 * `floor`; returns how many it put in `reached`. */
static uint32_t walk_backward(uint32_t start, uint64_t floor, uint32_t *reached)
{
    uint32_t *stack = vek_store_scratch(2);
    new_walk();
    uint32_t depth = 0, found = 0;
    stack[depth++] = start;
    vek_nodes[start].visit = visit_stamp;
    while (depth > 0) {
        uint32_t n = stack[--depth];
        reached[found++] = n;
        for (uint32_t *link = &vek_nodes[n].first_in; vek_live_in(link) != 0; link = &vek_edges[*link].next_in) {
            uint32_t e = *link, from = vek_edges[e].from;
            if ((vek_edges[e].flags & VEK_EDGE_CYCLIC) || vek_nodes[from].visit == visit_stamp ||
                vek_nodes[from].ord <= floor)
                continue;
            vek_nodes[from].visit = visit_stamp;
            stack[depth++] = from;
        }
    }
    return found;
}

/* Shell sorts: the sets are small and these need no memory. */
static void sort_by_ord(uint32_t *set, uint32_t count)
{
    for (uint32_t gap = count / 2; gap > 0; gap /= 2)
        for (uint32_t i = gap; i < count; ++i)
            for (uint32_t j = i; j >= gap && vek_nodes[set[j - gap]].ord > vek_nodes[set[j]].ord; j -= gap) {
                uint32_t t = set[j];
                set[j] = set[j - gap];
                set[j - gap] = t;
            }
}

static void sort_ords(uint64_t *ords, uint32_t count)
{
    for (uint32_t gap = count / 2; gap > 0; gap /= 2)
        for (uint32_t i = gap; i < count; ++i)
            for (uint32_t j = i; j >= gap && ords[j - gap] > ords[j]; j -= gap) {
                uint64_t t = ords[j];
                ords[j] = ords[j - gap];
                ords[j - gap] = t;
            }
}

/* After an edge to a node ordered earlier: the nodes that reach the edge's
 * start go before the nodes its end reaches, in the places both sets held. */
static void reorder(uint32_t *backward, uint32_t backward_count, uint32_t *forward, uint32_t forward_count)
{
    uint64_t *pool = vek_store_ord_scratch();
    uint32_t total = 0;
    for (uint32_t i = 0; i < backward_count; ++i)
        pool[total++] = vek_nodes[backward[i]].ord;
    for (uint32_t i = 0; i < forward_count; ++i)
        pool[total++] = vek_nodes[forward[i]].ord;
    sort_ords(pool, total);
    sort_by_ord(backward, backward_count);
    sort_by_ord(forward, forward_count);
    uint32_t next = 0;
    for (uint32_t i = 0; i < backward_count; ++i)
        vek_nodes[backward[i]].ord = pool[next++];
    for (uint32_t i = 0; i < forward_count; ++i)
        vek_nodes[forward[i]].ord = pool[next++];
}

static struct vek_order order_of(uint32_t e)
{
    const struct vek_edge *edge = &vek_edges[e];
    return (struct vek_order){.from = vek_nodes[edge->from].addr,
                              .from_kind = vek_nodes[edge->from].kind,
                              .to = vek_nodes[edge->to].addr,
                              .to_kind = vek_nodes[edge->to].kind,
                              .site = edge->site};
}

/* Copies the cycle out of the graph, to be reported once its lock is let go:
 * symbolising may take an allocator's locks, which a thread waiting for the
 * graph could hold. */
static int copy_cycle(uint32_t closing, uint32_t goal, struct vek_order *orders)
{
    int count = 0;
    orders[count++] = order_of(closing);
    /* The walk's chain runs from the goal back to the closing edge's end. */
    uint32_t path[MAX_CYCLE];
    int length = 0;
    for (uint32_t e = vek_nodes[goal].via_edge; e != 0 && length < MAX_CYCLE - 1;
         e = vek_nodes[vek_edges[e].from].via_edge)
        path[length++] = e;
    for (int i = length; i-- > 0;)
        orders[count++] = order_of(path[i]);
    return count;
}

int vek_graph_add_order(uintptr_t from, enum vek_lock_kind from_kind, uintptr_t to, enum vek_lock_kind to_kind,
                        struct vek_site site)
{
    pthread_once(&init_once, init_graph);
    if (!ready || from == to)
        return 0;
    struct vek_order cycle[MAX_CYCLE];
    int cycle_length = 0;
    lock_graph();
    uint32_t a = vek_add_node(from, from_kind);
    uint32_t b = vek_add_node(to, to_kind);
    if (a != 0 && b != 0 && vek_find_edge(a, b) == 0 && vek_edge_room()) {
        if (vek_nodes[a].ord < vek_nodes[b].ord) {
            vek_link_edge(a, b, site, 0);
        } else {
            uint32_t *forward = vek_store_scratch(0), *backward = vek_store_scratch(1);
            uint32_t forward_count = 0;
            if (walk_forward(b, a, forward, &forward_count)) {
                cycle_length = copy_cycle(vek_link_edge(a, b, site, VEK_EDGE_CYCLIC), a, cycle);
            } else {
                reorder(backward, walk_backward(a, vek_nodes[b].ord, backward), forward, forward_count);
                vek_link_edge(a, b, site, 0);
            }
        }
    }
    unlock_graph();
    if (cycle_length > 0)
        vek_report_inversion(cycle, cycle_length);
    return cycle_length > 0;
}

void vek_graph_forget(uintptr_t addr)
{
    vek_graph_forget_range(addr, addr + 1);
}

void vek_graph_forget_range(uintptr_t low, uintptr_t high)
{
    if (!vek_store_may_hold(low, high))
        return;
    lock_graph();
    /* Look up each place a lock could start, or go through the nodes when
     * that is shorter. Spinlocks need only 4-byte alignment. */
    uintptr_t first = (low + 3) & ~(uintptr_t)3;
    if ((high - first) / 4 < vek_nodes_used) {
        for (uintptr_t addr = first; addr < high; addr += 4) {
            uint32_t n = vek_find_node(addr);
            if (n != 0)
                vek_remove_node(n);
        }
    } else {
        for (uint32_t n = 1; n < vek_nodes_used; ++n)
            if (vek_nodes[n].live && vek_nodes[n].addr >= low && vek_nodes[n].addr < high)
                vek_remove_node(n);
    }
    unlock_graph();
}

void vek_graph_lock_for_fork(void)
{
    lock_graph();
}

void vek_graph_unlock_after_fork(void)
{
    unlock_graph();
}
