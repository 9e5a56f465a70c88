// Taking a link lock over from a holder that can no longer give it back.
#pragma once

#include <sys/stat.h>

#include <string>

namespace ryn {

class ExecUtil;

// Called when linking the lock file failed and `lock_st` describes the lock
// file found. Removes it when its holder is a dead process of this host
// (together with that process's own file), or when the holder cannot be
// checked and the lock has not changed for RYN_LOCK_INTERVAL seconds. Returns
// true when the caller should try to link again at once, false when it
// should pause first.
bool take_over_lock(ExecUtil& util, const std::string& path, const std::string& lock_file,
                    const std::string& process_file, const struct stat& lock_st);

}  // namespace ryn
