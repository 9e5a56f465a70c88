/* The text of each kind of heap error and the stacks it shows. */
#include "memvex.h"

const char *mv_family_name(enum mv_family family)
{
    switch (family) {
    case MV_NEW: return "new";
    case MV_NEW_ARRAY: return "new[]";
    case MV_NEW_ALIGNED: return "aligned new";
    case MV_NEW_ARRAY_ALIGNED: return "aligned new[]";
    default: return "malloc";
    }
}

/* Description texts are short; a fixed buffer on the stack holds them. */
struct description {
    char text[320];
    struct ryn_out out;
};

static struct ryn_out *begin(struct description *d)
{
    ryn_out_init(&d->out, -1, d->text, sizeof d->text);
    return &d->out;
}

static void block_phrase(struct ryn_out *out, const struct mv_block *block)
{
    ryn_out_str(out, "block of ");
    ryn_out_udec(out, block->size);
    ryn_out_str(out, " bytes at ");
    ryn_out_hex(out, block->user);
}

static void send(const char *kind, struct description *d, uint32_t stack, const struct mv_block *block,
                 int with_free_stack)
{
    struct cs_error error = {.kind = kind, .description = ryn_out_text(&d->out)};
    if (stack != 0) {
        error.stacks[error.stack_count].title = NULL;
        error.stacks[error.stack_count++].id = stack;
    }
    if (block != NULL) {
        error.stacks[error.stack_count].title = "allocated at";
        error.stacks[error.stack_count++].id = block->alloc_stack;
        if (with_free_stack) {
            error.stacks[error.stack_count].title = "freed at";
            error.stacks[error.stack_count++].id = block->free_stack;
        }
    }
    cs_report(&error);
}

void mv_report_overflow_write(const struct mv_block *block, uint32_t stack, int before, size_t distance)
{
    struct description d;
    struct ryn_out *out = begin(&d);
    ryn_out_str(out, "red zone ");
    ryn_out_str(out, before ? "before" : "after");
    ryn_out_str(out, " the ");
    block_phrase(out, block);
    ryn_out_str(out, " damaged at ");
    ryn_out_hex(out, before ? block->user - distance : block->user + block->size + distance);
    ryn_out_str(out, " (");
    ryn_out_udec(out, before ? distance : distance + 1);
    ryn_out_str(out, before ? " bytes before its start)" : " bytes past its end)");
    send("overflow-write", &d, stack, block, 0);
}

void mv_report_double_free(const struct mv_block *block, uint32_t stack, const char *what)
{
    struct description d;
    struct ryn_out *out = begin(&d);
    ryn_out_str(out, what);
    ryn_out_str(out, " of ");
    ryn_out_hex(out, block->user);
    ryn_out_str(out, ": the ");
    block_phrase(out, block);
    ryn_out_str(out, " was freed already");
    send("double-free", &d, stack, block, 1);
}

void mv_report_invalid_free(uintptr_t pointer, uint32_t stack, const char *what)
{
    struct description d;
    struct ryn_out *out = begin(&d);
    ryn_out_str(out, what);
    ryn_out_str(out, " of ");
    ryn_out_hex(out, pointer);
    ryn_out_str(out, ", which was never allocated");
    send("invalid-free", &d, stack, NULL, 0);
}

void mv_report_interior_free(uintptr_t pointer, const struct mv_block *block, uint32_t stack, const char *what)
{
    struct description d;
    struct ryn_out *out = begin(&d);
    ryn_out_str(out, what);
    ryn_out_str(out, " of ");
    ryn_out_hex(out, pointer);
    ryn_out_str(out, ", ");
    ryn_out_udec(out, pointer - block->user);
    ryn_out_str(out, " bytes inside the ");
    block_phrase(out, block);
    if (block->state != MV_LIVE)
        ryn_out_str(out, " (already freed)");
    send("interior-free", &d, stack, block, block->state != MV_LIVE);
}

void mv_report_mismatched_free(const struct mv_block *block, uint32_t stack, const char *what)
{
    struct description d;
    struct ryn_out *out = begin(&d);
    ryn_out_str(out, what);
    ryn_out_str(out, " of the ");
    block_phrase(out, block);
    ryn_out_str(out, ", which was allocated with ");
    ryn_out_str(out, mv_family_name((enum mv_family)block->family));
    send("mismatched-free", &d, stack, block, 0);
}

void mv_report_write_after_free(const struct mv_block *block, size_t offset)
{
    struct description d;
    struct ryn_out *out = begin(&d);
    ryn_out_str(out, "freed ");
    block_phrase(out, block);
    ryn_out_str(out, " was written at ");
    ryn_out_hex(out, block->user + offset);
    ryn_out_str(out, " (offset ");
    ryn_out_udec(out, offset);
    ryn_out_str(out, ") while in quarantine");
    send("write-after-free", &d, 0, block, 1);
}
