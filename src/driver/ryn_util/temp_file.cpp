#include "driver/ryn_util/temp_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace ryn {

namespace {

constexpr size_t k_prefix_max = 5;

bool is_directory(const char* path) {
    struct stat st {};
    return path && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

const char* temp_directory(const char* dir) {
    if (const char* tmpdir = secure_getenv("TMPDIR"); is_directory(tmpdir)) {
        return tmpdir;
    }
    if (is_directory(dir)) {
        return dir;
    }
    if (is_directory(P_tmpdir)) {
        return P_tmpdir;
    }
    return is_directory("/tmp") ? "/tmp" : nullptr;
}

}  // namespace

TempFile create_temp_file(const char* dir, const char* prefix) {
    TempFile file;
    const char* chosen = temp_directory(dir);
    if (!chosen) {
        errno = ENOENT;
        return file;
    }
    std::string_view directory(chosen);
    while (directory.size() > 1 && directory.back() == '/') {
        directory.remove_suffix(1);
    }
    file.path = std::string(directory) + "/" +
                std::string(std::string_view(prefix).substr(0, k_prefix_max)) + "XXXXXX";
    file.fd.reset(mkstemp(file.path.data()));
    return file;
}

}  // namespace ryn
