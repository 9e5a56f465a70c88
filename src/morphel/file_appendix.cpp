#include "file_appendix.h"

#include <gelf.h>
#include <libelf.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "driver/ryn_util/elf_handle.h"
#include "engine_error.h"
#include "ryn/probe_format.h"

namespace morphel {
namespace {

constexpr std::string_view k_comment = ".comment";
constexpr std::string_view k_probes = RYN_PROBE_SECTION;
constexpr std::string_view k_counters = ".ryn_counters";
constexpr uint64_t k_counter_alignment = 8;
constexpr uint64_t k_page_size = 0x1000;
constexpr uint64_t k_table_alignment = 8;

GElf_Shdr section_header(Elf_Scn* scn, const std::string& path) {
    GElf_Shdr shdr;
    if (!gelf_getshdr(scn, &shdr)) {
        fail_elf(path, "cannot read a section header");
    }
    return shdr;
}

Elf_Scn* find_section(Elf* elf, size_t shstrndx, std::string_view name, const std::string& path) {
    for (Elf_Scn* scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
        const char* scn_name = elf_strptr(elf, shstrndx, section_header(scn, path).sh_name);
        if (scn_name && name == scn_name) {
            return scn;
        }
    }
    return nullptr;
}

// The bytes of a section's only data block, or nothing for an empty one.
std::vector<char> section_bytes(Elf_Scn* scn, const std::string& path) {
    elf_errno();  // an empty section yields no data and no error
    Elf_Data* data = elf_getdata(scn, nullptr);
    if (!data) {
        if (elf_errno() != 0) {
            fail_elf(path, "cannot read section data");
        }
        return {};
    }
    const char* bytes = static_cast<const char*>(data->d_buf);
    return bytes ? std::vector<char>(bytes, bytes + data->d_size) : std::vector<char>();
}

// Offset of `name` as a NUL-terminated string (or the tail of one) in a
// string table, if it is there.
std::optional<size_t> find_string(const std::vector<char>& table, std::string_view name) {
    const std::string_view text(table.data(), table.size());
    for (size_t at = text.find(name); at != std::string_view::npos; at = text.find(name, at + 1)) {
        if (at + name.size() < text.size() && text[at + name.size()] == '\0') {
            return at;
        }
    }
    return std::nullopt;
}

uint64_t align_up(uint64_t offset, uint64_t alignment) {
    return (offset + alignment - 1) / alignment * alignment;
}

// Gives a section new contents at `offset`; `bytes` must outlive elf_update.
void place_section(Elf_Scn* scn, GElf_Shdr& shdr, std::vector<char>& bytes, uint64_t offset,
                   const std::string& path) {
    Elf_Data* data = elf_getdata(scn, nullptr);
    if (!data && !(data = elf_newdata(scn))) {
        fail_elf(path, "cannot add section data");
    }
    data->d_buf = bytes.data();
    data->d_size = bytes.size();
    data->d_off = 0;
    data->d_align = 1;
    data->d_type = ELF_T_BYTE;
    data->d_version = EV_CURRENT;
    shdr.sh_offset = offset;
    shdr.sh_size = bytes.size();
    if (!gelf_update_shdr(scn, &shdr)) {
        fail_elf(path, "cannot update a section header");
    }
    elf_flagdata(data, ELF_C_SET, ELF_F_DIRTY);
    elf_flagscn(scn, ELF_C_SET, ELF_F_DIRTY);
}

// A section's name in the section-name table, added when missing.
GElf_Word section_name(std::vector<char>& names, bool& names_grew, std::string_view name) {
    std::optional<size_t> at = find_string(names, name);
    if (!at) {
        at = names.size();
        names.insert(names.end(), name.begin(), name.end());
        names.push_back('\0');
        names_grew = true;
    }
    return static_cast<GElf_Word>(*at);
}

// The program header the probe segment can take: the one of an earlier
// probe table, else an unused one, else the last note that is not also the
// property note (the loader reads that one).
std::optional<size_t> probe_header_slot(Elf* elf, const std::optional<GElf_Shdr>& old_table,
                                        const std::string& path) {
    size_t count = 0;
    if (elf_getphdrnum(elf, &count) != 0) {
        fail_elf(path, "cannot read the program headers");
    }
    std::optional<GElf_Off> property_offset;
    std::vector<GElf_Phdr> headers(count);
    for (size_t i = 0; i < count; ++i) {
        if (!gelf_getphdr(elf, static_cast<int>(i), &headers[i])) {
            fail_elf(path, "cannot read a program header");
        }
        if (headers[i].p_type == PT_GNU_PROPERTY) {
            property_offset = headers[i].p_offset;
        }
    }
    std::optional<size_t> slot;
    std::optional<size_t> unused;
    for (size_t i = 0; i < count; ++i) {
        const GElf_Phdr& h = headers[i];
        if (old_table && h.p_type == PT_LOAD && h.p_offset == old_table->sh_offset &&
            h.p_vaddr == old_table->sh_addr) {
            return i;
        }
        if (h.p_type == PT_NULL) {
            unused = i;
        } else if (h.p_type == PT_NOTE && h.p_offset != property_offset) {
            slot = i;
        }
    }
    return unused ? unused : slot;
}

// Writes `header` in place of the program header at `slot`, moved to just
// after the last PT_LOAD: the loader sizes a library's mapping from the
// first and the last PT_LOAD, in table order.
void place_after_loads(Elf* elf, size_t slot, const GElf_Phdr& header, const std::string& path) {
    size_t count = 0;
    if (elf_getphdrnum(elf, &count) != 0) {
        fail_elf(path, "cannot read the program headers");
    }
    std::vector<GElf_Phdr> headers(count);
    for (size_t i = 0; i < count; ++i) {
        if (!gelf_getphdr(elf, static_cast<int>(i), &headers[i])) {
            fail_elf(path, "cannot read a program header");
        }
    }
    headers.erase(headers.begin() + static_cast<long>(slot));
    size_t after_loads = 0;
    for (size_t i = 0; i < headers.size(); ++i) {
        if (headers[i].p_type == PT_LOAD) {
            after_loads = i + 1;
        }
    }
    headers.insert(headers.begin() + static_cast<long>(after_loads), header);
    for (size_t i = 0; i < count; ++i) {
        if (!gelf_update_phdr(elf, static_cast<int>(i), &headers[i])) {
            fail_elf(path, "cannot update a program header");
        }
    }
    elf_flagphdr(elf, ELF_C_SET, ELF_F_DIRTY);
}

// The first address above every loaded segment.
uint64_t loaded_end(Elf* elf, const std::string& path) {
    size_t count = 0;
    if (elf_getphdrnum(elf, &count) != 0) {
        fail_elf(path, "cannot read the program headers");
    }
    uint64_t end = 0;
    for (size_t i = 0; i < count; ++i) {
        GElf_Phdr h;
        if (!gelf_getphdr(elf, static_cast<int>(i), &h)) {
            fail_elf(path, "cannot read a program header");
        }
        if (h.p_type == PT_LOAD) {
            end = std::max(end, h.p_vaddr + h.p_memsz);
        }
    }
    return end;
}

// Grows the highest PT_LOAD by `bytes` zero-filled bytes (8-aligned) when it
// is writable, and names them with a NOBITS section for tools. Returns their
// address, or 0.
uint64_t grow_writable_segment(Elf* elf, size_t shstrndx, std::vector<char>& names,
                               bool& names_grew, uint64_t bytes, const std::string& path) {
    size_t count = 0;
    if (bytes == 0 || elf_getphdrnum(elf, &count) != 0) {
        return 0;
    }
    std::optional<size_t> highest;
    GElf_Phdr top{};
    for (size_t i = 0; i < count; ++i) {
        GElf_Phdr h;
        if (!gelf_getphdr(elf, static_cast<int>(i), &h)) {
            fail_elf(path, "cannot read a program header");
        }
        if (h.p_type == PT_LOAD && (!highest || h.p_vaddr > top.p_vaddr)) {
            highest = i;
            top = h;
        }
    }
    if (!highest || !(top.p_flags & PF_W)) {
        return 0;
    }
    const uint64_t addr = align_up(top.p_vaddr + top.p_memsz, k_counter_alignment);
    top.p_memsz = addr + bytes - top.p_vaddr;
    if (!gelf_update_phdr(elf, static_cast<int>(*highest), &top)) {
        fail_elf(path, "cannot update a program header");
    }
    elf_flagphdr(elf, ELF_C_SET, ELF_F_DIRTY);

    Elf_Scn* scn = find_section(elf, shstrndx, k_counters, path);
    GElf_Shdr shdr{};
    if (scn) {
        shdr = section_header(scn, path);
    } else {
        scn = elf_newscn(elf);
        if (!scn) {
            fail_elf(path, "cannot add a section");
        }
        shdr.sh_name = section_name(names, names_grew, k_counters);
    }
    shdr.sh_type = SHT_NOBITS;
    shdr.sh_flags = SHF_ALLOC | SHF_WRITE;
    shdr.sh_addr = addr;
    shdr.sh_offset = top.p_offset + (addr - top.p_vaddr);
    shdr.sh_size = bytes;
    shdr.sh_addralign = k_counter_alignment;
    if (!gelf_update_shdr(scn, &shdr)) {
        fail_elf(path, "cannot update a section header");
    }
    elf_flagscn(scn, ELF_C_SET, ELF_F_DIRTY);
    return addr;
}

// Puts the probe table at `end` (rounded up), in a loaded segment at an
// address above all others and congruent with its file offset modulo the
// page size. Returns the new end of the data, or nothing when no program
// header can be taken over.
std::optional<uint64_t> place_probe_table(Elf* elf, size_t shstrndx, std::vector<char>& names,
                                          bool& names_grew, uint64_t end, Appendix& appendix,
                                          const std::string& path) {
    Elf_Scn* table = find_section(elf, shstrndx, k_probes, path);
    std::optional<GElf_Shdr> old_table;
    if (table) {
        old_table = section_header(table, path);
    }
    const std::optional<size_t> slot = probe_header_slot(elf, old_table, path);
    if (!slot) {
        return std::nullopt;
    }
    GElf_Phdr header;
    if (!gelf_getphdr(elf, static_cast<int>(*slot), &header)) {
        fail_elf(path, "cannot read a program header");
    }
    // An earlier table's segment gives up its place before the end of the
    // loaded image is measured.
    header.p_type = PT_NULL;
    header.p_memsz = 0;
    gelf_update_phdr(elf, static_cast<int>(*slot), &header);
    const uint64_t counters_addr =
        grow_writable_segment(elf, shstrndx, names, names_grew, appendix.counter_bytes, path);
    const uint64_t offset = align_up(end, k_table_alignment);
    const uint64_t addr = align_up(loaded_end(elf, path), k_page_size) + offset % k_page_size;
    if (appendix.build_probe_table) {
        appendix.probe_table = appendix.build_probe_table(addr, counters_addr);
    }
    std::vector<char>& bytes = *appendix.probe_table;

    GElf_Shdr shdr{};
    if (table) {
        shdr = *old_table;
    } else {
        table = elf_newscn(elf);
        if (!table) {
            fail_elf(path, "cannot add a section");
        }
        shdr.sh_name = section_name(names, names_grew, k_probes);
        shdr.sh_type = SHT_PROGBITS;
    }
    // Trampolines run from the segment of a table that was built with them.
    const bool has_code = static_cast<bool>(appendix.build_probe_table);
    shdr.sh_flags = SHF_ALLOC | (has_code ? SHF_EXECINSTR : 0);
    shdr.sh_addr = addr;
    shdr.sh_addralign = k_table_alignment;
    place_section(table, shdr, bytes, offset, path);

    header.p_type = PT_LOAD;
    header.p_flags = PF_R | (has_code ? PF_X : 0);
    header.p_offset = offset;
    header.p_vaddr = header.p_paddr = addr;
    header.p_filesz = header.p_memsz = bytes.size();
    header.p_align = k_page_size;
    place_after_loads(elf, *slot, header, path);
    return offset + bytes.size();
}

}  // namespace

bool write_appendix(int fd, const std::string& path, Appendix& appendix) {
    const std::vector<std::string>& records = appendix.comment_records;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        fail_with_errno("cannot read " + path, errno);
    }
    elf_version(EV_CURRENT);
    ryn::ElfHandle elf(elf_begin(fd, ELF_C_RDWR, nullptr));
    if (!elf) {
        fail_elf(path, "cannot open");
    }
    // Lay the file out ourselves: libelf's own layout would move loaded
    // sections and break the program.
    elf_flagelf(elf.get(), ELF_C_SET, ELF_F_LAYOUT);
    // libelf writes a section header table that grew only when the whole
    // descriptor is marked changed; otherwise it copies the table it read.
    elf_flagelf(elf.get(), ELF_C_SET, ELF_F_DIRTY);

    GElf_Ehdr ehdr;
    size_t shstrndx = 0;
    if (!gelf_getehdr(elf.get(), &ehdr) || elf_getshdrstrndx(elf.get(), &shstrndx) != 0) {
        fail_elf(path, "cannot read the ELF header");
    }
    if (shstrndx == SHN_UNDEF) {
        throw EngineError(path + ": no section name table");
    }
    Elf_Scn* shstrtab = elf_getscn(elf.get(), shstrndx);
    if (!shstrtab) {
        fail_elf(path, "cannot read the section name table");
    }
    std::vector<char> names = section_bytes(shstrtab, path);
    bool names_grew = false;
    uint64_t end = static_cast<uint64_t>(st.st_size);

    bool table_placed = false;
    if (appendix.probe_table || appendix.build_probe_table) {
        if (const std::optional<uint64_t> table_end =
                place_probe_table(elf.get(), shstrndx, names, names_grew, end, appendix, path)) {
            end = *table_end;
            table_placed = true;
        }
    }

    Elf_Scn* comment = find_section(elf.get(), shstrndx, k_comment, path);
    std::vector<char> comment_bytes;
    GElf_Shdr comment_shdr{};
    if (comment) {
        comment_shdr = section_header(comment, path);
        comment_bytes = section_bytes(comment, path);
    } else {
        comment = elf_newscn(elf.get());
        if (!comment) {
            fail_elf(path, "cannot add a section");
        }
        comment_shdr.sh_name = section_name(names, names_grew, k_comment);
        comment_shdr.sh_type = SHT_PROGBITS;
        comment_shdr.sh_flags = SHF_MERGE | SHF_STRINGS;
        comment_shdr.sh_addralign = 1;
        comment_shdr.sh_entsize = 1;
    }
    for (const std::string& record : records) {
        comment_bytes.insert(comment_bytes.end(), record.begin(), record.end());
        comment_bytes.push_back('\0');
    }

    place_section(comment, comment_shdr, comment_bytes, end, path);
    end += comment_bytes.size();
    if (names_grew) {
        GElf_Shdr names_shdr = section_header(shstrtab, path);
        place_section(shstrtab, names_shdr, names, end, path);
        end += names.size();
    }

    const uint64_t table_alignment = gelf_getclass(elf.get()) == ELFCLASS64 ? 8 : 4;
    if (!gelf_getehdr(elf.get(), &ehdr)) {
        fail_elf(path, "cannot read the ELF header");
    }
    ehdr.e_shoff = align_up(end, table_alignment);
    if (!gelf_update_ehdr(elf.get(), &ehdr)) {
        fail_elf(path, "cannot update the ELF header");
    }
    elf_flagehdr(elf.get(), ELF_C_SET, ELF_F_DIRTY);

    if (elf_update(elf.get(), ELF_C_WRITE) < 0) {
        fail_elf(path, "cannot write");
    }
    if (elf.end() != 0) {
        throw EngineError(path + ": ELF descriptor still in use");
    }
    return table_placed;
}

}  // namespace morphel
