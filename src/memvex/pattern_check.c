/* Intact patterns are the rule: they are confirmed several words per step
 * without a branch on the data, and only damaged ones searched byte-wise.
 * Freed blocks are checked by the kilobyte as they leave quarantine, so
 * processors with 32-byte vectors check four of them per step. */
#include "pattern_check.h"

#include <immintrin.h>
#include <stdint.h>
#include <string.h>

static uint64_t load_word(const unsigned char *bytes)
{
    uint64_t word;
    memcpy(&word, bytes, sizeof word);
    return word;
}

int mv_all_pattern_portable(const unsigned char *bytes, size_t size, unsigned char pattern)
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

__attribute__((target("avx2"))) static int all_pattern_avx2(const unsigned char *bytes, size_t size,
                                                            unsigned char pattern)
{
    const __m256i want = _mm256_set1_epi8((char)pattern);
    __m256i differ = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + 128 <= size; i += 128) {
        __m256i a = _mm256_loadu_si256((const __m256i *)(const void *)(bytes + i));
        __m256i b = _mm256_loadu_si256((const __m256i *)(const void *)(bytes + i + 32));
        __m256i c = _mm256_loadu_si256((const __m256i *)(const void *)(bytes + i + 64));
        __m256i d = _mm256_loadu_si256((const __m256i *)(const void *)(bytes + i + 96));
        differ = _mm256_or_si256(differ, _mm256_or_si256(_mm256_xor_si256(a, want), _mm256_xor_si256(b, want)));
        differ = _mm256_or_si256(differ, _mm256_or_si256(_mm256_xor_si256(c, want), _mm256_xor_si256(d, want)));
    }
    for (; i + 32 <= size; i += 32)
        differ = _mm256_or_si256(
            differ, _mm256_xor_si256(_mm256_loadu_si256((const __m256i *)(const void *)(bytes + i)), want));
    /* The rest as one vector ending at the end; callers pass at least 32. */
    if (i < size)
        differ = _mm256_or_si256(
            differ, _mm256_xor_si256(_mm256_loadu_si256((const __m256i *)(const void *)(bytes + size - 32)), want));
    return _mm256_testz_si256(differ, differ);
}

/* 0 unknown, 1 plain words, 2 AVX2. Racing first calls agree. */
static int wide_kind;

int mv_all_pattern(const unsigned char *bytes, size_t size, unsigned char pattern)
{
    if (size < 32)
        return mv_all_pattern_portable(bytes, size, pattern);
    int kind = __atomic_load_n(&wide_kind, __ATOMIC_RELAXED);
    if (kind == 0) {
        /* This may run before any constructor, the C library's included. */
        __builtin_cpu_init();
        kind = __builtin_cpu_supports("avx2") ? 2 : 1;
        __atomic_store_n(&wide_kind, kind, __ATOMIC_RELAXED);
    }
    return kind == 2 ? all_pattern_avx2(bytes, size, pattern) : mv_all_pattern_portable(bytes, size, pattern);
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
