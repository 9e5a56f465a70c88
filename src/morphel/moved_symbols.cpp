#include "moved_symbols.h"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>

#include <cerrno>
#include <map>

#include "driver/ryn_util/elf_handle.h"
#include "driver/ryn_util/unique_fd.h"
#include "engine_error.h"

namespace morphel {
namespace {

struct Place {
    uint64_t addr;
    uint64_t size;
};

// Loaded sections by name (names the file uses twice are left out: their
// move is ambiguous).
std::map<std::string, Place> loaded_sections(Elf* elf, const std::string& path) {
    size_t shstrndx = 0;
    if (elf_getshdrstrndx(elf, &shstrndx) != 0) {
        fail_elf(path, "cannot read the section name table");
    }
    std::map<std::string, Place> places;
    std::map<std::string, int> seen;
    for (Elf_Scn* scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
        GElf_Shdr shdr;
        if (!gelf_getshdr(scn, &shdr)) {
            fail_elf(path, "cannot read a section header");
        }
        const char* name = elf_strptr(elf, shstrndx, shdr.sh_name);
        if (name && (shdr.sh_flags & SHF_ALLOC) && ++seen[name] == 1) {
            places[name] = {shdr.sh_addr, shdr.sh_size};
        } else if (name) {
            places.erase(name);
        }
    }
    return places;
}

}  // namespace

void follow_moved_sections(const std::string& original, const std::string& copy) {
    elf_version(EV_CURRENT);
    const ryn::UniqueFd in_fd(open(original.c_str(), O_RDONLY));
    if (!in_fd.valid()) {
        fail_with_errno("cannot read " + original, errno);
    }
    const ryn::ElfHandle in(elf_begin(in_fd.get(), ELF_C_READ, nullptr));
    if (!in) {
        fail_elf(original, "cannot open");
    }
    const std::map<std::string, Place> before = loaded_sections(in.get(), original);

    const ryn::UniqueFd fd(open(copy.c_str(), O_RDWR));
    if (!fd.valid()) {
        fail_with_errno("cannot open " + copy, errno);
    }
    ryn::ElfHandle elf(elf_begin(fd.get(), ELF_C_RDWR, nullptr));
    if (!elf) {
        fail_elf(copy, "cannot open");
    }
    // Only symbol values change, in place; see flip_to_auditor for the flags.
    elf_flagelf(elf.get(), ELF_C_SET, ELF_F_LAYOUT);
    elf_flagelf(elf.get(), ELF_C_SET, ELF_F_DIRTY);
    const std::map<std::string, Place> after = loaded_sections(elf.get(), copy);
    std::map<uint64_t, std::pair<Place, int64_t>> moves;  // old address -> (old place, shift)
    for (const auto& [name, old_place] : before) {
        const auto it = after.find(name);
        if (it != after.end() && it->second.addr != old_place.addr && old_place.size > 0) {
            moves[old_place.addr] = {old_place,
                                     static_cast<int64_t>(it->second.addr - old_place.addr)};
        }
    }
    if (moves.empty()) {
        return;
    }
    for (Elf_Scn* scn = elf_nextscn(elf.get(), nullptr); scn; scn = elf_nextscn(elf.get(), scn)) {
        GElf_Shdr shdr;
        if (!gelf_getshdr(scn, &shdr) || shdr.sh_type != SHT_SYMTAB || shdr.sh_entsize == 0) {
            continue;
        }
        Elf_Data* data = elf_getdata(scn, nullptr);
        if (!data) {
            fail_elf(copy, "cannot read the symbol table");
        }
        for (size_t i = 0; i < shdr.sh_size / shdr.sh_entsize; ++i) {
            GElf_Sym sym;
            if (!gelf_getsym(data, static_cast<int>(i), &sym) || sym.st_shndx == SHN_UNDEF ||
                sym.st_shndx >= SHN_LORESERVE) {
                continue;
            }
            auto it = moves.upper_bound(sym.st_value);
            if (it == moves.begin()) {
                continue;
            }
            --it;
            const auto& [place, shift] = it->second;
            if (sym.st_value - place.addr < place.size) {
                sym.st_value += static_cast<uint64_t>(shift);
                gelf_update_sym(data, static_cast<int>(i), &sym);
            }
        }
        elf_flagdata(data, ELF_C_SET, ELF_F_DIRTY);
    }
    if (elf_update(elf.get(), ELF_C_WRITE) < 0) {
        fail_elf(copy, "cannot write");
    }
}

}  // namespace morphel
