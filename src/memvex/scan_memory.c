/* The scan's tables come straight from the kernel: the program's heap may be
 * locked by a parked thread. They hold the address of every block, so the
 * scan must know them to leave them out of its roots. */
#include "leak_scan.h"

#include <sys/mman.h>

#define MAX_TABLES 64

static struct cs_region tables[MAX_TABLES];

void *mv_scan_map(size_t size)
{
    void *memory = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return NULL;
    for (int i = 0; i < MAX_TABLES; ++i) {
        if (tables[i].start == 0) {
            tables[i].start = (uintptr_t)memory;
            tables[i].end = (uintptr_t)memory + size;
            return memory;
        }
    }
    /* Untracked, the table would be taken for program memory. */
    munmap(memory, size);
    return NULL;
}

void mv_scan_unmap(void *memory, size_t size)
{
    if (memory == NULL)
        return;
    for (int i = 0; i < MAX_TABLES; ++i)
        if (tables[i].start == (uintptr_t)memory)
            tables[i].start = tables[i].end = 0;
    munmap(memory, size);
}

size_t mv_scan_tables(const struct cs_region **out)
{
    *out = tables;
    return MAX_TABLES;
}
