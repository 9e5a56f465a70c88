// The digest that ties instrumentation data to the build it describes.
#pragma once

#include <string>

namespace coverage {

// MD5 of the file's content in the cache's digest text (32 lowercase hex
// digits). Throws CoverageError when the file cannot be read.
std::string file_digest(const std::string& path);

}  // namespace coverage
