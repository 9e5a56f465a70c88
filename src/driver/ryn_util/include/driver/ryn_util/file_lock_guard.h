// A file lock taken with acquire_lock_file and given back exactly once, by
// release() or at the end of its scope. Until acquire() it holds nothing.
#pragma once

#include <string>
#include <utility>

#include "ryn/exec_util.h"

namespace ryn {

class FileLockGuard {
public:
    FileLockGuard() = default;
    FileLockGuard(const FileLockGuard&) = delete;
    FileLockGuard& operator=(const FileLockGuard&) = delete;
    ~FileLockGuard() { release(); }

    void acquire(ExecUtil& util, std::string path, bool shared) {
        release();
        util_ = &util;
        path_ = std::move(path);
        fd_ = util.acquire_lock_file(path_.c_str(), shared);
    }

    // -1 means no lock is held, and there is nothing to give back: releasing
    // a link lock we never took would remove somebody else's.
    void release() {
        if (fd_ != -1) {
            util_->release_lock_file(std::exchange(fd_, -1), path_.c_str());
        }
    }

private:
    ExecUtil* util_ = nullptr;  // not owned
    std::string path_;
    int fd_ = -1;
};

}  // namespace ryn
