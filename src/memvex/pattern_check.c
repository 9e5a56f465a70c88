/* Intact patterns are the rule: they are confirmed several words per step
 * without a branch on the data, and only damaged ones searched byte-wise. */
#include "pattern_check.h"

#include <stdint.h>
#include <string.h>

static uint64_t load_word(const unsigned char *bytes)
{
    uint64_t word;
    memcpy(&word, bytes, sizeof word);
    return word;
}

int mv_all_pattern(const unsigned char *bytes, size_t size, unsigned char pattern)
{
    uint64_t word = 0x0101010101010101ull * pattern;
    uint64_t differ = 0;
    size_t i = 0;
    /* Four words per step with no branch on the data: intact is the rule. */
    for (; i + 32 <= size; i += 32)
        differ |= (load_word(bytes + i) ^ word) | (load_word(bytes + i + 8) ^ word) |
                  (load_word(bytes + i + 16) ^ word) | (load_word(bytes + i + 24) ^ word);
    for (; i + 8 <= size; i += 8)
        differ |= load_word(bytes + i) ^ word;
    /* The last few bytes as one word ending at the end, when there is one. */
    if (i < size && size >= 8)
        differ |= load_word(bytes + size - 8) ^ word;
    else
        for (; i < size; ++i)
            differ |= (uint64_t)(bytes[i] ^ pattern);
    return differ == 0;
}

size_t mv_first_damaged(const unsigned char *bytes, size_t size, unsigned char pattern)
{
    if (mv_all_pattern(bytes, size, pattern))
        return size;
    size_t i = 0;
    /* Word at a time while aligned; the pattern fills whole words. */
    uint64_t word = 0x0101010101010101ull * pattern;
    while (i < size && ((uintptr_t)(bytes + i) & 7) != 0 && bytes[i] == pattern)
        ++i;
    if (i < size && ((uintptr_t)(bytes + i) & 7) != 0)
        return i;
    while (i + 8 <= size && *(const uint64_t *)(const void *)(bytes + i) == word)
        i += 8;
    while (i < size && bytes[i] == pattern)
        ++i;
    return i;
}
