#include "driver/ryn_util/text_format.h"

#include <cstdio>

namespace ryn {

std::string vformat(const char* format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int length = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    vsnprintf(text.data(), text.size() + 1, format, args);
    return text;
}

}  // namespace ryn
