// Library names without their version, file lists, and the component name.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "driver/ryn_util/list_file.h"
#include "driver/ryn_util/unique_file.h"
#include "i18n/driver_texts.h"
#include "ryn/exec_util.h"

namespace ryn {

bool for_each_list_line(FILE* file, const std::function<void(std::string_view)>& each) {
    char piece[1024];
    while (fgets(piece, sizeof piece, file)) {
        std::string_view line(piece);
        if (line.ends_with('\n')) {
            line.remove_suffix(1);
        }
        each(line);
    }
    return ferror(file) == 0;
}

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
        fatal(errno, driver_text(DriverText::CANNOT_OPEN_FILE_LIST), path);
    }
    const bool read = ryn::for_each_list_line(stream.get(), [list](std::string_view line) {
        if (!line.empty()) {
            list->add_arg(std::string(line));
        }
    });
    if (!read) {
        fatal(errno, driver_text(DriverText::CANNOT_READ_FILE_LIST), path);
    }
}

void ExecUtil::set_component(const char* name) { component = name ? name : ""; }

}  // namespace ryn
