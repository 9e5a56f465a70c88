/* Finds the probe table of each loaded object, plants the probes when the
 * object is loaded, and takes a probe away on its first hit. */
#include "runtime.h"

#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

struct ryn_object ryn_objects[RYN_MAX_OBJECTS];
static atomic_int armed_objects;
int ryn_counting = 1;

static void resolve_data_path(struct ryn_object *object, const char *datadir)
{
    const char *env = getenv("QVEN_RYN_INSTRDATA_DIR");
    char dir[PATH_MAX];
    ryn_strlcpy(dir, datadir, sizeof dir);
    size_t length = strlen(dir);
    while (length > 1 && dir[length - 1] == '/')
        dir[--length] = '\0';
    if (env != NULL && *env != '\0') {
        ryn_strlcpy(object->data_dir, env, sizeof object->data_dir);
        ryn_strlcat(object->data_dir, "/", sizeof object->data_dir);
        ryn_strlcat(object->data_dir, ryn_last_component(dir), sizeof object->data_dir);
    } else if (dir[0] == '/') {
        ryn_strlcpy(object->data_dir, dir, sizeof object->data_dir);
    } else {
        ryn_strlcpy(object->data_dir, ryn_start_dir, sizeof object->data_dir);
        ryn_strlcat(object->data_dir, "/", sizeof object->data_dir);
        ryn_strlcat(object->data_dir, dir, sizeof object->data_dir);
    }
    ryn_strlcpy(object->data_path, object->data_dir, sizeof object->data_path);
    ryn_strlcat(object->data_path, "/", sizeof object->data_path);
    ryn_strlcat(object->data_path, ryn_settings.program, sizeof object->data_path);
    ryn_strlcat(object->data_path, ".instrdata", sizeof object->data_path);
}

static void take_main_record(long record, const char *value, void *context)
{
    struct ryn_settings *s = context;
    switch (record) {
    case 1: ryn_strlcpy(s->component, value, sizeof s->component); break;
    case 9: ryn_strlcpy(s->cache_top, value, sizeof s->cache_top); break;
    case 19: ryn_strlcpy(s->library_log, value, sizeof s->library_log); break;
    case 21: ryn_strlcpy(s->program, ryn_last_component(value), sizeof s->program); break;
    case 33: s->fork_mode = strcmp(value, "parent") == 0 ? 0 : strcmp(value, "child") == 0 ? 1 : 2; break;
    case 11:
        if (s->ignorable_count < RYN_MAX_IGNORABLE)
            ryn_strlcpy(s->ignorable[s->ignorable_count++], value, sizeof s->ignorable[0]);
        break;
    default: break;
    }
}

static void read_main_settings(const char *text, size_t size)
{
    ryn_for_each_record(text, size, take_main_record, &ryn_settings);
    /* Coverage only asks whether a block ran: one-shot probes keep it near
     * native speed. */
    ryn_counting = strcmp(ryn_settings.component, "zentor") != 0;
}

/* The counting parts of a table, when the copy has them. */
static void take_counting_parts(struct ryn_object *object, const struct ryn_probe_header *header)
{
    const char *base = (const char *)header;
    if (header->counters_addr == 0 || header->counter_count == 0)
        return;
    object->sites = (const struct ryn_site *)(base + header->sites_offset);
    object->site_count = header->site_count;
    object->branches = (const struct ryn_branch *)(base + header->branches_offset);
    object->branch_count = header->branch_count;
    object->adjusts = (const struct ryn_call_adjust *)(base + header->call_adjusts_offset);
    object->adjust_count = header->call_adjust_count;
    object->sums = (const struct ryn_count_sum *)(base + header->sums_offset);
    object->sum_count = header->sum_count;
    object->counters = (volatile uint64_t *)(object->bias + header->counters_addr);
    object->counter_count = header->counter_count;
    object->indirects = (const struct ryn_indirect *)(base + header->indirects_offset);
    object->indirect_count = header->indirect_count;
    object->locks = (const uint64_t *)(base + header->locks_offset);
    object->lock_count = header->lock_count;
    object->counting = ryn_counting;
}

static void choose_program_name(void)
{
    if (ryn_settings.program[0] != '\0')
        return;
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) {
        ryn_strlcpy(ryn_settings.program, "a.out", sizeof ryn_settings.program);
        return;
    }
    exe[n] = '\0';
    ryn_strlcpy(ryn_settings.program, ryn_last_component(exe), sizeof ryn_settings.program);
}

/* Writes an int3 over each probe, one page at a time. A probe whose byte in
 * memory is not the one the table recorded belongs to another build and is
 * left alone. A counting object's counted blocks have their sites instead,
 * or none when their count is a sum of edges. */
static void plant(struct ryn_object *object)
{
    uint8_t page[4096];
    uint32_t i = 0;
    while (i < object->count) {
        uintptr_t start = (object->bias + object->probes[i].addr) & ~(uintptr_t)4095;
        if (ryn_read_code(start, page, sizeof page) != 0) {
            ++i;
            continue;
        }
        int changed = 0;
        for (; i < object->count; ++i) {
            uintptr_t at = object->bias + object->probes[i].addr;
            if (at - start >= sizeof page)
                break;
            uint8_t *byte = &page[at - start];
            if (object->counting && object->probes[i].counter != RYN_NO_COUNTER)
                continue;
            if (*byte == object->probes[i].original && object->probes[i].original != 0xCC) {
                *byte = 0xCC;
                changed = 1;
            }
        }
        if (changed)
            ryn_write_code(start, page, sizeof page);
    }
}

struct ryn_object *ryn_register_object(struct link_map *map, const struct ryn_probe_header *header, int is_main)
{
    const char *base = (const char *)header;
    const char *settings = base + header->settings_offset;
    if (is_main)
        read_main_settings(settings, header->settings_size);
    choose_program_name();

    struct ryn_object *object = NULL;
    for (int i = 0; i < RYN_MAX_OBJECTS && object == NULL; ++i)
        if (!ryn_objects[i].active && ryn_objects[i].map == NULL)
            object = &ryn_objects[i];
    if (object == NULL)
        return NULL;
    memset(object, 0, sizeof *object);

    object->probes = (const struct ryn_probe *)(base + header->probes_offset);
    object->count = header->probe_count;
    object->strings = base + header->strings_offset;
    object->strings_size = header->strings_size;
    object->bias = map->l_addr;
    object->map = map;
    memcpy(object->digest, header->digest, RYN_DIGEST_CHARS);
    take_counting_parts(object, header);
    if (!ryn_setting(settings, header->settings_size, "original", object->original, sizeof object->original))
        ryn_strlcpy(object->original, map->l_name, sizeof object->original);
    char datadir[PATH_MAX];
    if (!ryn_setting(settings, header->settings_size, "datadir", datadir, sizeof datadir))
        ryn_strlcpy(datadir, ".", sizeof datadir);
    resolve_data_path(object, datadir);

    if (object->count > 0) {
        size_t size = ((size_t)object->count + 4095) & ~(size_t)4095;
        void *memory = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED || ryn_data_attach(object) != 0) {
            if (memory != MAP_FAILED)
                munmap(memory, size);
            object->map = NULL;
            return NULL;
        }
        object->map_size = size;
        object->hits = memory;
        object->low = object->bias + object->probes[0].addr;
        object->high = object->bias + object->probes[object->count - 1].addr;
        ryn_arm_signals();
        if (object->counting) {
            ryn_plant_sites(object);
            ryn_drop_locks(object);
        }
        plant(object);
    }
    __atomic_store_n(&object->active, 1, __ATOMIC_RELEASE);
    atomic_fetch_add(&armed_objects, 1);
    return object;
}

struct ryn_object *ryn_object_of(struct link_map *map)
{
    for (int i = 0; i < RYN_MAX_OBJECTS; ++i)
        if (ryn_objects[i].active && ryn_objects[i].map == map)
            return &ryn_objects[i];
    return NULL;
}

void ryn_forget_object(struct link_map *map)
{
    struct ryn_object *object = ryn_object_of(map);
    if (object == NULL)
        return;
    __atomic_store_n(&object->active, 0, __ATOMIC_RELEASE);
    atomic_fetch_sub(&armed_objects, 1);
    if (object->map_size > 0)
        munmap((void *)object->hits, object->map_size);
    ryn_data_detach(object);
    object->hits = NULL;
    object->map = NULL;
}

int ryn_probes_armed(void)
{
    return atomic_load(&armed_objects) > 0;
}

/* Called from the SIGTRAP handler with the address of the int3. */
int ryn_take_probe(uintptr_t pc)
{
    for (int i = 0; i < RYN_MAX_OBJECTS; ++i) {
        struct ryn_object *object = &ryn_objects[i];
        if (!__atomic_load_n(&object->active, __ATOMIC_ACQUIRE) || pc < object->low || pc > object->high)
            continue;
        uint64_t addr = pc - object->bias;
        uint32_t low = ryn_lower_bound(object->probes, object->count, sizeof *object->probes, addr);
        if (low == object->count || object->probes[low].addr != addr || object->probes[low].original == 0xCC ||
            (object->counting && object->probes[low].counter != RYN_NO_COUNTER))
            continue;
        /* Another thread may have taken the probe already; putting the byte
         * back twice is harmless. */
        if (ryn_write_code(pc, &object->probes[low].original, 1) != 0)
            return 0;
        uint8_t expected = HIT_NONE;
        __atomic_compare_exchange_n(&object->hits[low], &expected, HIT_NEW, 0, __ATOMIC_RELAXED, __ATOMIC_RELAXED);
        return 1;
    }
    return 0;
}
