/* Helpers shared by the runtimes that live inside instrumented programs: the
 * probe table a copy carries, the settings text inside it, and text
 * formatting that neither allocates nor touches stdio or the locale, so that
 * it can run in a signal handler or inside malloc. */
#ifndef RYN_RUNTIME_COMMON_H
#define RYN_RUNTIME_COMMON_H

#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <link.h>
#include <stddef.h>
#include <stdint.h>

#include "ryn/probe_format.h"

#ifdef __cplusplus
extern "C" {
#endif

/* probe_table.c */
/* The table of a loaded object, or NULL when it carries none (or a damaged
 * one). The main program's headers come from the auxiliary vector. */
const struct ryn_probe_header *ryn_find_table(struct link_map *map, int is_main);
/* The main program's table, found without the dynamic linker's help. */
const struct ryn_probe_header *ryn_find_main_table(void);
/* The index of the first of count records, stride bytes apart and ascending
 * by the uint64_t each begins with (an address), whose address is not below
 * key; count when there is none. */
uint32_t ryn_lower_bound(const void *records, uint32_t count, size_t stride, uint64_t key);
/* The settings text of a table and its length. */
const char *ryn_table_settings(const struct ryn_probe_header *header, size_t *size);

/* settings.c */
/* Copies the value of `key` from a settings text into out; 0 when absent or
 * too long for out. */
int ryn_setting(const char *text, size_t size, const char *key, char *out, size_t out_size);
/* Calls visit for every "ryninfo <N> <value>" line, in text order, with the
 * value NUL-terminated in a scratch buffer; lines too long for it are skipped. */
typedef void (*ryn_record_visitor)(long record, const char *value, void *context);
void ryn_for_each_record(const char *text, size_t size, ryn_record_visitor visit, void *context);

/* text.c */
size_t ryn_strlcpy(char *out, const char *in, size_t size);
size_t ryn_strlcat(char *out, const char *in, size_t size);
/* Writes value backwards ending just before `end`; returns the first digit. */
char *ryn_format_u64(char *end, uint64_t value, unsigned base);
const char *ryn_last_component(const char *path);

/* A text buffer on the caller's storage that writes to a descriptor when full
 * and on ryn_out_flush. fd < 0 collects only (the text stays in buf, cut at
 * its size). */
struct ryn_out {
    int fd;
    char *buf;
    size_t size;
    size_t used;
};
void ryn_out_init(struct ryn_out *out, int fd, char *buf, size_t size);
void ryn_out_str(struct ryn_out *out, const char *text);
void ryn_out_mem(struct ryn_out *out, const char *text, size_t length);
void ryn_out_char(struct ryn_out *out, char c);
void ryn_out_dec(struct ryn_out *out, int64_t value);
void ryn_out_udec(struct ryn_out *out, uint64_t value);
void ryn_out_hex(struct ryn_out *out, uint64_t value); /* "0x" and lowercase digits */
void ryn_out_flush(struct ryn_out *out);
/* NUL-terminates the collected text (fd < 0) and returns it. */
const char *ryn_out_text(struct ryn_out *out);
/* write(2) until done or a real error. */
void ryn_write_all(int fd, const char *text, size_t length);

#ifdef __cplusplus
}
#endif

#endif
