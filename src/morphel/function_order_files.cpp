#include "function_order_files.h"

#include <unistd.h>

#include <cerrno>

#include "engine_error.h"

namespace morphel {

std::string section_order_text(const coverage::HotFunctions& hot) {
    // The linker reads '#' lines as comments. Only code compiled with
    // -ffunction-sections has a section per function to order.
    std::string text =
        "# Hot functions first: link with -ffunction-sections objects and\n"
        "# -fuse-ld=gold -Wl,--section-ordering-file,<this file>\n";
    for (const coverage::FunctionWork& function : hot.order) {
        text += ".text." + function.name + "\n";
    }
    return text;
}

std::string symbol_order_text(const coverage::HotFunctions& hot) {
    std::string text;
    for (const coverage::FunctionWork& function : hot.order) {
        text += function.name + "\n";
    }
    return text;
}

void remove_order_file(const std::string& path) {
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        fail_with_errno("cannot remove " + path, errno);
    }
}

}  // namespace morphel
