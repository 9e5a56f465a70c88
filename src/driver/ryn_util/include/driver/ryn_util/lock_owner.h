// Who holds a link lock, and whether that process still exists.
#pragma once

#include <sys/stat.h>

#include <string>

namespace ryn {

enum class OwnerState {
    alive,    // a process of this host with that id exists
    dead,     // its process file names this host and no such process exists
    unknown,  // another host, or no process file shares the lock file's inode
};

struct LockOwner {
    OwnerState state = OwnerState::unknown;
    std::string process_file;  // the owner's process file, when found
};

// Judges the owner of the link lock on `path`, whose lock file `lock_st`
// describes. The lock file is a second name of its owner's process file
// "<path>.<host>.<pid>.link.lock", so the owner is the entry beside it with
// the same inode.
LockOwner find_lock_owner(const std::string& path, const struct stat& lock_st);

}  // namespace ryn
