// Function names as their source spells them.
#pragma once

#include <string>

namespace coverage {

// A C++ symbol's readable name; any other symbol as it is.
std::string demangle(const std::string& symbol);

}  // namespace coverage
