// The names of the places indirect calls and jumps reached, in whatever
// object they lie: the function of that object's symbol table holding the
// address, else "<object basename>+0x<offset>".
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace morphel {

class TargetNames {
public:
    std::string name(const std::string& object, uint64_t addr);

private:
    struct Symbol {
        uint64_t addr;
        uint64_t size;
        std::string name;
    };
    const std::vector<Symbol>& symbols_of(const std::string& object);
    std::map<std::string, std::vector<Symbol>> objects_;
};

}  // namespace morphel
