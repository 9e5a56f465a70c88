// Paths the driver may hand to its tools. Only regular files are read: a FIFO
// or a device would block or never end. A newline cannot appear in a target
// path: the run-information file, the library log and the dependency listing
// hold one path a line.
#pragma once

#include <string_view>

#include "driver/ryn_util/unique_fd.h"

namespace ryn {

class ExecUtil;

bool has_newline(std::string_view path);

// Opens `path` with `flags` only when it is a regular file. The open does not
// block even when a FIFO replaces the file between the look and the open;
// such a file is closed again. On refusal, *not_regular (when given) is set
// and errno is EINVAL.
UniqueFd open_regular_file(const char* path, int flags, bool* not_regular = nullptr);

// Ends the run unless `path` is free of newlines and names a regular file.
void require_usable_target(ExecUtil& util, const char* path);

// Ends the run when the check file the engine is to read contains a newline
// or exists but is not a regular file; a missing one is the engine's to report.
void require_usable_check_file(ExecUtil& util, const char* path);

// Ends the run when `path` contains a newline.
void require_single_line_path(ExecUtil& util, const char* path);

}  // namespace ryn
