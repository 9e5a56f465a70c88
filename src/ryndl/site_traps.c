/* The counting way: writes the sites of an object when it is loaded, and
 * handles the persistent traps. A trap is never taken away: each hit adds to
 * its counters and resumes where the original instruction would have gone. */
#include "runtime.h"

#include <string.h>
#include <ucontext.h>

#define PAGE 4096u
#define JUMP_LENGTH 5u

/* Whether condition cc (the low nibble of a jcc's opcode) holds for the
 * flags. */
static int condition_holds(unsigned cc, uint64_t flags)
{
    int cf = flags & 1, pf = (flags >> 2) & 1, zf = (flags >> 6) & 1, sf = (flags >> 7) & 1, of = (flags >> 11) & 1;
    int holds;
    switch ((cc >> 1) & 7) {
    case 0: holds = of; break;
    case 1: holds = cf; break;
    case 2: holds = zf; break;
    case 3: holds = cf | zf; break;
    case 4: holds = sf; break;
    case 5: holds = pf; break;
    case 6: holds = sf != of; break;
    default: holds = zf | (sf != of); break;
    }
    return (cc & 1) ? !holds : holds;
}

/* The bytes a site's patch puts at its address. */
static size_t site_patch(const struct ryn_site *site, uint8_t *patch)
{
    if (site->kind != RYN_SITE_JUMP) {
        patch[0] = 0xCC;
        return 1;
    }
    int32_t rel = (int32_t)(site->target - (site->addr + JUMP_LENGTH));
    patch[0] = 0xE9;
    memcpy(patch + 1, &rel, sizeof rel);
    return JUMP_LENGTH;
}

static int site_is_sound(const struct ryn_site *site)
{
    if (site->kind == RYN_SITE_JUMP)
        return site->length >= JUMP_LENGTH;
    return site->kind == RYN_SITE_TRAP || site->kind == RYN_SITE_BRANCH_TRAP;
}

/* Writes every site, one page at a time; a patch that crosses into the next
 * page is written on its own. A site whose first byte in memory is not the
 * file's belongs to another build and is left alone. */
void ryn_plant_sites(struct ryn_object *object)
{
    uint8_t page[PAGE];
    uint32_t i = 0;
    while (i < object->site_count) {
        uintptr_t start = (object->bias + object->sites[i].addr) & ~(uintptr_t)(PAGE - 1);
        if (ryn_read_code(start, page, sizeof page) != 0) {
            ++i;
            continue;
        }
        int changed = 0;
        for (; i < object->site_count; ++i) {
            const struct ryn_site *site = &object->sites[i];
            uintptr_t at = object->bias + site->addr;
            if (at - start >= sizeof page)
                break;
            uint8_t patch[JUMP_LENGTH];
            size_t length = site_patch(site, patch);
            if (!site_is_sound(site) || page[at - start] != site->original)
                continue;
            if (at - start + length <= sizeof page) {
                memcpy(&page[at - start], patch, length);
                changed = 1;
                continue;
            }
            uint8_t first;
            if (ryn_read_code(at, &first, 1) == 0 && first == site->original && ryn_write_code(at, patch, length) == 0)
                /* The page is written back whole below: keep the head. */
                memcpy(&page[at - start], patch, sizeof page - (at - start));
        }
        if (changed)
            ryn_write_code(start, page, sizeof page);
    }
}

static void add_one(struct ryn_object *object, uint32_t counter)
{
    if (counter != RYN_NO_COUNTER && counter < object->counter_count)
        __atomic_add_fetch(&object->counters[counter], 1, __ATOMIC_RELAXED);
}

/* The trapped indirect call or jump's target: its operand evaluated on the
 * registers the trap saved (the instruction would read the same memory). */
static uint64_t indirect_target(const struct ryn_indirect *site, const ucontext_t *uc, uintptr_t pc)
{
    static const int greg[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP, REG_RSI, REG_RDI,
                                 REG_R8,  REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15};
    const greg_t *regs = uc->uc_mcontext.gregs;
    uint64_t addr = (uint64_t)(int64_t)site->disp;
    if (site->base == RYN_REG_RIP)
        addr += pc + site->length;
    else if (site->base < 16)
        addr += (uint64_t)regs[greg[site->base]];
    if (!site->memory)
        return addr - (uint64_t)(int64_t)site->disp;
    if (site->index < 16)
        addr += (uint64_t)regs[greg[site->index]] * site->scale;
    uint64_t target;
    memcpy(&target, (const void *)(uintptr_t)addr, sizeof target);
    return target;
}

/* Counts the target in the site's slots, as the trampolines do. */
static void record_indirect(struct ryn_object *object, uint64_t addr, const ucontext_t *uc, uintptr_t pc)
{
    uint32_t at = ryn_lower_bound(object->indirects, object->indirect_count, sizeof *object->indirects, addr);
    if (at == object->indirect_count || object->indirects[at].addr != addr)
        return;
    const struct ryn_indirect *site = &object->indirects[at];
    if (site->slots > object->counter_count || object->counter_count - site->slots < RYN_INDIRECT_COUNTERS)
        return;
    uint64_t target = indirect_target(site, uc, pc);
    volatile uint64_t *counts = object->counters + site->slots;
    volatile uint64_t *targets = counts + RYN_INDIRECT_SLOTS + 1;
    for (uint32_t k = 0; target != 0 && k < RYN_INDIRECT_SLOTS; ++k) {
        uint64_t seen = __atomic_load_n(&targets[k], __ATOMIC_RELAXED);
        /* A failed exchange leaves in seen the target another thread put. */
        if (seen == 0 && __atomic_compare_exchange_n(&targets[k], &seen, target, 0, __ATOMIC_RELAXED, __ATOMIC_RELAXED))
            seen = target;
        if (seen == target) {
            __atomic_add_fetch(&counts[k], 1, __ATOMIC_RELAXED);
            return;
        }
    }
    __atomic_add_fetch(&counts[RYN_INDIRECT_SLOTS], 1, __ATOMIC_RELAXED);
}

/* Called from the SIGTRAP handler with the address of the int3. */
int ryn_take_site(uintptr_t pc, void *context)
{
    ucontext_t *uc = context;
    for (int i = 0; i < RYN_MAX_OBJECTS; ++i) {
        struct ryn_object *object = &ryn_objects[i];
        if (!__atomic_load_n(&object->active, __ATOMIC_ACQUIRE) || !object->counting || object->site_count == 0 ||
            pc < object->bias)
            continue;
        uint64_t addr = pc - object->bias;
        uint32_t low = ryn_lower_bound(object->sites, object->site_count, sizeof *object->sites, addr);
        if (low == object->site_count || object->sites[low].addr != addr)
            continue;
        const struct ryn_site *site = &object->sites[low];
        if (site->kind == RYN_SITE_TRAP) {
            add_one(object, site->counter);
            record_indirect(object, addr, uc, pc);
            uc->uc_mcontext.gregs[REG_RIP] = (greg_t)(object->bias + site->target);
            return 1;
        }
        if (site->kind == RYN_SITE_BRANCH_TRAP) {
            add_one(object, site->counter);
            uint64_t flags = (uint64_t)uc->uc_mcontext.gregs[REG_EFL];
            int taken = condition_holds(site->condition, flags);
            add_one(object, taken ? site->taken_counter : site->not_taken_counter);
            uc->uc_mcontext.gregs[REG_RIP] = (greg_t)(object->bias + (taken ? site->target : site->fallthrough));
            return 1;
        }
    }
    return 0;
}
