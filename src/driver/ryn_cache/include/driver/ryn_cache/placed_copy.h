// Telling, without writing anything, that a user's file already is a copy of
// a cached file: same bytes, mode, owner and modification time. A warm run
// then leaves the file alone instead of rewriting (and syncing) it each time.
#pragma once

#include <string>

namespace ryn {

// Whether `to` (through symbolic links, the file they point to) holds what a
// replacement by `from` would leave there. A record beside `from` names the
// identities of both files when they were last found equal; while both are
// unchanged the bytes are not read again. Otherwise the bytes are compared,
// and the record is rewritten when both files are safely older than the
// comparison, so a later change in the same clock step cannot go unseen.
bool holds_placed_copy(const std::string& from, const std::string& to);

// The record beside the cached file `from`.
std::string placed_copy_record(const std::string& from);

}  // namespace ryn
