#include "driver/ryn_util/elf_sections.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "driver/ryn_util/usable_path.h"
#include "i18n/driver_texts.h"
#include "ryn/exec_util.h"

namespace ryn {

ElfFile::ElfFile(const char* path) {
    fd_ = open_regular_file(path, O_RDONLY, &not_regular_);
    if (!fd_.valid()) {
        open_errno_ = errno;
        return;
    }
    elf_version(EV_CURRENT);
    errno = 0;
    elf_ = ElfHandle(elf_begin(fd_.get(), ELF_C_READ, nullptr));
    if (!elf_) {
        open_errno_ = errno;
    }
}

namespace {

SectionSearch failed(SectionSearch::Failure failure) {
    SectionSearch search;
    search.failure = failure;
    search.err = errno;
    return search;
}

}  // namespace

SectionSearch find_elf_section(Elf* elf, const char* name, int* is64) {
    const char* ident = elf_getident(elf, nullptr);
    if (ident == nullptr) {
        return failed(SectionSearch::Failure::no_ident);
    }
    if (is64 != nullptr) {
        *is64 = ident[EI_CLASS] == ELFCLASS64 ? 1 : 0;
    }

    GElf_Ehdr ehdr;
    if (gelf_getehdr(elf, &ehdr) == nullptr) {
        return failed(SectionSearch::Failure::bad_elf);
    }
    Elf_Scn* names_scn = elf_getscn(elf, ehdr.e_shstrndx);
    Elf_Data* names = names_scn ? elf_getdata(names_scn, nullptr) : nullptr;
    if (names == nullptr || names->d_size == 0 || names->d_buf == nullptr) {
        return failed(SectionSearch::Failure::bad_elf);
    }
    const char* table = static_cast<const char*>(names->d_buf);

    for (Elf_Scn* scn = elf_nextscn(elf, nullptr); scn != nullptr; scn = elf_nextscn(elf, scn)) {
        GElf_Shdr shdr;
        if (gelf_getshdr(scn, &shdr) == nullptr) {
            return failed(SectionSearch::Failure::bad_elf);
        }
        const GElf_Word offset = shdr.sh_name;
        if (offset >= names->d_size) {
            continue;
        }
        const size_t room = names->d_size - offset;
        if (strnlen(table + offset, room) < room && strcmp(table + offset, name) == 0) {
            SectionSearch found;
            found.section = scn;
            return found;
        }
    }
    return SectionSearch{};
}

void report_section_failure(ExecUtil& util, const SectionSearch& search, const char* path) {
    if (search.failure == SectionSearch::Failure::no_ident) {
        util.fatal(0, driver_text(DriverText::BAD_ELF_FILE), path);
    }
    util.fatal(search.err, get_msg(MORPHEL_BAD_ELF_FILE), path);
}

void end_elf_file(ExecUtil& util, ElfFile& file) {
    if (file.close() != 0) {
        util.fatal(0, "%s", driver_text(DriverText::ELF_STILL_OPEN));
    }
}

std::vector<char> section_bytes(Elf_Scn* section) {
    const Elf_Data* data = elf_getdata(section, nullptr);
    if (data == nullptr) {
        return {};
    }
    // A section that occupies no file space (SHT_NOBITS) has nothing to read;
    // the size it claims is not checked against the file and may be anything.
    if (data->d_buf == nullptr) {
        return {};
    }
    const char* bytes = static_cast<const char*>(data->d_buf);
    return std::vector<char>(bytes, bytes + data->d_size);
}

}  // namespace ryn
