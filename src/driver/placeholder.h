// Marks a function whose real body has not been written yet. Nothing that
// includes this header may remain when the work is done.
#pragma once

#include <cstdio>
#include <cstdlib>

#define RYN_PLACEHOLDER()                                                   \
    do {                                                                    \
        fprintf(stderr, "ryn: %s is not implemented yet\n", __func__);     \
        abort();                                                            \
    } while (0)
