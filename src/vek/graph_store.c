/* Storage of the lock graph. Hashes use linear probing with backward-shift
 * deletion, so removals leave no tombstones to pile up. A removed node's
 * edges are marked dead at once, and unlinked from the other end's list by
 * the next walk that comes across them; a slot is reused once no list
 * holds it. */
#include "graph_store.h"

#include <stdatomic.h>
#include <sys/mman.h>

#define MAX_NODES (1u << 18)
#define MAX_EDGES (1u << 20)
#define NODE_SLOTS (1u << 19) /* twice MAX_NODES: probes stay short */
#define EDGE_SLOTS (1u << 21) /* twice MAX_EDGES */
#define PAGE_FILTER_BITS (1u << 16)

struct vek_node *vek_nodes;
struct vek_edge *vek_edges;
uint32_t vek_nodes_used = 1;

static uint32_t *node_slots, *edge_slots;
static uint32_t *scratch[3];
static uint64_t *ord_scratch;
static uint32_t edges_used = 1;
static uint32_t free_nodes, free_edges;
static uint64_t next_ord = 1;
static _Atomic uint64_t epoch = 1;
static _Atomic uint32_t live_nodes;
/* One bit per hashed page that holds a lock of the graph. Bits are never
 * cleared. */
static _Atomic uint64_t page_filter[PAGE_FILTER_BITS / 64];

static void *reserve(size_t bytes)
{
    void *p = mmap(NULL, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return p == MAP_FAILED ? NULL : p;
}

int vek_store_init(void)
{
    vek_nodes = reserve(MAX_NODES * sizeof *vek_nodes);
    vek_edges = reserve(MAX_EDGES * sizeof *vek_edges);
    node_slots = reserve(NODE_SLOTS * sizeof *node_slots);
    edge_slots = reserve(EDGE_SLOTS * sizeof *edge_slots);
    for (int i = 0; i < 3; ++i)
        scratch[i] = reserve(MAX_NODES * sizeof *scratch[i]);
    ord_scratch = reserve(MAX_NODES * sizeof *ord_scratch);
    return vek_nodes && vek_edges && node_slots && edge_slots && scratch[0] && scratch[1] && scratch[2] && ord_scratch;
}

uint32_t *vek_store_scratch(int which)
{
    return scratch[which];
}

uint64_t *vek_store_ord_scratch(void)
{
    return ord_scratch;
}

static uint32_t mix(uint64_t key)
{
    return (uint32_t)((key * 0x9e3779b97f4a7c15ull) >> 40);
}

static uint32_t node_home(uint32_t n)
{
    return mix(vek_nodes[n].addr) % NODE_SLOTS;
}

static uint32_t edge_home(uint32_t e)
{
    return mix(((uint64_t)vek_edges[e].from << 32) | vek_edges[e].to) % EDGE_SLOTS;
}

static uint32_t page_bit(uintptr_t addr)
{
    return mix(addr >> 12) % PAGE_FILTER_BITS;
}

static void insert_slot(uint32_t *table, uint32_t size, uint32_t home, uint32_t value)
{
    uint32_t s = home;
    while (table[s] != 0)
        s = (s + 1) % size;
    table[s] = value;
}

static void remove_slot(uint32_t *table, uint32_t size, uint32_t home, uint32_t value, uint32_t (*home_of)(uint32_t))
{
    uint32_t s = home;
    while (table[s] != value)
        s = (s + 1) % size;
    for (uint32_t next = (s + 1) % size; table[next] != 0; next = (next + 1) % size) {
        uint32_t h = home_of(table[next]);
        /* An entry moves back into the hole unless its home lies in (s, next]. */
        int stays = s <= next ? (h > s && h <= next) : (h > s || h <= next);
        if (!stays) {
            table[s] = table[next];
            s = next;
        }
    }
    table[s] = 0;
}

uint32_t vek_find_node(uintptr_t addr)
{
    for (uint32_t s = mix(addr) % NODE_SLOTS;; s = (s + 1) % NODE_SLOTS) {
        uint32_t n = node_slots[s];
        if (n == 0 || vek_nodes[n].addr == addr)
            return n;
    }
}

uint32_t vek_add_node(uintptr_t addr, enum vek_lock_kind kind)
{
    uint32_t n = vek_find_node(addr);
    if (n != 0)
        return n;
    if (free_nodes != 0) {
        n = free_nodes;
        free_nodes = vek_nodes[n].next_free;
    } else if (vek_nodes_used < MAX_NODES) {
        n = vek_nodes_used++;
    } else {
        return 0;
    }
    /* Newest last in the order: edges into it agree with the order. */
    vek_nodes[n] = (struct vek_node){.addr = addr, .ord = next_ord++, .kind = (uint8_t)kind, .live = 1};
    insert_slot(node_slots, NODE_SLOTS, node_home(n), n);
    uint32_t bit = page_bit(addr);
    atomic_fetch_or(&page_filter[bit / 64], 1ull << (bit % 64));
    atomic_fetch_add(&live_nodes, 1);
    return n;
}

static void release_link(uint32_t e)
{
    if (--vek_edges[e].links == 0) {
        vek_edges[e].next_out = free_edges;
        free_edges = e;
    }
}

static void kill_edge(uint32_t e)
{
    if (!(vek_edges[e].flags & VEK_EDGE_DEAD)) {
        remove_slot(edge_slots, EDGE_SLOTS, edge_home(e), e, edge_home);
        vek_edges[e].flags |= VEK_EDGE_DEAD;
    }
}

void vek_remove_node(uint32_t n)
{
    struct vek_node *node = &vek_nodes[n];
    remove_slot(node_slots, NODE_SLOTS, node_home(n), n, node_home);
    for (uint32_t e = node->first_out, next; e != 0; e = next) {
        next = vek_edges[e].next_out;
        kill_edge(e);
        release_link(e);
    }
    for (uint32_t e = node->first_in, next; e != 0; e = next) {
        next = vek_edges[e].next_in;
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

int vek_store_may_hold(uintptr_t low, uintptr_t high)
{
    if (vek_nodes == NULL || atomic_load_explicit(&live_nodes, memory_order_relaxed) == 0)
        return 0;
    for (uintptr_t page = low & ~(uintptr_t)4095; page < high; page += 4096) {
        uint32_t bit = page_bit(page);
        if ((atomic_load_explicit(&page_filter[bit / 64], memory_order_relaxed) >> (bit % 64)) & 1)
            return 1;
    }
    return 0;
}

int vek_graph_empty(void)
{
    return atomic_load_explicit(&live_nodes, memory_order_relaxed) == 0;
}

uint64_t vek_graph_epoch(void)
{
    return atomic_load_explicit(&epoch, memory_order_acquire);
}

uint32_t vek_find_edge(uint32_t from, uint32_t to)
{
    uint64_t key = ((uint64_t)from << 32) | to;
    for (uint32_t s = mix(key) % EDGE_SLOTS;; s = (s + 1) % EDGE_SLOTS) {
        uint32_t e = edge_slots[s];
        if (e == 0 || (vek_edges[e].from == from && vek_edges[e].to == to))
            return e;
    }
}

int vek_edge_room(void)
{
    return free_edges != 0 || edges_used < MAX_EDGES;
}

uint32_t vek_link_edge(uint32_t from, uint32_t to, struct vek_site site, uint8_t flags)
{
    uint32_t e = free_edges;
    if (e != 0)
        free_edges = vek_edges[e].next_out;
    else
        e = edges_used++;
    vek_edges[e] = (struct vek_edge){.from = from,
                                     .to = to,
                                     .next_out = vek_nodes[from].first_out,
                                     .next_in = vek_nodes[to].first_in,
                                     .flags = flags,
                                     .links = 2,
                                     .site = site};
    vek_nodes[from].first_out = e;
    vek_nodes[to].first_in = e;
    insert_slot(edge_slots, EDGE_SLOTS, edge_home(e), e);
    return e;
}

uint32_t vek_live_out(uint32_t *link)
{
    while (*link != 0 && (vek_edges[*link].flags & VEK_EDGE_DEAD)) {
        uint32_t e = *link;
        *link = vek_edges[e].next_out;
        release_link(e);
    }
    return *link;
}

uint32_t vek_live_in(uint32_t *link)
{
    while (*link != 0 && (vek_edges[*link].flags & VEK_EDGE_DEAD)) {
        uint32_t e = *link;
        *link = vek_edges[e].next_in;
        release_link(e);
    }
    return *link;
}
