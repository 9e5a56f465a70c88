#include "comment_records.h"

#include <gelf.h>
#include <libelf.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "driver/ryn_util/elf_handle.h"
#include "engine_error.h"

namespace morphel {
namespace {

constexpr std::string_view k_comment = ".comment";

[[noreturn]] void fail_elf(const std::string& path, const std::string& what) {
    throw EngineError(path + ": " + what + ": " + elf_errmsg(-1));
}

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

}  // namespace

void append_comment_records(int fd, const std::string& path,
                            const std::vector<std::string>& records) {
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
        std::optional<size_t> name = find_string(names, k_comment);
        if (!name) {
            name = names.size();
            names.insert(names.end(), k_comment.begin(), k_comment.end());
            names.push_back('\0');
            names_grew = true;
        }
        comment_shdr.sh_name = static_cast<GElf_Word>(*name);
        comment_shdr.sh_type = SHT_PROGBITS;
        comment_shdr.sh_flags = SHF_MERGE | SHF_STRINGS;
        comment_shdr.sh_addralign = 1;
        comment_shdr.sh_entsize = 1;
    }
    for (const std::string& record : records) {
        comment_bytes.insert(comment_bytes.end(), record.begin(), record.end());
        comment_bytes.push_back('\0');
    }

    uint64_t end = static_cast<uint64_t>(st.st_size);
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
}

}  // namespace morphel
