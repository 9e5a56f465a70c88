/* Symbolisation of return addresses with libdw, in process. Runs on report
 * paths only, under the report lock, with the re-entrancy guard held so that
 * libdw's own allocations go straight to the C library. */
#include "checker_support.h"

#include <dlfcn.h>
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

static Dwfl *open_session(void)
{
    if (session != NULL)
        return session;
    session = dwfl_begin(&callbacks);
    if (session == NULL)
        return NULL;
    dwfl_report_begin(session);
    if (dwfl_linux_proc_report(session, getpid()) != 0) {
        dwfl_end(session);
        session = NULL;
        return NULL;
    }
    dwfl_report_end(session, NULL, NULL);
    return session;
}

void cs_symbolizer_reset(void)
{
    ++cs_in_runtime;
    if (session != NULL)
        dwfl_end(session);
    session = NULL;
    --cs_in_runtime;
}

static Dwfl_Module *module_of(uintptr_t address)
{
    Dwfl *dwfl = open_session();
    Dwfl_Module *module = dwfl ? dwfl_addrmodule(dwfl, address) : NULL;
    if (module == NULL && dwfl != NULL) {
        /* Loaded after the session began (dlopen): read the maps again. */
        cs_symbolizer_reset();
        ++cs_in_runtime;
        dwfl = open_session();
        module = dwfl ? dwfl_addrmodule(dwfl, address) : NULL;
        --cs_in_runtime;
    }
    return module;
}

/* C++ names read better demangled; the C++ runtime's demangler is used when
 * the program has it loaded. Its result comes from malloc under the guard. */
static void demangle(char *name, size_t size)
{
    typedef char *(*demangler)(const char *, char *, size_t *, int *);
    static demangler cxa_demangle;
    static int looked;
    if (strncmp(name, "_Z", 2) != 0)
        return;
    if (!looked) {
        cxa_demangle = (demangler)dlsym(RTLD_DEFAULT, "__cxa_demangle");
        looked = 1;
    }
    if (cxa_demangle == NULL)
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
    Dwfl_Module *module = module_of(address);
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
