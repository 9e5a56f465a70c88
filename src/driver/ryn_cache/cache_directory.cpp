// Where the per-user cache directory lies, and who may use it.
#include "i18n/driver_texts.h"
#include "ryn/ryn_cache.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "ryn/exec_util.h"

namespace ryn {

namespace {

constexpr const char k_cache_dir_name[] = "/QVEN_Ryn_Cache";

// The cache under the home directory recorded in the password database. The
// environment's HOME is not trusted here: a cache in a directory the user
// does not own could be planted by someone else.
std::string home_cache_base(uid_t uid, const char* kind) {
    std::string base;
    const passwd* entry = getpwuid(uid);
    struct stat st {};
    if (entry && entry->pw_dir && stat(entry->pw_dir, &st) == 0 && st.st_uid == uid) {
        base = std::string(entry->pw_dir) + k_cache_dir_name + "/" + kind;
    } else {
        fputs("warning: Cannot create cache directory in $HOME\n", stderr);
        base = "/tmp/" + std::to_string(static_cast<int>(uid)) + k_cache_dir_name + "/" + kind;
    }
    endpwent();
    return base;
}

}  // namespace

RynCache::RynCache(const char* dir, bool use_home, const char* kind, bool follow_dependencies,
                   ExecUtil* util, CachePolicy policy)
    : follow_dependencies(follow_dependencies), kind(kind), util(util), policy(std::move(policy)) {
    try {
        table.assign(nbuckets, nullptr);
    } catch (const std::bad_alloc&) {
        util->fatal(0, "%s", get_msg(RYN_RAN_OUT_OF_MEMORY));
    }

    const uid_t uid = getuid();
    const char* chosen = getenv("QVEN_RYN_CACHE_DIR");
    if (!chosen) {
        chosen = dir;
    }
    if (chosen) {
        // A directory named by the user may be shared on purpose, so its
        // owner is not checked.
        util->create_directory(chosen);
        base = util->make_full_path(chosen) + "/" + kind;
        return;
    }

    if (use_home) {
        // Created on demand, with the first target directory.
        base = home_cache_base(uid, kind);
    } else {
        const std::string relative = std::string(".") + k_cache_dir_name;
        util->create_directory(relative.c_str());
        base = util->make_full_path(relative.c_str()) + "/" + kind;
    }

    struct stat st {};
    if (stat(base.c_str(), &st) == 0 && st.st_uid != uid) {
        util->fatal(0, get_msg(GENERAL_FATAL_ERROR), driver_text(DriverText::CACHE_DIR_NOT_OWNED));
    }
}

const char* RynCache::cache_top() {
    snprintf(scratch, sizeof scratch, "%s", base.c_str());
    if (char* slash = strrchr(scratch, '/')) {
        *slash = '\0';
    }
    return scratch;
}

}  // namespace ryn
