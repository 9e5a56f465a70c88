/* Symbolisation of return addresses with libdw, in process. Runs on report
 * paths only, under the report lock, with the re-entrancy guard held so that
 * libdw's own allocations go straight to the C library. */
#define _GNU_SOURCE /* dl_iterate_phdr */
#include "checker_support.h"

#include <dlfcn.h>
#include <link.h>
#include <elfutils/libdwfl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static char *debuginfo_path;
static const Dwfl_Callbacks callbacks = {
    .find_elf = dwfl_linux_proc_find_elf,
    .find_debuginfo = dwfl_standard_find_debuginfo,
    .debuginfo_path = &debuginfo_path,
};
static Dwfl *session;

/* C++ names read better demangled: the C++ runtime's demangler is used when
 * the program has it loaded, looked up with each session since a library
 * closed since may have taken it away. */
typedef char *(*demangler)(const char *, char *, size_t *, int *);
static demangler cxa_demangle;

/* The loader's counts of objects added and removed when the session read the
 * maps. Once either moves, an address may belong to another object than the
 * session knows (a dlclose frees a place the next dlopen can take), so the
 * session is read again. */
struct load_counts {
    unsigned long long adds;
    unsigned long long subs;
};
static struct load_counts session_counts;

static int read_load_counts(struct dl_phdr_info *info, size_t size, void *data)
{
    (void)size;
    struct load_counts *counts = data;
    counts->adds = info->dlpi_adds;
    counts->subs = info->dlpi_subs;
    return 1;
}

static void end_session(void)
{
    if (session != NULL)
        dwfl_end(session);
    session = NULL;
}

static Dwfl *current_session(void)
{
    struct load_counts now = {0, 0};
    dl_iterate_phdr(read_load_counts, &now);
    if (session != NULL && (now.adds != session_counts.adds || now.subs != session_counts.subs))
        end_session();
    if (session != NULL)
        return session;
    session = dwfl_begin(&callbacks);
    if (session == NULL)
        return NULL;
    dwfl_report_begin(session);
    if (dwfl_linux_proc_report(session, getpid()) != 0) {
        end_session();
        return NULL;
    }
    dwfl_report_end(session, NULL, NULL);
    session_counts = now;
    cxa_demangle = (demangler)dlsym(RTLD_DEFAULT, "__cxa_demangle");
    return session;
}

/* The demangler's result comes from malloc under the guard. */
static void demangle(char *name, size_t size)
{
    if (strncmp(name, "_Z", 2) != 0 || cxa_demangle == NULL)
        return;
    int status = -1;
    char *plain = cxa_demangle(name, NULL, NULL, &status);
    if (plain != NULL && status == 0)
        ryn_strlcpy(name, plain, size);
    free(plain);
}

void cs_symbolize(uintptr_t pc, struct cs_frame *frame)
{
    memset(frame, 0, sizeof *frame);
    frame->pc = pc;
    ++cs_in_runtime;
    /* A return address points after the call; the call's line is one byte back. */
    uintptr_t address = pc > 0 ? pc - 1 : pc;
    Dwfl *dwfl = current_session();
    Dwfl_Module *module = dwfl ? dwfl_addrmodule(dwfl, address) : NULL;
    if (module != NULL) {
        Dwarf_Addr start = 0;
        const char *name = dwfl_module_info(module, NULL, &start, NULL, NULL, NULL, NULL, NULL);
        if (name != NULL)
            ryn_strlcpy(frame->object, name, sizeof frame->object);
        frame->offset = pc - start;
        const char *function = dwfl_module_addrname(module, address);
        if (function != NULL) {
            ryn_strlcpy(frame->function, function, sizeof frame->function);
            /* "name@@VERSION" from the dynamic symbol table: the name is enough. */
            char *version = strchr(frame->function, '@');
            if (version != NULL && version != frame->function)
                *version = '\0';
            demangle(frame->function, sizeof frame->function);
        }
        Dwfl_Line *line = dwfl_module_getsrc(module, address);
        int number = 0;
        const char *file = line ? dwfl_lineinfo(line, NULL, &number, NULL, NULL, NULL) : NULL;
        if (file != NULL && number > 0) {
            ryn_strlcpy(frame->file, file, sizeof frame->file);
            frame->line = number;
        }
    }
    --cs_in_runtime;
}
