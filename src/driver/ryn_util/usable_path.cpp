#include "driver/ryn_util/usable_path.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "i18n/driver_texts.h"
#include "ryn/exec_util.h"

namespace ryn {

bool has_newline(std::string_view path) { return path.find('\n') != std::string_view::npos; }

UniqueFd open_regular_file(const char* path, int flags, bool* not_regular) {
    const auto refuse = [&] {
        if (not_regular != nullptr) {
            *not_regular = true;
        }
        errno = EINVAL;
        return UniqueFd();
    };
    struct stat st;
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        return refuse();
    }
    UniqueFd fd(open(path, flags | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        return fd;
    }
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return refuse();
    }
    // Reads of a regular file never block anyway; leave the flags as asked.
    fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    return fd;
}

void require_single_line_path(ExecUtil& util, const char* path) {
    if (has_newline(path)) {
        util.fatal(0, driver_text(DriverText::PATH_HAS_NEWLINE), path);
    }
}

void require_usable_check_file(ExecUtil& util, const char* path) {
    require_single_line_path(util, path);
    struct stat st;
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        util.fatal(0, driver_text(DriverText::CHECK_FILE_NOT_REGULAR), path);
    }
}

void require_usable_target(ExecUtil& util, const char* path) {
    require_single_line_path(util, path);
    struct stat st;
    if (stat(path, &st) != 0) {
        util.fatal(errno, get_msg(MORPHEL_NO_FILE_ACCESS), path);
    }
    if (!S_ISREG(st.st_mode)) {
        util.fatal(0, get_msg(RYN_E_NOT_BINARY), path);
    }
}

}  // namespace ryn
