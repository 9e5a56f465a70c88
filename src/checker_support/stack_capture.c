/* Stack capture with libunwind, leaving out the frames of the runtime itself
 * so that frame #0 is the program's call into it. */
#include "checker_support.h"
#include "stack_capture_inline.h"

#include <elf.h>

/* The ELF header of the object this code is linked into. */
extern const ElfW(Ehdr) __ehdr_start __attribute__((visibility("hidden")));

static uintptr_t code_low, code_high;

static void find_own_code(void)
{
    const char *base = (const char *)&__ehdr_start;
    const ElfW(Phdr) *phdr = (const ElfW(Phdr) *)(base + __ehdr_start.e_phoff);
    uintptr_t low = UINTPTR_MAX, high = 0, first_vaddr = UINTPTR_MAX;
    for (int i = 0; i < __ehdr_start.e_phnum; ++i) {
        if (phdr[i].p_type != PT_LOAD)
            continue;
        if (phdr[i].p_vaddr < first_vaddr)
            first_vaddr = phdr[i].p_vaddr & ~(uintptr_t)4095;
    }
    uintptr_t bias = (uintptr_t)base - first_vaddr;
    for (int i = 0; i < __ehdr_start.e_phnum; ++i) {
        if (phdr[i].p_type != PT_LOAD || !(phdr[i].p_flags & PF_X))
            continue;
        uintptr_t start = bias + phdr[i].p_vaddr;
        if (start < low)
            low = start;
        if (start + phdr[i].p_memsz > high)
            high = start + phdr[i].p_memsz;
    }
    code_high = high;
    __atomic_store_n(&code_low, low, __ATOMIC_RELEASE);
}

int cs_pc_in_runtime(uintptr_t pc)
{
    if (__atomic_load_n(&code_low, __ATOMIC_ACQUIRE) == 0)
        find_own_code();
    return pc >= code_low && pc < code_high;
}

size_t cs_capture(uintptr_t *pcs, size_t max)
{
    return cs_capture_inline(pcs, max);
}

uint32_t cs_capture_id(void)
{
    uintptr_t pcs[CS_MAX_DEPTH];
    size_t n = cs_capture(pcs, (size_t)cs_settings.stack_depth);
    return cs_depot_put(pcs, n);
}
