/* Finding the probe table an instrumented copy carries in one of its loaded
 * segments. */
#include "runtime_common.h"

#include <elf.h>
#include <string.h>
#include <sys/auxv.h>

/* The program headers as mapped. The main program's come from the kernel;
 * any other object is mapped from offset 0, so its ELF header lies at the
 * load bias. */
static const ElfW(Phdr) * loaded_headers(struct link_map *map, int is_main, size_t *count)
{
    if (is_main) {
        *count = (size_t)getauxval(AT_PHNUM);
        return (const ElfW(Phdr) *)getauxval(AT_PHDR);
    }
    const ElfW(Ehdr) *ehdr = (const ElfW(Ehdr) *)map->l_addr;
    if (ehdr == NULL || memcmp(ehdr->e_ident, ELFMAG, SELFMAG) != 0 || ehdr->e_phentsize != sizeof(ElfW(Phdr)))
        return NULL;
    *count = ehdr->e_phnum;
    return (const ElfW(Phdr) *)(map->l_addr + ehdr->e_phoff);
}

static const struct ryn_probe_header *table_in(const ElfW(Phdr) * phdr, size_t count, uintptr_t bias)
{
    for (size_t i = 0; i < count; ++i) {
        if (phdr[i].p_type != PT_LOAD || !(phdr[i].p_flags & PF_R) ||
            phdr[i].p_filesz < sizeof(struct ryn_probe_header))
            continue;
        const struct ryn_probe_header *header = (const struct ryn_probe_header *)(bias + phdr[i].p_vaddr);
        if (memcmp(header->magic, RYN_PROBE_MAGIC, RYN_PROBE_MAGIC_SIZE) != 0 || header->version != RYN_PROBE_VERSION)
            continue;
        /* A table that does not fit its segment is not trusted at all. */
        uint64_t size = phdr[i].p_filesz;
        uint64_t probes_end = header->probes_offset + (uint64_t)header->probe_count * sizeof(struct ryn_probe);
        if (probes_end > size || header->strings_offset + header->strings_size > size ||
            header->settings_offset + header->settings_size > size || header->strings_size == 0)
            continue;
        return header;
    }
    return NULL;
}

const struct ryn_probe_header *ryn_find_table(struct link_map *map, int is_main)
{
    size_t count = 0;
    const ElfW(Phdr) *phdr = loaded_headers(map, is_main, &count);
    if (phdr == NULL)
        return NULL;
    return table_in(phdr, count, map->l_addr);
}

const struct ryn_probe_header *ryn_find_main_table(void)
{
    size_t count = (size_t)getauxval(AT_PHNUM);
    const ElfW(Phdr) *phdr = (const ElfW(Phdr) *)getauxval(AT_PHDR);
    if (phdr == NULL)
        return NULL;
    /* The bias is where the headers are minus where the file says they are;
     * a program without PT_PHDR is not position-independent and has none. */
    uintptr_t bias = 0;
    for (size_t i = 0; i < count; ++i)
        if (phdr[i].p_type == PT_PHDR)
            bias = (uintptr_t)phdr - phdr[i].p_vaddr;
    return table_in(phdr, count, bias);
}

const char *ryn_table_settings(const struct ryn_probe_header *header, size_t *size)
{
    *size = header->settings_size;
    return (const char *)header + header->settings_offset;
}

uint32_t ryn_lower_bound(const void *records, uint32_t count, size_t stride, uint64_t key)
{
    const char *base = records;
    uint32_t low = 0, high = count;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        uint64_t addr;
        memcpy(&addr, base + (size_t)middle * stride, sizeof addr);
        if (addr < key)
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}
