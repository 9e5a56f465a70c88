// Originals of user files that the run replaces, kept under a second name
// beside them until the run ends, so that a failed or interrupted run puts
// each back with one rename, even from a signal handler.
#pragma once

#include <string>

namespace ryn {

class ExecUtil;

// Keeps the file that `path` names (through a symbolic link, the file it
// points to) before the run replaces it: a hard link beside it, or with
// `by_copy` a copy (for files a tool rewrites in the same inode). A missing
// file, or one kept already, needs nothing. Returns 0 or the errno.
int keep_original(const char* path, bool by_copy);

// Puts back the kept original of `path`; false when none is kept.
bool put_back_kept(const char* path);

// Whether this run has put the kept original of `path` back already.
bool was_put_back(const char* path);

// Puts back every kept original. Async-signal-safe.
void put_back_all_kept() noexcept;

// The run succeeded: drops the second names. Async-signal-safe.
void drop_all_kept() noexcept;

// Name of the file that the canonical path `real` is kept under, for this
// process.
std::string kept_name(const std::string& real);

// A run killed before it could end (SIGKILL) left its kept original or its
// half-made replacement of `path` behind: put the original back, remove the
// rest. Only leftovers of dead processes on this host are touched. Returns
// true when an original was put back.
bool recover_interrupted_replacement(const char* path);

// The same, with a warning naming the file whose original came back.
void recover_left_replacement(ExecUtil& util, const char* path);

}  // namespace ryn
