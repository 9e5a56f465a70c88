#include <cstddef>
#include <cstdio>

#include "ryn/exec_util.h"

namespace ryn {

std::string md5_digest_text(const unsigned char (&digest)[16]) {
    char text[33];
    for (std::size_t word = 0; word < 4; ++word) {
        const unsigned char* b = digest + 4 * word;
        const uint32_t value = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                               static_cast<uint32_t>(b[2]) << 16 |
                               static_cast<uint32_t>(b[3]) << 24;
        snprintf(text + 8 * word, 9, "%.8x", value);
    }
    return std::string(text, 32);
}

}  // namespace ryn
