// Lexical path clean-up that still resolves ".." through symbolic links: a
// ".." after a link leads to the parent of the link's target, not of the link.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ryn/pathutil.h"

namespace {

constexpr size_t k_max_result = 1024;
constexpr size_t k_lookup_cache_size = 5;
// Links that lead back to themselves would otherwise be substituted forever.
constexpr int k_max_link_substitutions = 64;

struct Lookup {
    std::string path;
    bool exists = false;
    std::optional<std::string> link_target;  // set for a readable symbolic link
};

// Newest first. Entries go stale when files change; canonicalizeReset drops them.
std::vector<Lookup> lookup_cache;

const Lookup& look_up(const std::string& path) {
    for (const Lookup& entry : lookup_cache) {
        if (entry.path == path) {
            return entry;
        }
    }
    if (lookup_cache.size() == k_lookup_cache_size) {
        lookup_cache.pop_back();
    }
    Lookup entry;
    entry.path = path;
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0) {
        entry.exists = true;
        if (S_ISLNK(info.st_mode)) {
            char target[1024];
            const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
            if (length >= 0) {
                entry.link_target.emplace(target, static_cast<size_t>(length));
            }
        }
    }
    lookup_cache.insert(lookup_cache.begin(), std::move(entry));
    return lookup_cache.front();
}

bool ends_component(std::string_view text, size_t pos) {
    return pos >= text.size() || text[pos] == '/';
}

// The canonical form, or nothing when a ".." cannot be resolved (its prefix
// does not exist, a link keeps leading back, or the result grows too long).
std::optional<std::string> canonical_form(std::string input) {
    std::string out;
    size_t floor = 0;  // ".." never removes anything below this position
    size_t pos = 0;
    if (!input.empty() && input[0] == '/') {
        out = "/";
        floor = 1;
    }
    int substitutions = 0;
    while (pos < input.size()) {
        while (pos < input.size() && input[pos] == '/') {
            ++pos;
        }
        if (pos >= input.size()) {
            break;
        }
        if (input[pos] == '.' && ends_component(input, pos + 1)) {
            ++pos;
            continue;
        }
        if (input.compare(pos, 2, "..") == 0 && ends_component(input, pos + 2)) {
            pos += 2;
            if (out.size() > floor) {
                // out holds ".../name/": look up ".../name".
                const std::string prefix = out.substr(0, out.size() - 1);
                const Lookup& found = look_up(prefix);
                if (!found.exists) {
                    return std::nullopt;
                }
                const size_t slash = prefix.rfind('/');
                out.erase(slash == std::string::npos ? 0 : slash + 1);
                if (found.link_target) {
                    if (++substitutions > k_max_link_substitutions) {
                        return std::nullopt;
                    }
                    const std::string& target = *found.link_target;
                    std::string rest = target;
                    rest += "/..";
                    rest += input.substr(pos);
                    input = std::move(rest);
                    pos = 0;
                    if (!target.empty() && target[0] == '/') {
                        out = "/";
                        floor = 1;
                    }
                }
            } else if (out.empty() || out[0] != '/') {
                out += "../";
                floor = out.size();
            }
            if (out.size() + (input.size() - pos) > k_max_result) {
                return std::nullopt;
            }
            continue;
        }
        const size_t end = input.find('/', pos);
        if (end == std::string::npos) {
            out.append(input, pos);
            pos = input.size();
        } else {
            out.append(input, pos, end - pos + 1);
            pos = end + 1;
        }
    }
    if (out.size() > 1 && out.back() == '/') {
        out.pop_back();
    }
    return out;
}

}  // namespace

extern "C" char* canonicalizePath(const char* source, char* destination) {
    if (source == nullptr || destination == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    try {
        const std::optional<std::string> result = canonical_form(source);
        const std::string_view text = result ? std::string_view(*result) : source;
        // The caller's buffer holds k_max_result bytes and the NUL; a cut path
        // would name another file, so a longer one is refused whole.
        if (text.size() > k_max_result) {
            destination[0] = '\0';
            errno = ENAMETOOLONG;
            return nullptr;
        }
        memcpy(destination, text.data(), text.size());
        destination[text.size()] = '\0';
        return destination;
    } catch (const std::bad_alloc&) {
        destination[0] = '\0';
        errno = ENOMEM;
        return nullptr;
    }
}

extern "C" void canonicalizeReset(void) { lookup_cache.clear(); }

extern "C" char* canonicalizePathEx(const char* path, char* buffer) {
    // realpath would allocate a result for a null buffer, which the caller
    // does not expect to free.
    if (path == nullptr || buffer == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    return realpath(path, buffer);
}

extern "C" const char* getBasename(const char* path) {
    if (!path) {
        return nullptr;
    }
    const char* slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

extern "C" char* getDirname(const char* path) {
    if (!path || strlen(path) < 2) {
        return nullptr;
    }
    const char* slash = strrchr(path, '/');
    if (!slash) {
        return nullptr;
    }
    if (slash == path) {
        return strdup("/");
    }
    return strndup(path, static_cast<size_t>(slash - path));
}
