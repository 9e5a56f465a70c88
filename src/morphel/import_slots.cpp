#include "import_slots.h"

#include <elf.h>
#include <gelf.h>

#include "driver/ryn_util/elf_handle.h"

namespace morphel {

std::unordered_map<uint64_t, std::string> read_import_slots(const std::string& path) {
    std::unordered_map<uint64_t, std::string> slots;
    elf_version(EV_CURRENT);
    ryn::ElfFile file(path.c_str());
    if (!file.elf_valid()) {
        return slots;
    }
    Elf* elf = file.elf();
    for (Elf_Scn* scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
        GElf_Shdr shdr;
        if (!gelf_getshdr(scn, &shdr) || shdr.sh_type != SHT_RELA || shdr.sh_entsize == 0) {
            continue;
        }
        Elf_Scn* symbols = elf_getscn(elf, shdr.sh_link);
        GElf_Shdr sym_shdr;
        Elf_Data* sym_data = symbols ? elf_getdata(symbols, nullptr) : nullptr;
        Elf_Data* data = elf_getdata(scn, nullptr);
        if (!data || !sym_data || !gelf_getshdr(symbols, &sym_shdr)) {
            continue;
        }
        const size_t count = shdr.sh_size / shdr.sh_entsize;
        for (size_t i = 0; i < count; ++i) {
            GElf_Rela rela;
            if (!gelf_getrela(data, static_cast<int>(i), &rela)) {
                continue;
            }
            const auto type = GELF_R_TYPE(rela.r_info);
            GElf_Sym sym;
            if ((type != R_X86_64_JUMP_SLOT && type != R_X86_64_GLOB_DAT) ||
                GELF_R_SYM(rela.r_info) == 0 ||
                !gelf_getsym(sym_data, static_cast<int>(GELF_R_SYM(rela.r_info)), &sym)) {
                continue;
            }
            const char* name = elf_strptr(elf, sym_shdr.sh_link, sym.st_name);
            if (name && *name) {
                slots.emplace(rela.r_offset, name);
            }
        }
    }
    return slots;
}

}  // namespace morphel
