// The dynamic-section editor moves the sections it grows (and the notes
// and interpreter path in front of them) but leaves the symbol table's
// values where the sections were.
#pragma once

#include <string>

namespace morphel {

// Shifts each .symtab symbol that lay inside a loaded section of `original`
// by as much as the section of the same name moved in `copy`, so that the
// copy's symbols describe its own layout again.
void follow_moved_sections(const std::string& original, const std::string& copy);

}  // namespace morphel
