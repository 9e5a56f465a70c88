/* The C++ allocation operators in every form, under their mangled names, so
 * that each block remembers whether it came from new, new[] or an aligned
 * form and a release through the wrong one is found. */
#include "memvex.h"

#include <dlfcn.h>

/* Out of memory in a throwing new: the C++ runtime's own operator runs the
 * new-handler and throws, which C cannot. */
static void *cxx_runtime_retry(const char *name, size_t size, size_t alignment)
{
    ++cs_in_runtime;
    void *symbol = dlsym(RTLD_NEXT, name);
    --cs_in_runtime;
    if (symbol == NULL)
        return NULL;
    if (alignment != 0)
        return ((void *(*)(size_t, size_t))symbol)(size, alignment);
    return ((void *(*)(size_t))symbol)(size);
}

static void *throwing_new(size_t size, size_t alignment, enum mv_family family, const char *name)
{
    size_t align = alignment < 16 ? 16 : alignment;
    void *pointer = mv_allocate(size ? size : 1, align, family, 0);
    return pointer ? pointer : cxx_runtime_retry(name, size, alignment);
}

/* operator new(size_t) and friends */
MV_EXPORT void *_Znwm(size_t size)
{
    return throwing_new(size, 0, MV_NEW, "_Znwm");
}
MV_EXPORT void *_Znam(size_t size)
{
    return throwing_new(size, 0, MV_NEW_ARRAY, "_Znam");
}
MV_EXPORT void *_ZnwmRKSt9nothrow_t(size_t size, const void *tag)
{
    (void)tag;
    return mv_allocate(size ? size : 1, 16, MV_NEW, 0);
}
MV_EXPORT void *_ZnamRKSt9nothrow_t(size_t size, const void *tag)
{
    (void)tag;
    return mv_allocate(size ? size : 1, 16, MV_NEW_ARRAY, 0);
}
MV_EXPORT void *_ZnwmSt11align_val_t(size_t size, size_t alignment)
{
    return throwing_new(size, alignment, MV_NEW_ALIGNED, "_ZnwmSt11align_val_t");
}
MV_EXPORT void *_ZnamSt11align_val_t(size_t size, size_t alignment)
{
    return throwing_new(size, alignment, MV_NEW_ARRAY_ALIGNED, "_ZnamSt11align_val_t");
}
MV_EXPORT void *_ZnwmSt11align_val_tRKSt9nothrow_t(size_t size, size_t alignment, const void *tag)
{
    (void)tag;
    return mv_allocate(size ? size : 1, alignment < 16 ? 16 : alignment, MV_NEW_ALIGNED, 0);
}
MV_EXPORT void *_ZnamSt11align_val_tRKSt9nothrow_t(size_t size, size_t alignment, const void *tag)
{
    (void)tag;
    return mv_allocate(size ? size : 1, alignment < 16 ? 16 : alignment, MV_NEW_ARRAY_ALIGNED, 0);
}

/* operator delete: plain, sized, nothrow, aligned, aligned and sized */
MV_EXPORT void _ZdlPv(void *p)
{
    mv_release(p, MV_NEW, "delete");
}
MV_EXPORT void _ZdaPv(void *p)
{
    mv_release(p, MV_NEW_ARRAY, "delete[]");
}
MV_EXPORT void _ZdlPvm(void *p, size_t size)
{
    (void)size;
    mv_release(p, MV_NEW, "delete");
}
MV_EXPORT void _ZdaPvm(void *p, size_t size)
{
    (void)size;
    mv_release(p, MV_NEW_ARRAY, "delete[]");
}
MV_EXPORT void _ZdlPvRKSt9nothrow_t(void *p, const void *tag)
{
    (void)tag;
    mv_release(p, MV_NEW, "delete");
}
MV_EXPORT void _ZdaPvRKSt9nothrow_t(void *p, const void *tag)
{
    (void)tag;
    mv_release(p, MV_NEW_ARRAY, "delete[]");
}
MV_EXPORT void _ZdlPvSt11align_val_t(void *p, size_t alignment)
{
    (void)alignment;
    mv_release(p, MV_NEW_ALIGNED, "aligned delete");
}
MV_EXPORT void _ZdaPvSt11align_val_t(void *p, size_t alignment)
{
    (void)alignment;
    mv_release(p, MV_NEW_ARRAY_ALIGNED, "aligned delete[]");
}
MV_EXPORT void _ZdlPvmSt11align_val_t(void *p, size_t size, size_t alignment)
{
    (void)size, (void)alignment;
    mv_release(p, MV_NEW_ALIGNED, "aligned delete");
}
MV_EXPORT void _ZdaPvmSt11align_val_t(void *p, size_t size, size_t alignment)
{
    (void)size, (void)alignment;
    mv_release(p, MV_NEW_ARRAY_ALIGNED, "aligned delete[]");
}
MV_EXPORT void _ZdlPvSt11align_val_tRKSt9nothrow_t(void *p, size_t alignment, const void *tag)
{
    (void)alignment, (void)tag;
    mv_release(p, MV_NEW_ALIGNED, "aligned delete");
}
MV_EXPORT void _ZdaPvSt11align_val_tRKSt9nothrow_t(void *p, size_t alignment, const void *tag)
{
    (void)alignment, (void)tag;
    mv_release(p, MV_NEW_ARRAY_ALIGNED, "aligned delete[]");
}
