#include "driver/ryn_util/kept_originals.h"

#include <dirent.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "driver/ryn_util/file_replacement.h"
#include "driver/ryn_util/lock_support.h"
#include "i18n/driver_texts.h"
#include "ryn/exec_util.h"

namespace ryn {

namespace {

// Nodes are complete before they are published and never freed, so a signal
// handler can walk the list at any moment.
struct Kept {
    char target[PATH_MAX];
    char saved[PATH_MAX];
    std::atomic<bool> active{true};
    std::atomic<bool> put_back{false};  // the original is in place again
    Kept* next = nullptr;
};

std::atomic<Kept*> g_kept{nullptr};

Kept* find_active(const std::string& real) {
    for (Kept* k = g_kept.load(); k; k = k->next) {
        if (k->active.load() && real == k->target) {
            return k;
        }
    }
    return nullptr;
}

// Puts the original kept at `saved` back over `target`. A file that was never
// replaced is still the same inode, and rename would then do nothing: only
// the second name goes. Returns 1 when the original came back, 0 when the
// file was never replaced, -1 on failure. Async-signal-safe.
int put_back(const char* saved, const char* target) noexcept {
    struct stat saved_st;
    struct stat target_st;
    if (stat(saved, &saved_st) == 0 && stat(target, &target_st) == 0 &&
        saved_st.st_ino == target_st.st_ino && saved_st.st_dev == target_st.st_dev) {
        return unlink(saved) == 0 ? 0 : -1;
    }
    return rename(saved, target) == 0 ? 1 : -1;
}

bool process_is_gone(pid_t pid) { return pid > 0 && kill(pid, 0) != 0 && errno == ESRCH; }

// Splits "<host>.<pid>" (the host may hold dots) and says whether it names a
// dead process of this host.
bool left_by_dead_run(const std::string& host_and_pid) {
    const size_t dot = host_and_pid.rfind('.');
    if (dot == std::string::npos) {
        return false;
    }
    char host[k_host_name_max + 1];
    read_host_name(host);
    if (host_and_pid.compare(0, dot, host) != 0) {
        return false;
    }
    const std::string digits = host_and_pid.substr(dot + 1);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const pid_t pid = static_cast<pid_t>(atol(digits.c_str()));
    return pid != getpid() && process_is_gone(pid);
}

}  // namespace

std::string kept_name(const std::string& real) { return beside_name(real, "saved"); }

int keep_original(const char* path, bool by_copy) {
    const std::string real = replacement_destination(path);
    struct stat st {};
    if (stat(real.c_str(), &st) != 0 || find_active(real)) {
        return 0;
    }
    const std::string saved = kept_name(real);
    if (real.size() >= PATH_MAX || saved.size() >= PATH_MAX) {
        return ENAMETOOLONG;
    }
    unlink(saved.c_str());
    int error = 0;
    if (by_copy) {
        error = replace_file(real.c_str(), saved.c_str(), true);
    } else if (link(real.c_str(), saved.c_str()) != 0) {
        error = errno;
        // File systems without hard links still take a copy.
        if (error == EPERM || error == EMLINK || error == ENOTSUP) {
            error = replace_file(real.c_str(), saved.c_str(), true);
        }
    }
    if (error != 0) {
        return error;
    }
    auto node = std::make_unique<Kept>();
    memcpy(node->target, real.c_str(), real.size() + 1);
    memcpy(node->saved, saved.c_str(), saved.size() + 1);
    node->next = g_kept.load();
    g_kept.store(node.release());
    return 0;
}

bool put_back_kept(const char* path) {
    Kept* k = find_active(replacement_destination(path));
    if (!k || put_back(k->saved, k->target) < 0) {
        return false;
    }
    k->active.store(false);
    k->put_back.store(true);
    return true;
}

bool was_put_back(const char* path) {
    const std::string real = replacement_destination(path);
    for (Kept* k = g_kept.load(); k; k = k->next) {
        if (k->put_back.load() && real == k->target) {
            return true;
        }
    }
    return false;
}

void put_back_all_kept() noexcept {
    for (Kept* k = g_kept.load(); k; k = k->next) {
        if (k->active.exchange(false)) {
            k->put_back.store(put_back(k->saved, k->target) >= 0);
        }
    }
}

void drop_all_kept() noexcept {
    for (Kept* k = g_kept.load(); k; k = k->next) {
        if (k->active.exchange(false)) {
            unlink(k->saved);
        }
    }
}

bool recover_interrupted_replacement(const char* path) {
    const std::string real = replacement_destination(path);
    const size_t slash = real.rfind('/');
    if (slash == std::string::npos) {
        return false;
    }
    const std::string dir = real.substr(0, slash);
    const std::string saved_prefix = "." + real.substr(slash + 1) + ".ryn-saved.";
    const std::string new_prefix = "." + real.substr(slash + 1) + ".ryn-new.";
    std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(dir.c_str()), closedir);
    if (!listing) {
        return false;
    }
    bool restored = false;
    while (const dirent* entry = readdir(listing.get())) {
        const std::string name = entry->d_name;
        std::string full = dir;
        full += '/';
        full += name;
        if (name.starts_with(saved_prefix)) {
            if (left_by_dead_run(name.substr(saved_prefix.size())) &&
                put_back(full.c_str(), real.c_str()) > 0) {
                restored = true;
            }
        } else if (name.starts_with(new_prefix)) {
            // "<host>.<pid>.XXXXXX": the last part is mkstemp's.
            const std::string rest = name.substr(new_prefix.size());
            const size_t dot = rest.rfind('.');
            if (dot != std::string::npos && left_by_dead_run(rest.substr(0, dot))) {
                unlink(full.c_str());
            }
        }
    }
    return restored;
}

void recover_left_replacement(ExecUtil& util, const char* path) {
    if (recover_interrupted_replacement(path)) {
        util.report_error(MSG_WARNING, 0, driver_text(DriverText::REPLACEMENT_RECOVERED), path);
    }
}

}  // namespace ryn
