// The last component of a path: the text after its last '/', or the whole
// path when it has none.
#pragma once

#include <string>
#include <string_view>

namespace ryn {

inline std::string last_component(std::string_view path) {
    const size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

}  // namespace ryn
