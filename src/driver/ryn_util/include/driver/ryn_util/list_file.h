// Files that list names one a line: the library log, -L and -c lists.
#pragma once

#include <cstdio>
#include <functional>
#include <string_view>

namespace ryn {

// Calls `each` with every line of `file`, without its newline. Lines are read
// in 1024-byte pieces; a longer line arrives as several pieces, each taken as
// a line of its own. Returns false when reading failed.
bool for_each_list_line(FILE* file, const std::function<void(std::string_view)>& each);

}  // namespace ryn
