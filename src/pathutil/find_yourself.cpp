// Finding the directory of the running executable from the name it was
// invoked under, the working directory and PATH, following symbolic links.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "ryn/pathutil.h"

namespace {

constexpr size_t k_path_buffer = 1025;
// A cycle of links must fail rather than loop.
constexpr int k_max_links_followed = 64;

char working_dir[k_path_buffer];
char exec_dir[k_path_buffer];
char cmd_name[k_path_buffer];
// "PWD=..." assignments, used alternately so that the one the environment
// points at is never overwritten.
char pwd_assignment[2][k_path_buffer + 4];

bool store(char (&buffer)[k_path_buffer], std::string_view text) {
    if (text.size() >= k_path_buffer) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return true;
}

// Remembers the working directory. PWD is trusted when it names the current
// directory (it keeps the user's spelling through symbolic links); otherwise
// getcwd decides, and a stale PWD is corrected in the environment.
int getpwd() {
    const char* pwd = getenv("PWD");
    if (pwd && fyuIscwd(pwd) == 1 && store(working_dir, pwd)) {
        return 0;
    }
    char current[k_path_buffer];
    if (!getcwd(current, sizeof current)) {
        return -1;
    }
    store(working_dir, current);
    if (pwd) {
        char* spare = pwd == pwd_assignment[0] + 4 ? pwd_assignment[1] : pwd_assignment[0];
        snprintf(spare, sizeof pwd_assignment[0], "PWD=%s", current);
        putenv(spare);
    }
    return 0;
}

std::optional<std::string> fail(int error) {
    errno = error;
    return std::nullopt;
}

// The directory holding the executable `dir`/`name` once every symbolic link
// on the way has been followed.
std::optional<std::string> resolve(std::string_view dir, std::string_view name) {
    if (dir.size() + name.size() + 2 > 1024) {
        return fail(ENAMETOOLONG);
    }
    std::string path = std::string(dir) + "/" + std::string(name);
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    if (S_ISDIR(info.st_mode)) {
        return fail(EISDIR);
    }
    if (!(info.st_mode & S_IXUSR)) {
        return fail(EACCES);
    }
    for (int followed = 0;; ++followed) {
        char target[1024];
        const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
        if (length < 0) {
            if (errno != EINVAL) {
                return std::nullopt;
            }
            break;
        }
        if (followed == k_max_links_followed) {
            return fail(ELOOP);
        }
        const std::string_view link(target, static_cast<size_t>(length));
        if (!link.empty() && link[0] == '/') {
            path = link;
        } else {
            path.replace(path.rfind('/') + 1, std::string::npos, link);
        }
        if (path.size() >= 1024) {
            return fail(ENAMETOOLONG);
        }
    }
    const size_t slash = path.rfind('/');
    std::string found = slash == 0 ? std::string("/") : path.substr(0, slash);
    if (found.size() >= 2 && found.compare(found.size() - 2, 2, "/.") == 0) {
        found.resize(found.size() - 2);
    }
    return found;
}

// A relative directory, an empty PATH element included, counts from the
// working directory.
std::optional<std::string> resolve_from(const char* wd, std::string_view dir,
                                        std::string_view name) {
    if (dir.empty()) {
        return resolve(wd, name);
    }
    if (dir[0] == '/') {
        return resolve(dir, name);
    }
    return resolve(std::string(wd) + "/" + std::string(dir), name);
}

std::optional<std::string> search(const char* name, char* wd, const char* path_list) {
    if (!name || !*name || !wd) {
        return fail(EINVAL);
    }
    if (wd[0] != '/' && !getcwd(wd, k_path_buffer)) {
        return std::nullopt;
    }
    std::string_view bare(name);
    while (!bare.empty() && bare.back() == '/') {
        bare.remove_suffix(1);
    }
    if (!bare.empty() && bare[0] == '/') {
        while (!bare.empty() && bare[0] == '/') {
            bare.remove_prefix(1);
        }
        return resolve("", bare);
    }
    if (bare.find('/') != std::string_view::npos) {
        return resolve(wd, bare);
    }
    if (!path_list || !*path_list) {
        return resolve_from(wd, ".", bare);
    }
    std::string_view elements(path_list);
    for (;;) {
        const size_t colon = elements.find(':');
        const std::string_view element = elements.substr(0, colon);
        if (std::optional<std::string> found = resolve_from(wd, element, bare)) {
            return found;
        }
        if (colon == std::string_view::npos) {
            return std::nullopt;
        }
        elements.remove_prefix(colon + 1);
    }
}

}  // namespace

extern "C" const char* fyuFindExecDir(const char* invocation_name, const char* working) {
    if (exec_dir[0]) {
        return exec_dir;
    }
    if (working && working[0] == '/' && fyuIscwd(working) == 1) {
        fyuSaveWorkingDir(working);
    } else if (!fyuGetWorkingDir()) {
        return nullptr;
    }
    std::optional<std::string> found;
    try {
        found = search(invocation_name, working_dir, getenv("PATH"));
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
    }
    // The name is kept only with the directory it led to, so that the two
    // never describe different searches.
    if (!found || !store(exec_dir, *found) || !store(cmd_name, invocation_name)) {
        exec_dir[0] = '\0';
        cmd_name[0] = '\0';
        return nullptr;
    }
    return exec_dir;
}

extern "C" const char* fyuGetExecDir(void) { return exec_dir[0] ? exec_dir : nullptr; }

extern "C" const char* fyuGetCmdName(void) {
    return exec_dir[0] && cmd_name[0] ? cmd_name : nullptr;
}

extern "C" const char* fyuGetWorkingDir(void) {
    if (!working_dir[0] && getpwd() != 0) {
        return nullptr;
    }
    return working_dir;
}

extern "C" void fyuSaveWorkingDir(const char* path) {
    if (!path || !store(working_dir, path)) {
        working_dir[0] = '\0';
    }
}

extern "C" int fyuChdir(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (chdir(path) != 0) {
        return -1;
    }
    return getpwd();
}

extern "C" int fyuIscwd(const char* path) {
    struct stat named {};
    struct stat current {};
    if (!path || stat(path, &named) != 0 || stat(".", &current) != 0) {
        return -1;
    }
    return named.st_dev == current.st_dev && named.st_ino == current.st_ino ? 1 : 0;
}
