/* Checks that a span of memory still holds the byte pattern it was filled
 * with: red zones around live blocks, freed blocks in quarantine. */
#ifndef MEMVEX_PATTERN_CHECK_H
#define MEMVEX_PATTERN_CHECK_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Whether all `size` bytes equal `pattern`; any alignment. */
int mv_all_pattern(const unsigned char *bytes, size_t size, unsigned char pattern);
/* The same with plain words only: what mv_all_pattern uses for short spans
 * and on processors without 32-byte vectors. */
int mv_all_pattern_portable(const unsigned char *bytes, size_t size, unsigned char pattern);
/* Offset of the first byte that differs from `pattern`, or size when none. */
size_t mv_first_damaged(const unsigned char *bytes, size_t size, unsigned char pattern);

#ifdef __cplusplus
}
#endif

#endif
