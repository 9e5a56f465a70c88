/* The acquired-before graph: an edge A -> B says some thread acquired B
 * while holding A. A new edge that closes a cycle means the locks can be
 * taken in orders that deadlock, and is reported when it is added, before
 * any thread has to wait for another.
 *
 * Nodes and edges live in arrays reserved with mmap at first use. A lock
 * that is destroyed or freed leaves the graph: its node slot is reused with
 * a new generation, so edges still pointing at the old generation are dead
 * and are unlinked when a walk comes across them. */
#include "vek.h"

#include <stdatomic.h>
#include <string.h>
#include <sys/mman.h>

#define MAX_NODES (1u << 20)
#define MAX_EDGES (1u << 22)
#define HASH_SLOTS (1u << 21) /* twice MAX_NODES: probes stay short */
#define PAGE_FILTER_BITS (1u << 16)
#define MAX_CYCLE 16

struct node {
    uintptr_t addr;
    uint32_t gen;
    uint32_t first_edge;
    uint32_t visit;
    uint32_t via_edge; /* during a walk: the edge that reached this node */
    uint32_t next_free;
    uint8_t kind;
    uint8_t live;
};

struct edge {
    uint32_t from;
    uint32_t to;
    uint32_t to_gen;
    uint32_t next;
    struct vek_site site;
};

static pthread_mutex_t graph_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_once_t init_once = PTHREAD_ONCE_INIT;
static struct node *nodes;  /* index 0 is never used */
static struct edge *edges;  /* index 0 is never used */
static uint32_t *slots;     /* address hash: node index, 0 when empty */
static uint32_t *walk_stack;
static uint32_t nodes_used = 1, edges_used = 1;
static uint32_t free_nodes, free_edges;
static uint32_t visit_stamp;
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
    walk_stack = reserve(MAX_NODES * sizeof *walk_stack);
    if (!nodes || !edges || !slots || !walk_stack)
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
    struct node *node = &nodes[n];
    node->addr = addr;
    node->gen++;
    node->first_edge = 0;
    node->kind = (uint8_t)kind;
    node->live = 1;
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

static void remove_node(uint32_t n)
{
    struct node *node = &nodes[n];
    unhash(n);
    for (uint32_t e = node->first_edge; e != 0;) {
        uint32_t next = edges[e].next;
        edges[e].next = free_edges;
        free_edges = e;
        e = next;
    }
    node->first_edge = 0;
    node->live = 0;
    node->next_free = free_nodes;
    free_nodes = n;
    atomic_fetch_sub(&live_nodes, 1);
    atomic_fetch_add(&epoch, 1);
}

static int edge_alive(const struct edge *e)
{
    return nodes[e->to].live && nodes[e->to].gen == e->to_gen;
}

/* Looks for from -> to among the live edges, dropping dead ones on the way. */
static int has_edge(uint32_t from, uint32_t to)
{
    uint32_t *link = &nodes[from].first_edge;
    while (*link != 0) {
        uint32_t e = *link;
        if (!edge_alive(&edges[e])) {
            *link = edges[e].next;
            edges[e].next = free_edges;
            free_edges = e;
            continue;
        }
        if (edges[e].to == to)
            return 1;
        link = &edges[e].next;
    }
    return 0;
}

/* Depth-first walk from `start` to `goal` along live edges; returns the
 * number of edges on the path found, written goal-first into `path`. */
static int find_path(uint32_t start, uint32_t goal, uint32_t *path, int max_path)
{
    if (++visit_stamp == 0)
        visit_stamp = 1;
    uint32_t depth = 0;
    walk_stack[depth++] = start;
    nodes[start].visit = visit_stamp;
    nodes[start].via_edge = 0;
    while (depth > 0) {
        uint32_t n = walk_stack[--depth];
        if (n == goal) {
            int length = 0;
            for (uint32_t e = nodes[n].via_edge; e != 0; e = nodes[edges[e].from].via_edge)
                if (length < max_path)
                    path[length++] = e;
            return length;
        }
        for (uint32_t e = nodes[n].first_edge; e != 0; e = edges[e].next) {
            if (!edge_alive(&edges[e]))
                continue;
            uint32_t to = edges[e].to;
            if (nodes[to].visit == visit_stamp)
                continue;
            nodes[to].visit = visit_stamp;
            nodes[to].via_edge = e;
            walk_stack[depth++] = to;
        }
    }
    return 0;
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
    if (a != 0 && b != 0 && !has_edge(a, b) && edges_used < MAX_EDGES) {
        uint32_t path[MAX_CYCLE];
        int length = find_path(b, a, path, MAX_CYCLE);
        uint32_t e = free_edges;
        if (e != 0)
            free_edges = edges[e].next;
        else
            e = edges_used++;
        if (site.stack == 0)
            site.stack = cs_capture_id();
        edges[e] = (struct edge){.from = a, .to = b, .to_gen = nodes[b].gen, .next = nodes[a].first_edge,
                                 .site = site};
        nodes[a].first_edge = e;
        if (length > 0) {
            struct vek_order orders[MAX_CYCLE + 1];
            orders[0] = order_of(e);
            /* The path was collected from its end: list it in walk order. */
            for (int i = 0; i < length; ++i)
                orders[1 + i] = order_of(path[length - 1 - i]);
            vek_report_inversion(orders, length + 1);
            inverted = 1;
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
