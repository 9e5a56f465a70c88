/* Where the lock graph keeps its nodes (locks) and edges (orders): arrays
 * reserved with mmap at first use, a hash from lock address to node and one
 * from node pair to edge, and each node's lists of edges out and in. Used by
 * lock_graph.c only, under the graph's lock. */
#ifndef VEK_GRAPH_STORE_H
#define VEK_GRAPH_STORE_H

#include "vek.h"

struct vek_node {
    uintptr_t addr;
    uint64_t ord; /* every ordering edge goes from a lower ord to a higher */
    uint32_t first_out, first_in;
    uint32_t visit;
    uint32_t via_edge; /* during a walk: the edge that reached this node */
    uint32_t next_free;
    uint8_t kind;
    uint8_t live;
};

/* A dead edge lost one of its locks; a cyclic one closed a cycle and takes
 * no part in the order. */
enum { VEK_EDGE_DEAD = 1, VEK_EDGE_CYCLIC = 2 };

struct vek_edge {
    uint32_t from, to;
    uint32_t next_out, next_in;
    uint8_t flags;
    uint8_t links; /* lists still holding the edge; its slot is free at 0 */
    struct vek_site site;
};

/* Index 0 of both arrays is never used: 0 means none. */
extern struct vek_node *vek_nodes;
extern struct vek_edge *vek_edges;
extern uint32_t vek_nodes_used;

/* Maps the arrays; false when memory cannot be had. */
int vek_store_init(void);
/* Scratch arrays as long as the most nodes the graph can hold. */
uint32_t *vek_store_scratch(int which);
uint64_t *vek_store_ord_scratch(void);

uint32_t vek_find_node(uintptr_t addr);
/* The lock's node, made last in the order when new; 0 when the graph is full. */
uint32_t vek_add_node(uintptr_t addr, enum vek_lock_kind kind);
/* Takes a lock out of the graph with every edge it has. */
void vek_remove_node(uint32_t n);
/* Whether some node's lock may lie in [low, high): a filter that a lock far
 * from every node passes with a load or two. */
int vek_store_may_hold(uintptr_t low, uintptr_t high);

uint32_t vek_find_edge(uint32_t from, uint32_t to);
int vek_edge_room(void);
uint32_t vek_link_edge(uint32_t from, uint32_t to, struct vek_site site, uint8_t flags);
/* The next live edge from *link on in a node's list out (or in), unlinking
 * dead ones on the way; 0 at the end. */
uint32_t vek_live_out(uint32_t *link);
uint32_t vek_live_in(uint32_t *link);

#endif
