// stdio streams that close themselves: a file from fopen, a pipe from popen.
#pragma once

#include <cstdio>
#include <memory>

namespace ryn {

struct FileCloser {
    void operator()(FILE* f) const noexcept { fclose(f); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

// For a pipe whose exit status nobody reads; when it matters, release() the
// stream and pclose it by hand.
struct PipeCloser {
    void operator()(FILE* f) const noexcept { pclose(f); }
};
using UniquePipe = std::unique_ptr<FILE, PipeCloser>;

}  // namespace ryn
