/* The C allocation interface, exported so that it takes the place of the C
 * library's own for the whole program. */
#include "memvex.h"

#include <errno.h>
#include <unistd.h>

static int is_power_of_two(size_t value)
{
    return value != 0 && (value & (value - 1)) == 0;
}

MV_EXPORT void *malloc(size_t size)
{
    return mv_allocate(size, 16, MV_MALLOC, 0);
}

MV_EXPORT void *calloc(size_t count, size_t size)
{
    size_t total;
    if (__builtin_mul_overflow(count, size, &total)) {
        errno = ENOMEM;
        return NULL;
    }
    return mv_allocate(total, 16, MV_MALLOC, 1);
}

MV_EXPORT void *realloc(void *pointer, size_t size)
{
    return mv_reallocate(pointer, size);
}

MV_EXPORT void *reallocarray(void *pointer, size_t count, size_t size)
{
    size_t total;
    if (__builtin_mul_overflow(count, size, &total)) {
        errno = ENOMEM;
        return NULL;
    }
    return mv_reallocate(pointer, total);
}

MV_EXPORT void free(void *pointer)
{
    /* A tail call: one frame fewer to walk for the stack. */
    mv_release(pointer, MV_MALLOC, "free");
}

MV_EXPORT int posix_memalign(void **out, size_t alignment, size_t size)
{
    if (!is_power_of_two(alignment) || alignment % sizeof(void *) != 0)
        return EINVAL;
    void *pointer = mv_allocate(size, alignment < 16 ? 16 : alignment, MV_MALLOC, 0);
    if (pointer == NULL)
        return ENOMEM;
    *out = pointer;
    return 0;
}

MV_EXPORT void *aligned_alloc(size_t alignment, size_t size)
{
    if (!is_power_of_two(alignment)) {
        errno = EINVAL;
        return NULL;
    }
    return mv_allocate(size, alignment < 16 ? 16 : alignment, MV_MALLOC, 0);
}

MV_EXPORT void *memalign(size_t alignment, size_t size)
{
    /* As the C library does: a smaller alignment is no alignment, and one
     * that is no power of two is rounded up to the next. */
    if (alignment <= 16)
        return mv_allocate(size, 16, MV_MALLOC, 0);
    if (alignment > SIZE_MAX / 2 + 1) {
        errno = EINVAL;
        return NULL;
    }
    size_t rounded = 32;
    while (rounded < alignment)
        rounded <<= 1;
    return mv_allocate(size, rounded, MV_MALLOC, 0);
}

MV_EXPORT void *valloc(size_t size)
{
    return mv_allocate(size, (size_t)getpagesize(), MV_MALLOC, 0);
}

MV_EXPORT void *pvalloc(size_t size)
{
    size_t page = (size_t)getpagesize();
    if (size > SIZE_MAX - page) {
        errno = ENOMEM;
        return NULL;
    }
    size_t rounded = size == 0 ? page : (size + page - 1) & ~(page - 1);
    return mv_allocate(rounded, page, MV_MALLOC, 0);
}

MV_EXPORT size_t malloc_usable_size(void *pointer)
{
    return mv_usable_size(pointer);
}
