// A copy of the input under a temporary name in the output's directory. It
// takes the output's name only when committed, so that a reader never sees
// half a file; otherwise the temporary file is removed.
#pragma once

#include <sys/types.h>

#include <string>

#include "driver/ryn_util/unique_fd.h"

namespace morphel {

class PendingOutput {
public:
    // Copies `input` (contents and permission bits) next to `output`.
    PendingOutput(const std::string& input, const std::string& output);
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;

    // Open for reading and writing, positioned anywhere.
    int fd() const { return fd_.get(); }
    // The temporary name, for tools that work on a path.
    const std::string& path() const { return temp_.path; }
    // Opens the temporary file again, after a tool may have replaced it.
    void reopen();

    // Closes the copy and renames it to the output path.
    void commit();

private:
    // Removes the file it names on destruction unless told to keep it; a
    // member of its own so that a constructor that fails half way through
    // still removes the file.
    struct TempName {
        std::string path;
        bool keep = false;
        ~TempName();
    };

    std::string output_;
    mode_t mode_ = 0;
    TempName temp_;
    ryn::UniqueFd fd_;
};

}  // namespace morphel
