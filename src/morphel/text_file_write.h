// Writing a whole text file so that no reader ever sees half of it.
#pragma once

#include <string>

namespace morphel {

// Writes `text` to `path` through a temporary file in the same directory,
// renamed into place; on failure the temporary goes and EngineError says why.
void write_text_file(const std::string& path, const std::string& text);

}  // namespace morphel
