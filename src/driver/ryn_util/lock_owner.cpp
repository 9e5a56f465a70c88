#include "driver/ryn_util/lock_owner.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "driver/ryn_util/lock_support.h"

namespace ryn {

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

// Splits "<host>.<pid>" at its last dot; host names may contain dots, process
// ids cannot.
bool parse_owner(std::string_view middle, std::string_view& host, pid_t& pid) {
    const std::size_t dot = middle.rfind('.');
    if (dot == std::string_view::npos || dot + 1 == middle.size() || middle.size() - dot > 11) {
        return false;
    }
    long value = 0;
    for (const char c : middle.substr(dot + 1)) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    if (value <= 0 || value != static_cast<pid_t>(value)) {
        return false;
    }
    host = middle.substr(0, dot);
    pid = static_cast<pid_t>(value);
    return true;
}

// When the process now running under `pid` started, in seconds since the
// epoch; nullopt when the system does not say.
std::optional<long> process_start_time(pid_t pid) {
    const long ticks_per_second = sysconf(_SC_CLK_TCK);
    std::ifstream stat_file("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (ticks_per_second <= 0 || !std::getline(stat_file, line)) {
        return std::nullopt;
    }
    // The command name may hold blanks and parentheses; the fields after its
    // last ')' start with the state, and the start time is the 20th of them.
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(line.substr(close + 1));
    std::string field;
    for (int i = 0; i < 19 && fields >> field; ++i) {
    }
    unsigned long long start_ticks = 0;
    if (!(fields >> start_ticks)) {
        return std::nullopt;
    }
    std::ifstream boot_file("/proc/stat");
    for (std::string key; boot_file >> key;) {
        long boot_time = 0;
        if (key == "btime" && boot_file >> boot_time) {
            return boot_time + static_cast<long>(start_ticks / ticks_per_second);
        }
        boot_file.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    return std::nullopt;
}

OwnerState judge(std::string_view host, pid_t pid, const struct stat& process_st) {
    char own_host[k_host_name_max + 1];
    // Without our own host name nothing says the owner runs here.
    if (!read_host_name(own_host) || host != own_host) {
        return OwnerState::unknown;
    }
    if (kill(pid, 0) != 0 && errno != EPERM) {
        return errno == ESRCH ? OwnerState::dead : OwnerState::unknown;
    }
    // The owner made its process file while it ran, so a process that started
    // clearly later only reuses a dead owner's id.
    if (const auto started = process_start_time(pid);
        started && *started > process_st.st_mtime + 2) {
        return OwnerState::dead;
    }
    return OwnerState::alive;
}

}  // namespace

LockOwner find_lock_owner(const std::string& path, const struct stat& lock_st) {
    LockOwner owner;
    // A lock file with one name has lost its process file: nothing to ask.
    if (lock_st.st_nlink < 2) {
        return owner;
    }
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : path.substr(0, slash);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string_view suffix = k_link_lock_suffix;

    const std::unique_ptr<DIR, DirCloser> listing(opendir(dir.c_str()));
    if (!listing) {
        return owner;
    }
    while (const dirent* entry = readdir(listing.get())) {
        const std::string_view name = entry->d_name;
        // "<base>.<host>.<pid>.link.lock": the lock file itself is too short.
        if (name.size() <= base.size() + 1 + suffix.size() ||
            name.compare(0, base.size(), base) != 0 || name[base.size()] != '.' ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
            continue;
        }
        const std::string candidate = dir + "/" + std::string(name);
        struct stat st;
        if (lstat(candidate.c_str(), &st) != 0 || st.st_ino != lock_st.st_ino ||
            st.st_dev != lock_st.st_dev) {
            continue;
        }
        std::string_view host;
        pid_t pid = 0;
        const std::string_view middle =
            name.substr(base.size() + 1, name.size() - base.size() - 1 - suffix.size());
        if (!parse_owner(middle, host, pid)) {
            continue;
        }
        owner.state = judge(host, pid, st);
        owner.process_file = candidate;
        return owner;
    }
    return owner;
}

}  // namespace ryn
