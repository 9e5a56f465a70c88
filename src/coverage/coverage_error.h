// The one failure of the coverage readers and writers: the message names the
// file or target concerned and what is wrong with it.
#pragma once

#include <stdexcept>
#include <string>

namespace coverage {

class CoverageError : public std::runtime_error {
public:
    explicit CoverageError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace coverage
