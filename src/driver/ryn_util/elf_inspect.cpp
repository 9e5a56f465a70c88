// Questions about an ELF file: its kind, its class and its sections.
#include <gelf.h>

#include <vector>

#include "driver/ryn_util/elf_sections.h"
#include "i18n/driver_texts.h"
#include "ryn/exec_util.h"

namespace ryn {

namespace {

// Position-independent executables are ET_DYN like shared libraries; the
// linker marks them with DF_1_PIE in DT_FLAGS_1. The program header is read
// rather than the sections, so that a file stripped of its section table is
// still told apart.
bool marked_as_pie(Elf* elf) {
    size_t count = 0;
    if (elf_getphdrnum(elf, &count) != 0) {
        return false;
    }
    const size_t entry_size = gelf_fsize(elf, ELF_T_DYN, 1, EV_CURRENT);
    for (size_t i = 0; i < count; ++i) {
        GElf_Phdr phdr;
        if (gelf_getphdr(elf, static_cast<int>(i), &phdr) == nullptr || phdr.p_type != PT_DYNAMIC) {
            continue;
        }
        Elf_Data* dynamic = elf_getdata_rawchunk(elf, static_cast<int64_t>(phdr.p_offset),
                                                 phdr.p_filesz, ELF_T_DYN);
        if (dynamic == nullptr || entry_size == 0) {
            return false;
        }
        for (size_t j = 0; j < dynamic->d_size / entry_size; ++j) {
            GElf_Dyn entry;
            if (gelf_getdyn(dynamic, static_cast<int>(j), &entry) == nullptr ||
                entry.d_tag == DT_NULL) {
                break;
            }
            if (entry.d_tag == DT_FLAGS_1 && (entry.d_un.d_val & DF_1_PIE) != 0) {
                return true;
            }
        }
        return false;
    }
    return false;
}

}  // namespace

bool ExecUtil::is_shared_object(const char* path, bool strict) {
    ryn::ElfFile file(path);
    if (file.not_regular()) {
        fatal(0, get_msg(RYN_E_NOT_BINARY), path);
    }
    if (!file.fd_valid()) {
        fatal(file.open_errno(), get_msg(MORPHEL_NO_FILE_ACCESS), path);
    }
    if (!file.elf_valid()) {
        if (!strict) {
            return false;
        }
        file.close();
        fatal(file.open_errno(), get_msg(MORPHEL_BAD_ELF_FILE), path);
    }
    GElf_Ehdr ehdr;
    if (gelf_getehdr(file.elf(), &ehdr) == nullptr) {
        file.close();
        if (!strict) {
            return false;
        }
        // libelf leaves errno alone here, so whatever it holds says nothing.
        fatal(0, get_msg(MORPHEL_BAD_ELF_FILE), path);
    }
    const bool executable =
        ehdr.e_type == ET_EXEC || (ehdr.e_type == ET_DYN && marked_as_pie(file.elf()));
    ryn::end_elf_file(*this, file);

    if (ehdr.e_type == ET_EXEC || ehdr.e_type == ET_DYN) {
        return !executable;
    }
    if (strict) {
        fatal(0, get_msg(RYN_E_NOT_BINARY), path);
    }
    return false;
}

int ExecUtil::extract_section_from_elf(const char* path, const char* name, std::vector<char>* data,
                                       int* is64) {
    ryn::ElfFile file(path);
    if (!file.elf_valid()) {
        const char* failed_call = file.fd_valid() ? "elf_begin" : "open";
        file.close();
        fatal(file.open_errno(), get_msg(CALL_FAILED_STRING_PARAM), failed_call, path);
    }
    const ryn::SectionSearch search = ryn::find_elf_section(file.elf(), name, is64);
    if (search.failure != ryn::SectionSearch::Failure::none) {
        file.close();
        ryn::report_section_failure(*this, search, path);
    }
    int size = -1;
    if (search.section != nullptr) {
        *data = ryn::section_bytes(search.section);
        size = static_cast<int>(data->size());
    }
    ryn::end_elf_file(*this, file);
    return size;
}

bool ExecUtil::is_64_bit_binary(const char* path) {
    ryn::ElfFile file(path);
    if (!file.elf_valid()) {
        file.close();
        fatal(file.open_errno(), get_msg(GENERAL_FATAL_ERROR), "is_64_bit_binary");
    }
    const char* ident = elf_getident(file.elf(), nullptr);
    if (ident == nullptr) {
        file.close();
        fatal(0, driver_text(DriverText::BAD_ELF_FILE), path);
    }
    const bool wide = ident[EI_CLASS] == ELFCLASS64;
    ryn::end_elf_file(*this, file);
    return wide;
}

}  // namespace ryn
