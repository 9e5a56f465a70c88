// Texts that the driver's interface builds in fixed 1024-byte buffers (paths
// from options and the environment, tool options) are cut at 1023 characters.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ryn {

inline constexpr std::size_t k_text_max = 1023;

// `text` cut to what such a buffer holds.
inline std::string bounded(std::string text) {
    if (text.size() > k_text_max) {
        text.resize(k_text_max);
    }
    return text;
}

// Appends `piece` to `text` as far as the buffer holds.
inline void append_bounded(std::string& text, std::string_view piece) {
    if (text.size() < k_text_max) {
        text += piece.substr(0, k_text_max - text.size());
    }
}

}  // namespace ryn
