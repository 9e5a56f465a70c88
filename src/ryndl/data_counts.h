/* The parts of the data writer: what this process adds (data_counts.c) and
 * what the data file already holds (previous_data.c). Every function runs
 * inside the writer, perhaps in a signal handler: system calls only. */
#ifndef RYNDL_DATA_COUNTS_H
#define RYNDL_DATA_COUNTS_H

#include "runtime.h"

/* data_counts.c */
/* Reads every counter once and marks new hits as being written; returns
 * whether anything was counted since the last write. */
int ryn_counts_take(struct ryn_object *object);
/* Ends a write: what was taken is now in the file, or still due. */
void ryn_counts_settle(struct ryn_object *object, int in_file);
/* Counts taken since the last write. */
uint64_t ryn_block_delta(const struct ryn_object *object, uint32_t probe);
void ryn_branch_delta(const struct ryn_object *object, uint32_t branch, uint64_t *taken, uint64_t *not_taken);
uint64_t ryn_calls_delta(const struct ryn_object *object, uint32_t probe);
/* A fork child starts from zero: nothing its parent counted is its own. */
void ryn_counts_reset_after_fork(struct ryn_object *object);
/* The current value of a counter and its count since the last write. */
uint64_t ryn_counter_now(const struct ryn_object *object, uint32_t counter);
uint64_t ryn_counter_delta(const struct ryn_object *object, uint32_t counter);

/* previous_data.c */
/* A data file of the same build and format, read in the order it was
 * written: first every block, then every branch, then every call line. */
struct ryn_previous {
    const char *text;
    size_t size;
    const char *p;
    const char *end;
    int exact;
    int ok; /* every line so far was the expected one */
};
/* Maps and checks the file at the object's data path; 1 when it describes the
 * object's build line for line, 0 otherwise (nothing then stays mapped). */
int ryn_previous_open(struct ryn_previous *previous, const struct ryn_object *object);
void ryn_previous_close(struct ryn_previous *previous);
/* Passes a section's "branches <count>" or "calls <count>" line. */
void ryn_previous_skip_line(struct ryn_previous *previous);
/* The next line's counts; each checks that the line is the one expected. */
uint64_t ryn_previous_block(struct ryn_previous *previous, const struct ryn_probe *probe);
void ryn_previous_branch(struct ryn_previous *previous, const struct ryn_branch *branch, uint64_t *taken,
                         uint64_t *not_taken);
uint64_t ryn_previous_calls(struct ryn_previous *previous, uint64_t entry);
/* The indirect section: its count line, then each line in turn. */
struct ryn_indirect_line {
    uint64_t site, target, count;
    const char *path; /* path_length bytes in the file, no NUL */
    size_t path_length;
};
uint64_t ryn_previous_indirect_count(struct ryn_previous *previous);
void ryn_previous_indirect(struct ryn_previous *previous, struct ryn_indirect_line *line);

/* indirect_data.c: writes the "indirect" section of the object's data,
 * this run's targets added to the previous file's (NULL: none), through
 * `out` (which takes text). */
void ryn_write_indirect(struct ryn_object *object, struct ryn_previous *previous,
                        void (*out)(const char *text, size_t length));

#endif
