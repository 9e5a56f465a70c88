// A temporary file named the way tempnam names one, but created exclusively.
#pragma once

#include <string>

#include "driver/ryn_util/unique_fd.h"

namespace ryn {

struct TempFile {
    UniqueFd fd;  // open for writing; invalid when no file could be made (errno says why)
    std::string path;
};

// Creates "<directory>/<prefix>XXXXXX" with mode 0600. The directory is the
// one tempnam would take: $TMPDIR when it names a directory, else `dir` when
// that does, else P_tmpdir, else /tmp. Only the first five characters of the
// prefix are used. Creating the file together with its name keeps another
// process from taking the name in between.
TempFile create_temp_file(const char* dir, const char* prefix);

}  // namespace ryn
