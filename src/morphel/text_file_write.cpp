#include "text_file_write.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "driver/ryn_util/unique_fd.h"
#include "engine_error.h"

namespace morphel {

void write_text_file(const std::string& path, const std::string& text) {
    const size_t slash = path.rfind('/');
    std::string temp = (slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash)) +
                       "/.morphel-new.XXXXXX";
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

}  // namespace morphel
