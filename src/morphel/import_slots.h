// The slots of the global offset table that the dynamic linker fills with
// the address of an imported symbol: a call through one (a PLT stub, or a
// call compiled without the PLT) goes to that symbol in another object.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

namespace morphel {

// Slot address (link-time) to the imported symbol's name, from the jump-slot
// and global-data relocations of `path`. Empty for a static file or one that
// cannot be read: calls are then named by address only.
std::unordered_map<uint64_t, std::string> read_import_slots(const std::string& path);

}  // namespace morphel
