// The hot-first function order in the forms two linkers read: section names
// for a section ordering file, symbol names for a symbol ordering file.
#pragma once

#include <string>

#include "coverage/hot_functions.h"

namespace morphel {

// One ".text.<symbol>" a line, after a comment saying how to use it.
std::string section_order_text(const coverage::HotFunctions& hot);

// One symbol a line.
std::string symbol_order_text(const coverage::HotFunctions& hot);

// Removes an order file left by an earlier run; one that is not there is fine.
void remove_order_file(const std::string& path);

}  // namespace morphel
