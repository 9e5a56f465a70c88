#include "code_reader.h"

#include <dwarf.h>
#include <elfutils/libdw.h>
#include <fcntl.h>
#include <gelf.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <unordered_map>

#include "engine_error.h"
#include "landing_pads.h"

namespace morphel {
namespace {

// The compiler names the split-off cold part of a function after it; it
// belongs to that function.
std::string function_name(const char* symbol) {
    std::string name = symbol;
    const size_t at = name.find(".cold");
    if (at != std::string::npos && at > 0) {
        name.resize(at);
    }
    return name;
}

struct DwarfCloser {
    void operator()(Dwarf* dwarf) const { dwarf_end(dwarf); }
};

}  // namespace

CodeReader::CodeReader(const std::string& path) : path_(path) {
    fd_.reset(open(path.c_str(), O_RDONLY));
    if (!fd_.valid()) {
        fail_with_errno("cannot read " + path, errno);
    }
    elf_version(EV_CURRENT);
    elf_ = ryn::ElfHandle(elf_begin(fd_.get(), ELF_C_READ_MMAP, nullptr));
    if (!elf_ || elf_kind(elf_.get()) != ELF_K_ELF) {
        throw EngineError("not an ELF file: " + path);
    }
    read_sections_and_functions();
    read_lines();
    facts_.landing_pads = find_landing_pads(elf_.get());
}

void CodeReader::read_sections_and_functions() {
    Elf* elf = elf_.get();
    // The decoder knows this machine only; other files get no probes.
    GElf_Ehdr ehdr;
    if (!gelf_getehdr(elf, &ehdr) || ehdr.e_machine != EM_X86_64 ||
        gelf_getclass(elf) != ELFCLASS64) {
        return;
    }
    std::vector<bool> executable;  // by section index
    Elf_Scn* symtab = nullptr;
    Elf_Scn* dynsym = nullptr;
    for (Elf_Scn* scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
        GElf_Shdr shdr;
        if (!gelf_getshdr(scn, &shdr)) {
            fail_elf(path_, "cannot read a section header");
        }
        const size_t index = elf_ndxscn(scn);
        executable.resize(std::max(executable.size(), index + 1));
        if (shdr.sh_type == SHT_SYMTAB) {
            symtab = scn;
        } else if (shdr.sh_type == SHT_DYNSYM) {
            dynsym = scn;
        }
        if (shdr.sh_type != SHT_PROGBITS || !(shdr.sh_flags & SHF_ALLOC)) {
            continue;
        }
        Elf_Data* data = elf_getdata(scn, nullptr);
        if (!data || !data->d_buf || data->d_size != shdr.sh_size) {
            continue;
        }
        facts_.loaded.push_back(
            {shdr.sh_addr, shdr.sh_size, static_cast<const uint8_t*>(data->d_buf)});
        if (!(shdr.sh_flags & SHF_EXECINSTR)) {
            continue;
        }
        executable[index] = true;
        facts_.code.push_back(
            {shdr.sh_addr, shdr.sh_size, static_cast<const uint8_t*>(data->d_buf)});
    }

    Elf_Scn* symbols = symtab ? symtab : dynsym;
    if (!symbols) {
        return;
    }
    GElf_Shdr shdr;
    Elf_Data* data = elf_getdata(symbols, nullptr);
    if (!gelf_getshdr(symbols, &shdr) || !data || shdr.sh_entsize == 0) {
        return;
    }
    std::vector<std::pair<Function, bool>> found;  // with "is global"
    const size_t count = shdr.sh_size / shdr.sh_entsize;
    for (size_t i = 0; i < count; ++i) {
        GElf_Sym sym;
        if (!gelf_getsym(data, static_cast<int>(i), &sym) ||
            GELF_ST_TYPE(sym.st_info) != STT_FUNC || sym.st_size == 0 ||
            sym.st_shndx >= executable.size() || !executable[sym.st_shndx]) {
            continue;
        }
        uint64_t available = 0;
        if (!facts_.bytes_at(sym.st_value, &available) || available < sym.st_size) {
            continue;
        }
        const char* name = elf_strptr(elf, shdr.sh_link, sym.st_name);
        found.push_back({{sym.st_value, sym.st_size, function_name(name ? name : "")},
                         GELF_ST_BIND(sym.st_info) != STB_LOCAL});
    }
    // Aliases share an address; a global name is the one users know.
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return a.first.addr != b.first.addr ? a.first.addr < b.first.addr : a.second > b.second;
    });
    uint64_t covered_end = 0;
    for (auto& [function, global] : found) {
        if (!facts_.functions.empty() && function.addr == facts_.functions.back().addr) {
            continue;
        }
        // Overlapping ranges leave the boundaries in doubt: keep the first.
        if (function.addr < covered_end) {
            continue;
        }
        covered_end = function.addr + function.size;
        facts_.functions.push_back(std::move(function));
    }
}

// Adds the address ranges of the subprograms in `scope` (a unit or a
// namespace) that no symbol covers: code whose symbols were stripped but
// whose debugging information was kept.
void CodeReader::add_dwarf_functions(Dwarf_Die* scope) {
    Dwarf_Die child;
    if (dwarf_child(scope, &child) != 0) {
        return;
    }
    do {
        if (dwarf_tag(&child) == DW_TAG_namespace) {
            add_dwarf_functions(&child);
            continue;
        }
        if (dwarf_tag(&child) != DW_TAG_subprogram) {
            continue;
        }
        // The linkage name, where there is one, is the name the symbol
        // table would have given.
        Dwarf_Attribute attr;
        const char* name =
            dwarf_formstring(dwarf_attr_integrate(&child, DW_AT_linkage_name, &attr));
        if (!name) {
            name = dwarf_diename(&child);
        }
        ptrdiff_t offset = 0;
        Dwarf_Addr base = 0;
        Dwarf_Addr start = 0;
        Dwarf_Addr end = 0;
        while ((offset = dwarf_ranges(&child, offset, &base, &start, &end)) > 0) {
            uint64_t available = 0;
            if (end <= start || !facts_.bytes_at(start, &available) || available < end - start) {
                continue;
            }
            const auto next =
                std::lower_bound(facts_.functions.begin(), facts_.functions.end(), start,
                                 [](const Function& f, uint64_t a) { return f.addr < a; });
            const bool overlaps_next = next != facts_.functions.end() && next->addr < end;
            const bool overlaps_previous = next != facts_.functions.begin() &&
                                           std::prev(next)->addr + std::prev(next)->size > start;
            if (!overlaps_next && !overlaps_previous) {
                facts_.functions.insert(next, Function{start, end - start, name ? name : ""});
            }
        }
    } while (dwarf_siblingof(&child, &child) == 0);
}

void CodeReader::read_lines() {
    std::unique_ptr<Dwarf, DwarfCloser> dwarf(dwarf_begin_elf(elf_.get(), DWARF_C_READ, nullptr));
    if (!dwarf) {
        return;  // no debugging information: function entries only
    }
    std::unordered_map<std::string, uint32_t> file_index;
    size_t header_size = 0;
    Dwarf_Off offset = 0;
    Dwarf_Off next = 0;
    while (dwarf_nextcu(dwarf.get(), offset, &next, &header_size, nullptr, nullptr, nullptr) == 0) {
        Dwarf_Die cu;
        Dwarf_Lines* lines = nullptr;
        size_t count = 0;
        const bool have_cu = dwarf_offdie(dwarf.get(), offset + header_size, &cu) != nullptr;
        if (have_cu) {
            add_dwarf_functions(&cu);
        }
        if (have_cu && dwarf_getsrclines(&cu, &lines, &count) == 0) {
            for (size_t i = 0; i < count; ++i) {
                Dwarf_Line* line = dwarf_onesrcline(lines, i);
                Dwarf_Addr addr = 0;
                int lineno = 0;
                bool is_stmt = false;
                bool end_sequence = false;
                if (!line || dwarf_lineaddr(line, &addr) != 0 || dwarf_lineno(line, &lineno) != 0 ||
                    dwarf_linebeginstatement(line, &is_stmt) != 0 ||
                    dwarf_lineendsequence(line, &end_sequence) != 0) {
                    continue;
                }
                const char* source = dwarf_linesrc(line, nullptr, nullptr);
                const auto [it, added] = file_index.try_emplace(
                    source ? source : "", static_cast<uint32_t>(facts_.files.size()));
                if (added) {
                    facts_.files.push_back(it->first);
                }
                facts_.lines.push_back({addr, it->second,
                                        static_cast<uint32_t>(std::max(lineno, 0)), is_stmt,
                                        end_sequence});
            }
        }
        offset = next;
    }
    std::stable_sort(
        facts_.lines.begin(), facts_.lines.end(), [](const LineRow& a, const LineRow& b) {
            return a.addr != b.addr ? a.addr < b.addr : a.end_sequence && !b.end_sequence;
        });
}

}  // namespace morphel
