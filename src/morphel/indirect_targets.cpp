#include "indirect_targets.h"

#include <elf.h>
#include <gelf.h>

#include <algorithm>
#include <cstdio>

#include "driver/ryn_util/elf_handle.h"
#include "execution_profile.h"

namespace morphel {

// Functions of the full symbol table and of the dynamic one (a stripped
// system library keeps only the latter), ascending.
const std::vector<TargetNames::Symbol>& TargetNames::symbols_of(const std::string& object) {
    const auto [it, fresh] = objects_.try_emplace(object);
    if (!fresh) {
        return it->second;
    }
    std::vector<Symbol>& symbols = it->second;
    elf_version(EV_CURRENT);
    ryn::ElfFile file(object.c_str());
    if (!file.elf_valid()) {
        return symbols;
    }
    Elf* elf = file.elf();
    for (Elf_Scn* scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
        GElf_Shdr shdr;
        Elf_Data* data = nullptr;
        if (!gelf_getshdr(scn, &shdr) ||
            (shdr.sh_type != SHT_SYMTAB && shdr.sh_type != SHT_DYNSYM) || shdr.sh_entsize == 0 ||
            !(data = elf_getdata(scn, nullptr))) {
            continue;
        }
        for (size_t i = 0; i < shdr.sh_size / shdr.sh_entsize; ++i) {
            GElf_Sym sym;
            if (!gelf_getsym(data, static_cast<int>(i), &sym) || sym.st_shndx == SHN_UNDEF ||
                sym.st_value == 0 ||
                (GELF_ST_TYPE(sym.st_info) != STT_FUNC &&
                 GELF_ST_TYPE(sym.st_info) != STT_GNU_IFUNC)) {
                continue;
            }
            const char* name = elf_strptr(elf, shdr.sh_link, sym.st_name);
            if (name && *name) {
                symbols.push_back({sym.st_value, sym.st_size, name});
            }
        }
    }
    // Of several names for one address, a global one (no leading '_') reads best.
    std::ranges::sort(symbols, [](const Symbol& a, const Symbol& b) {
        return a.addr != b.addr ? a.addr < b.addr : (a.name[0] == '_') < (b.name[0] == '_');
    });
    return symbols;
}

std::string TargetNames::name(const std::string& object, uint64_t addr) {
    const std::vector<Symbol>& symbols = symbols_of(object);
    auto it = std::ranges::upper_bound(symbols, addr, {}, &Symbol::addr);
    if (it != symbols.begin()) {
        const uint64_t start = std::prev(it)->addr;
        const auto first = std::ranges::lower_bound(symbols, start, {}, &Symbol::addr);
        if (addr < start + std::max<uint64_t>(first->size, 1)) {
            char offset[32] = "";
            if (addr != start) {
                snprintf(offset, sizeof offset, "+%#llx",
                         static_cast<unsigned long long>(addr - start));
            }
            return demangle(first->name) + offset;
        }
    }
    const size_t slash = object.rfind('/');
    char offset[32];
    snprintf(offset, sizeof offset, "+%#llx", static_cast<unsigned long long>(addr));
    return object.substr(slash == std::string::npos ? 0 : slash + 1) + offset;
}

}  // namespace morphel
