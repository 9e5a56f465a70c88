#include "function_order_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "driver/ryn_util/unique_fd.h"
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

void write_order_file(const std::string& path, const std::string& text) {
    const size_t slash = path.rfind('/');
    std::string temp = (slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash)) +
                       "/.morphel-order.XXXXXX";
    ryn::UniqueFd fd(mkstemp(temp.data()));
    if (!fd.valid()) {
        fail_with_errno("cannot create " + path, errno);
    }
    const mode_t mask = umask(0);
    umask(mask);
    const bool written = ryn::write_all(fd.get(), text) && fchmod(fd.get(), 0666 & ~mask) == 0 &&
                         close(fd.release()) == 0;
    if (!written || rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        unlink(temp.c_str());
        fail_with_errno("cannot write " + path, err);
    }
}

void remove_order_file(const std::string& path) {
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        fail_with_errno("cannot remove " + path, errno);
    }
}

}  // namespace morphel
