/* Stack capture compiled into a runtime's entry points themselves: the walk
 * then starts in the entry point, one frame nearer the program, and each frame
 * walked costs. The runtime's own frames are left out as cs_capture does. */
#ifndef RYN_STACK_CAPTURE_INLINE_H
#define RYN_STACK_CAPTURE_INLINE_H

#define UNW_LOCAL_ONLY
#include <libunwind.h>

#include "checker_support.h"

/* The runtime's own frames above the program's call: a few on every path, so
 * a walk first makes room for that many and walks again, deeper, only when
 * they were more. */
#define CS_OWN_FRAMES_USUAL 6
#define CS_OWN_FRAMES_MOST 24

static inline __attribute__((always_inline)) size_t cs_capture_walk(uintptr_t *pcs, size_t max, size_t room,
                                                                    int *short_of_room)
{
    void *raw[CS_MAX_DEPTH + CS_OWN_FRAMES_MOST];
    size_t limit = sizeof raw / sizeof raw[0];
    int want = (int)(max + room < limit ? max + room : limit);
    int got = unw_backtrace(raw, want);
    int first = 0;
    while (first < got && cs_pc_in_runtime((uintptr_t)raw[first]))
        ++first;
    size_t n = 0;
    for (int i = first; i < got && n < max; ++i)
        pcs[n++] = (uintptr_t)raw[i];
    *short_of_room = got == want && n < max && want < (int)limit;
    return n;
}

static inline __attribute__((always_inline)) size_t cs_capture_inline(uintptr_t *pcs, size_t max)
{
    int short_of_room = 0;
    size_t n = cs_capture_walk(pcs, max, CS_OWN_FRAMES_USUAL, &short_of_room);
    if (short_of_room)
        n = cs_capture_walk(pcs, max, CS_OWN_FRAMES_MOST, &short_of_room);
    return n;
}

#endif
