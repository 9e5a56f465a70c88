// printf-style formatting into a std::string of whatever length it needs, so
// that a message naming long paths is never cut.
#pragma once

#include <cstdarg>
#include <string>

namespace ryn {

std::string vformat(const char* format, va_list args);

}  // namespace ryn
