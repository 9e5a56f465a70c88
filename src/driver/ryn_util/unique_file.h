// A stdio stream that closes itself.
#pragma once

#include <cstdio>
#include <memory>

namespace ryn {

struct FileCloser {
    void operator()(FILE* f) const noexcept { fclose(f); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

}  // namespace ryn
