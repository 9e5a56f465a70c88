// Library names without their version, file lists, and the component name.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "driver/ryn_util/unique_file.h"
#include "ryn/exec_util.h"

// Only one numeric component right after ".so" is removed: libm.so.2 and
// "libm.so." lose it, libm.so.2.1 and libm.so.x keep theirs.
char* ExecUtil::remove_version_from_shlib_name(char* name) {
    if (!name) {
        return nullptr;
    }
    char* dot = strrchr(name, '.');
    if (!dot || dot - name < 4 || strncmp(dot - 3, ".so", 3) != 0) {
        return name;
    }
    for (const char* c = dot + 1; *c; ++c) {
        if (!isdigit(static_cast<unsigned char>(*c))) {
            return name;
        }
    }
    *dot = '\0';
    return name;
}

void ExecUtil::read_instr_log(const char* path, ArgCache* list) {
    const ryn::UniqueFile stream(fopen(path, "r"));
    if (!stream) {
        fatal(errno, "Trouble opening file list %s\n", path);
    }
    // A line longer than the buffer arrives as several pieces, each an entry.
    char piece[1024];
    while (fgets(piece, sizeof piece, stream.get())) {
        piece[strcspn(piece, "\n")] = '\0';
        if (piece[0] != '\0') {
            list->add_arg(piece);
        }
    }
    if (ferror(stream.get())) {
        fatal(errno, "Trouble reading file list %s\n", path);
    }
}

void ExecUtil::set_component(const char* name) { component = name ? name : ""; }
