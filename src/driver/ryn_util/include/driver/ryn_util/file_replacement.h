// Replacing a user's file so that it is never missing or half written: the
// new content goes to a temporary file in the same directory, which is then
// renamed over the file.
#pragma once

#include <string>

namespace ryn {

// The file a replacement of `path` writes: through symbolic links, the file
// they point to (the links stay); `path` itself when it does not exist yet.
std::string replacement_destination(const char* path);

// Copies `from` over `to` atomically, with the mode of `from` and, with
// `keep_times`, its access and modification times. Returns 0 or the errno
// of the step that failed; `to` is then unchanged.
int replace_file(const char* from, const char* to, bool keep_times);

// Builds "<dir>/.<base>.ryn-<kind>.<host>.<pid>" for the canonical path
// `real`: the names the run gives its files beside a user's file.
std::string beside_name(const std::string& real, const char* kind);

// Removes the temporary file of a replacement cut short. Async-signal-safe.
void remove_pending_replacement() noexcept;

}  // namespace ryn
