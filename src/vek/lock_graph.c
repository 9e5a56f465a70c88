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
 * order: it is known, so it is not reported again.
 *
 * Nodes and edges live in arrays reserved with mmap at first use. A lock
 * that is destroyed or freed leaves the graph: its edges are marked dead,
 * each is unlinked from the other end's list when a walk comes across it,
 * and the slots are reused once nothing links to them. */
#include "vek.h"

#include <stdatomic.h>
#include <string.h>
#include <sys/mman.h>

#define MAX_NODES (1u << 18)
#define MAX_EDGES (1u << 20)
#define HASH_SLOTS (1u << 19) /* twice MAX_NODES: probes stay short */
#define EDGE_SLOTS (1u << 21) /* twice MAX_EDGES */
#define PAGE_FILTER_BITS (1u << 16)
#define MAX_CYCLE 16

struct node {
    uintptr_t addr;
    uint64_t ord; /* every ordering edge goes from a lower ord to a higher */
    uint32_t first_out, first_in;
    uint32_t visit;
    uint32_t via_edge; /* during a walk: the edge that reached this node */
    uint32_t next_free;
    uint8_t kind;
    uint8_t live;
};

enum { EDGE_DEAD = 1, EDGE_CYCLIC = 2 };

struct edge {
    uint32_t from, to;
    uint32_t next_out, next_in;
    uint8_t flags;
    uint8_t links; /* lists still holding the edge; its slot is free at 0 */
    struct vek_site site;
};

static pthread_mutex_t graph_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_once_t init_once = PTHREAD_ONCE_INIT;
static struct node *nodes;  /* index 0 is never used */
static struct edge *edges;  /* index 0 is never used */
static uint32_t *slots;      /* address hash: node index, 0 when empty */
static uint32_t *edge_slots; /* (from, to) hash of the live edges */
static uint32_t *walk_stack, *forward_set, *backward_set;
static uint64_t *ord_pool;
static uint32_t nodes_used = 1, edges_used = 1;
static uint32_t free_nodes, free_edges;
static uint32_t visit_stamp;
static uint64_t next_ord = 1;
static _Atomic uint64_t epoch = 1;
static _Atomic uint32_t live_nodes;
/* One bit per hashed page that holds a lock of the graph, so that a free
 * far from every lock costs a load or two. Bits are never cleared. */
static _Atomic uint64_t page_filter[PAGE_FILTER_BITS / 64];

static void *reserve(size_t bytes)
{
    void *p = mmap(NULL, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return p == MAP_FAILED ? NULL : p;
}

static void init_graph(void)
{
    nodes = reserve(MAX_NODES * sizeof *nodes);
    edges = reserve(MAX_EDGES * sizeof *edges);
    slots = reserve(HASH_SLOTS * sizeof *slots);
    edge_slots = reserve(EDGE_SLOTS * sizeof *edge_slots);
    walk_stack = reserve(MAX_NODES * sizeof *walk_stack);
    forward_set = reserve(MAX_NODES * sizeof *forward_set);
    backward_set = reserve(MAX_NODES * sizeof *backward_set);
    ord_pool = reserve(MAX_NODES * sizeof *ord_pool);
    if (!nodes || !edges || !slots || !edge_slots || !walk_stack || !forward_set || !backward_set || !ord_pool)
        nodes = NULL;
}

static uint32_t hash_addr(uintptr_t addr)
{
    uint64_t h = (uint64_t)addr * 0x9e3779b97f4a7c15ull;
    return (uint32_t)(h >> 40);
}

static uint32_t page_bit(uintptr_t addr)
{
    return hash_addr(addr >> 12) % PAGE_FILTER_BITS;
}

static void lock_graph(void)
{
    vek_real.mutex_lock(&graph_lock);
}

static void unlock_graph(void)
{
    vek_real.mutex_unlock(&graph_lock);
}

static uint32_t find_node(uintptr_t addr)
{
    for (uint32_t s = hash_addr(addr) % HASH_SLOTS;; s = (s + 1) % HASH_SLOTS) {
        uint32_t n = slots[s];
        if (n == 0 || nodes[n].addr == addr)
            return n;
    }
}

static uint32_t add_node(uintptr_t addr, enum vek_lock_kind kind)
{
    uint32_t n = find_node(addr);
    if (n != 0)
        return n;
    if (free_nodes != 0) {
        n = free_nodes;
        free_nodes = nodes[n].next_free;
    } else if (nodes_used < MAX_NODES) {
        n = nodes_used++;
    } else {
        return 0;
    }
    /* Newest last in the order: edges into it agree with the order. */
    nodes[n] = (struct node){.addr = addr, .ord = next_ord++, .kind = (uint8_t)kind, .live = 1};
    uint32_t s = hash_addr(addr) % HASH_SLOTS;
    while (slots[s] != 0)
        s = (s + 1) % HASH_SLOTS;
    slots[s] = n;
    atomic_fetch_or(&page_filter[page_bit(addr) / 64], 1ull << (page_bit(addr) % 64));
    atomic_fetch_add(&live_nodes, 1);
    return n;
}

/* Linear probing with backward shift: no tombstones to pile up. */
static void unhash(uint32_t n)
{
    uint32_t s = hash_addr(nodes[n].addr) % HASH_SLOTS;
    while (slots[s] != n)
        s = (s + 1) % HASH_SLOTS;
    for (uint32_t next = (s + 1) % HASH_SLOTS; slots[next] != 0; next = (next + 1) % HASH_SLOTS) {
        uint32_t home = hash_addr(nodes[slots[next]].addr) % HASH_SLOTS;
        /* Move the entry back when its home does not lie in (s, next]. */
        int stays = s <= next ? (home > s && home <= next) : (home > s || home <= next);
        if (!stays) {
            slots[s] = slots[next];
            s = next;
        }
    }
    slots[s] = 0;
}

static uint32_t edge_home(uint32_t from, uint32_t to)
{
    return hash_addr(((uintptr_t)from << 32) | to) % EDGE_SLOTS;
}

static uint32_t find_edge(uint32_t from, uint32_t to)
{
    for (uint32_t s = edge_home(from, to);; s = (s + 1) % EDGE_SLOTS) {
        uint32_t e = edge_slots[s];
        if (e == 0 || (edges[e].from == from && edges[e].to == to))
            return e;
    }
}

static void hash_edge(uint32_t e)
{
    uint32_t s = edge_home(edges[e].from, edges[e].to);
    while (edge_slots[s] != 0)
        s = (s + 1) % EDGE_SLOTS;
    edge_slots[s] = e;
}

/* Linear probing with backward shift, as for the nodes. */
static void unhash_edge(uint32_t e)
{
    uint32_t s = edge_home(edges[e].from, edges[e].to);
    while (edge_slots[s] != e)
        s = (s + 1) % EDGE_SLOTS;
    for (uint32_t next = (s + 1) % EDGE_SLOTS; edge_slots[next] != 0; next = (next + 1) % EDGE_SLOTS) {
        const struct edge *moved = &edges[edge_slots[next]];
        uint32_t home = edge_home(moved->from, moved->to);
        int stays = s <= next ? (home > s && home <= next) : (home > s || home <= next);
        if (!stays) {
            edge_slots[s] = edge_slots[next];
            s = next;
        }
    }
    edge_slots[s] = 0;
}

/* A dead edge stays in the other end's list until a walk unlinks it. */
static void kill_edge(uint32_t e)
{
    if (!(edges[e].flags & EDGE_DEAD)) {
        unhash_edge(e);
        edges[e].flags |= EDGE_DEAD;
    }
}

static void release_link(uint32_t e)
{
    if (--edges[e].links == 0) {
        edges[e].next_out = free_edges;
        free_edges = e;
    }
}

static void remove_node(uint32_t n)
{
    struct node *node = &nodes[n];
    unhash(n);
    for (uint32_t e = node->first_out, next; e != 0; e = next) {
        next = edges[e].next_out;
        kill_edge(e);
        release_link(e);
    }
    for (uint32_t e = node->first_in, next; e != 0; e = next) {
        next = edges[e].next_in;
        kill_edge(e);
        release_link(e);
    }
    node->first_out = node->first_in = 0;
    node->live = 0;
    node->next_free = free_nodes;
    free_nodes = n;
    atomic_fetch_sub(&live_nodes, 1);
    atomic_fetch_add(&epoch, 1);
}

/* The next live edge from *link on in a node's out-list (or in-list),
 * unlinking dead ones on the way; 0 at the end. */
static uint32_t live_out(uint32_t *link)
{
    while (*link != 0 && (edges[*link].flags & EDGE_DEAD)) {
        uint32_t e = *link;
        *link = edges[e].next_out;
        release_link(e);
    }
    return *link;
}

static uint32_t live_in(uint32_t *link)
{
    while (*link != 0 && (edges[*link].flags & EDGE_DEAD)) {
        uint32_t e = *link;
        *link = edges[e].next_in;
        release_link(e);
    }
    return *link;
}

static void new_walk(void)
{
    if (++visit_stamp == 0) {
        for (uint32_t n = 1; n < nodes_used; ++n)
            nodes[n].visit = 0;
        visit_stamp = 1;
    }
}

/* Walks ordering edges forward from `start` through nodes ordered before
 * `goal`. Returns 1 when `goal` is reached (its via_edge chain is the path);
 * else the nodes reached are in forward_set. */
static int walk_forward(uint32_t start, uint32_t goal, uint32_t *reached)
{
    new_walk();
    uint32_t depth = 0, count = 0;
    walk_stack[depth++] = start;
    nodes[start].visit = visit_stamp;
    nodes[start].via_edge = 0;
    while (depth > 0) {
        uint32_t n = walk_stack[--depth];
        forward_set[count++] = n;
        for (uint32_t *link = &nodes[n].first_out; live_out(link) != 0; link = &edges[*link].next_out) {
            uint32_t e = *link, to = edges[e].to;
            if ((edges[e].flags & EDGE_CYCLIC) || nodes[to].visit == visit_stamp)
                continue;
            nodes[to].via_edge = e;
            if (to == goal)
                return 1;
            if (nodes[to].ord > nodes[goal].ord)
                continue;
            nodes[to].visit = visit_stamp;
            walk_stack[depth++] = to;
        }
    }
    *reached = count;
    return 0;
}

/* Walks ordering edges backward from `start` through nodes ordered after
 * `floor`; the nodes reached are in backward_set. */
static uint32_t walk_backward(uint32_t start, uint64_t floor)
{
    new_walk();
    uint32_t depth = 0, count = 0;
    walk_stack[depth++] = start;
    nodes[start].visit = visit_stamp;
    while (depth > 0) {
        uint32_t n = walk_stack[--depth];
        backward_set[count++] = n;
        for (uint32_t *link = &nodes[n].first_in; live_in(link) != 0; link = &edges[*link].next_in) {
            uint32_t e = *link, from = edges[e].from;
            if ((edges[e].flags & EDGE_CYCLIC) || nodes[from].visit == visit_stamp || nodes[from].ord <= floor)
                continue;
            nodes[from].visit = visit_stamp;
            walk_stack[depth++] = from;
        }
    }
    return count;
}

/* Shell sort: the sets are small and this needs no memory. */
static void sort_by_ord(uint32_t *set, uint32_t count)
{
    for (uint32_t gap = count / 2; gap > 0; gap /= 2)
        for (uint32_t i = gap; i < count; ++i)
            for (uint32_t j = i; j >= gap && nodes[set[j - gap]].ord > nodes[set[j]].ord; j -= gap) {
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

/* After an edge from `from` to an earlier `to`: the nodes that reach `from`
 * go before the nodes `to` reaches, in the places both sets held. */
static void reorder(uint32_t forward_count, uint32_t backward_count)
{
    uint32_t total = 0;
    for (uint32_t i = 0; i < backward_count; ++i)
        ord_pool[total++] = nodes[backward_set[i]].ord;
    for (uint32_t i = 0; i < forward_count; ++i)
        ord_pool[total++] = nodes[forward_set[i]].ord;
    sort_ords(ord_pool, total);
    sort_by_ord(backward_set, backward_count);
    sort_by_ord(forward_set, forward_count);
    uint32_t next = 0;
    for (uint32_t i = 0; i < backward_count; ++i)
        nodes[backward_set[i]].ord = ord_pool[next++];
    for (uint32_t i = 0; i < forward_count; ++i)
        nodes[forward_set[i]].ord = ord_pool[next++];
}

static uint32_t link_edge(uint32_t a, uint32_t b, struct vek_site site, uint8_t flags)
{
    uint32_t e = free_edges;
    if (e != 0)
        free_edges = edges[e].next_out;
    else
        e = edges_used++;
    edges[e] = (struct edge){.from = a, .to = b, .next_out = nodes[a].first_out, .next_in = nodes[b].first_in,
                             .flags = flags, .links = 2, .site = site};
    nodes[a].first_out = e;
    nodes[b].first_in = e;
    hash_edge(e);
    return e;
}

static struct vek_order order_of(uint32_t e)
{
    struct vek_order order;
    order.from = nodes[edges[e].from].addr;
    order.from_kind = nodes[edges[e].from].kind;
    order.to = nodes[edges[e].to].addr;
    order.to_kind = nodes[edges[e].to].kind;
    order.site = edges[e].site;
    return order;
}

static void report_cycle(uint32_t closing, uint32_t goal)
{
    struct vek_order orders[MAX_CYCLE];
    int count = 0;
    orders[count++] = order_of(closing);
    /* The walk's chain runs from the goal back to the closing edge's end. */
    uint32_t path[MAX_CYCLE];
    int length = 0;
    for (uint32_t e = nodes[goal].via_edge; e != 0 && length < MAX_CYCLE - 1; e = nodes[edges[e].from].via_edge)
        path[length++] = e;
    for (int i = length; i-- > 0;)
        orders[count++] = order_of(path[i]);
    vek_report_inversion(orders, count);
}

int vek_graph_add_order(uintptr_t from, enum vek_lock_kind from_kind, uintptr_t to, enum vek_lock_kind to_kind,
                        struct vek_site site)
{
    pthread_once(&init_once, init_graph);
    if (nodes == NULL || from == to)
        return 0;
    lock_graph();
    uint32_t a = add_node(from, from_kind);
    uint32_t b = add_node(to, to_kind);
    int inverted = 0;
    if (a != 0 && b != 0 && find_edge(a, b) == 0 && (free_edges != 0 || edges_used < MAX_EDGES)) {
        if (nodes[a].ord < nodes[b].ord) {
            link_edge(a, b, site, 0);
        } else {
            uint32_t forward_count = 0;
            if (walk_forward(b, a, &forward_count)) {
                nodes[b].via_edge = 0;
                report_cycle(link_edge(a, b, site, EDGE_CYCLIC), a);
                inverted = 1;
            } else {
                reorder(forward_count, walk_backward(a, nodes[b].ord));
                link_edge(a, b, site, 0);
            }
        }
    }
    unlock_graph();
    return inverted;
}

void vek_graph_forget(uintptr_t addr)
{
    vek_graph_forget_range(addr, addr + 1);
}

void vek_graph_forget_range(uintptr_t low, uintptr_t high)
{
    if (nodes == NULL || atomic_load_explicit(&live_nodes, memory_order_relaxed) == 0)
        return;
    int maybe = 0;
    for (uintptr_t page = low & ~(uintptr_t)4095; page < high && !maybe; page += 4096) {
        uint32_t bit = page_bit(page);
        maybe = (atomic_load_explicit(&page_filter[bit / 64], memory_order_relaxed) >> (bit % 64)) & 1;
    }
    if (!maybe)
        return;
    lock_graph();
    /* Look up each place a lock could start, or walk the nodes when that is
     * shorter. Spinlocks need only 4-byte alignment. */
    uintptr_t first = (low + 3) & ~(uintptr_t)3;
    if ((high - first) / 4 < nodes_used) {
        for (uintptr_t addr = first; addr < high; addr += 4) {
            uint32_t n = find_node(addr);
            if (n != 0)
                remove_node(n);
        }
    } else {
        for (uint32_t n = 1; n < nodes_used; ++n)
            if (nodes[n].live && nodes[n].addr >= low && nodes[n].addr < high)
                remove_node(n);
    }
    unlock_graph();
}

int vek_graph_empty(void)
{
    return atomic_load_explicit(&live_nodes, memory_order_relaxed) == 0;
}

uint64_t vek_graph_epoch(void)
{
    return atomic_load_explicit(&epoch, memory_order_acquire);
}

void vek_graph_lock_for_fork(void)
{
    lock_graph();
}

void vek_graph_unlock_after_fork(void)
{
    unlock_graph();
}
