// Take-over runs under a breaker: one more name of the waiter's own process
// file, made with link() so that only one waiter at a time can hold it. Under
// it the lock file is checked again before it is removed, so a waiter never
// removes a lock that another waiter has just taken over and linked anew.
#include "driver/ryn_util/lock_takeover.h"

#include <unistd.h>

#include <ctime>

#include "driver/ryn_util/lock_owner.h"
#include "driver/ryn_util/lock_support.h"
#include "ryn/exec_util.h"

namespace ryn {

namespace {

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_ino == b.st_ino && a.st_dev == b.st_dev;
}

bool older_than_interval(const struct stat& st) {
    return time(nullptr) - st.st_ctime > RYN_LOCK_INTERVAL;
}

// A live holder keeps its lock however long it works; only a holder that
// cannot be asked falls under the age rule.
bool removable(const LockOwner& owner, const struct stat& lock_st) {
    return owner.state == OwnerState::dead ||
           (owner.state == OwnerState::unknown && older_than_interval(lock_st));
}

class Breaker {
public:
    Breaker(const std::string& name, const std::string& process_file)
        : name_(name), held_(link(process_file.c_str(), name.c_str()) == 0) {}
    ~Breaker() {
        if (held_) {
            unlink(name_.c_str());
        }
    }
    Breaker(const Breaker&) = delete;
    Breaker& operator=(const Breaker&) = delete;
    bool held() const { return held_; }

private:
    const std::string& name_;
    bool held_;
};

}  // namespace

bool take_over_lock(ExecUtil& util, const std::string& path, const std::string& lock_file,
                    const std::string& process_file, const struct stat& lock_st) {
    if (!removable(find_lock_owner(path, lock_st), lock_st)) {
        return false;
    }
    const std::string breaker_name = path + k_lock_breaker_suffix;
    const Breaker breaker(breaker_name, process_file);
    if (!breaker.held()) {
        // Another waiter is taking over. A breaker whose waiter was killed in
        // the middle is old after RYN_LOCK_INTERVAL seconds.
        struct stat breaker_st;
        if (lstat(breaker_name.c_str(), &breaker_st) == 0 && older_than_interval(breaker_st)) {
            unlink(breaker_name.c_str());
        }
        return false;
    }

    // The lock may have been released, or taken over and linked anew, since
    // it was judged; judge what is there now.
    struct stat current;
    if (lstat(lock_file.c_str(), &current) != 0) {
        return true;
    }
    const LockOwner owner = find_lock_owner(path, current);
    if (!same_file(current, lock_st) || !removable(owner, current)) {
        return !same_file(current, lock_st);
    }
    util.report_error(MSG_WARNING, 0, get_msg(RYN_DELETE_STALE_LOCK), lock_file.c_str());
    if (unlink(lock_file.c_str()) != 0) {
        util.report_error(MSG_WARNING, 0, get_msg(FILE_UNLINK_FAILED), lock_file.c_str());
        return false;
    }
    struct stat owner_st;
    if (owner.state == OwnerState::dead && lstat(owner.process_file.c_str(), &owner_st) == 0 &&
        same_file(owner_st, current)) {
        unlink(owner.process_file.c_str());
    }
    return true;
}

}  // namespace ryn
