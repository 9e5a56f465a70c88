#include "dynamic_edits.h"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>

#include <algorithm>
#include <cerrno>

#include "driver/ryn_util/elf_handle.h"
#include "driver/ryn_util/unique_fd.h"
#include "engine_error.h"
#include "tool_run.h"

namespace morphel {
namespace {

constexpr const char* k_patchelf = "/usr/bin/patchelf";

// The dynamic section of an open file, with its string table index.
struct DynamicSection {
    Elf_Scn* scn = nullptr;
    Elf_Data* data = nullptr;
    size_t strtab = 0;
    size_t count = 0;
};

DynamicSection find_dynamic(Elf* elf, const std::string& path) {
    DynamicSection dynamic;
    for (Elf_Scn* scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
        GElf_Shdr shdr;
        if (!gelf_getshdr(scn, &shdr)) {
            fail_elf(path, "cannot read a section header");
        }
        if (shdr.sh_type == SHT_DYNAMIC) {
            dynamic.scn = scn;
            dynamic.data = elf_getdata(scn, nullptr);
            dynamic.strtab = shdr.sh_link;
            dynamic.count = shdr.sh_entsize ? shdr.sh_size / shdr.sh_entsize : 0;
            if (!dynamic.data) {
                fail_elf(path, "cannot read the dynamic section");
            }
            break;
        }
    }
    return dynamic;
}

void patchelf(std::vector<std::string> args, const std::string& path) {
    args.insert(args.begin(), k_patchelf);
    args.push_back(path);
    run_tool(args);
}

// Turns the DT_NEEDED entry naming `auditor` into DT_DEPAUDIT and drops any
// auditor entry the file had before, so the copy names exactly one.
void flip_to_auditor(const std::string& path, const std::string& auditor) {
    const ryn::UniqueFd fd(open(path.c_str(), O_RDWR));
    if (!fd.valid()) {
        fail_with_errno("cannot open " + path, errno);
    }
    elf_version(EV_CURRENT);
    ryn::ElfHandle elf(elf_begin(fd.get(), ELF_C_RDWR, nullptr));
    if (!elf) {
        fail_elf(path, "cannot open");
    }
    // Nothing may move: only the dynamic entries change, in place. libelf
    // writes the headers back only when the whole file is marked changed;
    // otherwise it leaves zeros where they were.
    elf_flagelf(elf.get(), ELF_C_SET, ELF_F_LAYOUT);
    elf_flagelf(elf.get(), ELF_C_SET, ELF_F_DIRTY);
    const DynamicSection dynamic = find_dynamic(elf.get(), path);
    std::vector<GElf_Dyn> entries;
    bool flipped = false;
    for (size_t i = 0; i < dynamic.count; ++i) {
        GElf_Dyn dyn;
        if (!gelf_getdyn(dynamic.data, static_cast<int>(i), &dyn)) {
            fail_elf(path, "cannot read a dynamic entry");
        }
        if (dyn.d_tag == DT_AUDIT || dyn.d_tag == DT_DEPAUDIT) {
            continue;
        }
        if (!flipped && dyn.d_tag == DT_NEEDED) {
            const char* name = elf_strptr(elf.get(), dynamic.strtab, dyn.d_un.d_val);
            if (name && auditor == name) {
                dyn.d_tag = DT_DEPAUDIT;
                flipped = true;
            }
        }
        entries.push_back(dyn);
    }
    if (!flipped) {
        throw EngineError(path + ": the auditor " + auditor + " was not added");
    }
    while (entries.size() < dynamic.count) {
        entries.push_back(GElf_Dyn{DT_NULL, {0}});
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        if (!gelf_update_dyn(dynamic.data, static_cast<int>(i), &entries[i])) {
            fail_elf(path, "cannot write a dynamic entry");
        }
    }
    elf_flagdata(dynamic.data, ELF_C_SET, ELF_F_DIRTY);
    if (elf_update(elf.get(), ELF_C_WRITE) < 0) {
        fail_elf(path, "cannot write");
    }
}

}  // namespace

DynamicInfo read_dynamic_info(const std::string& path) {
    const ryn::UniqueFd fd(open(path.c_str(), O_RDONLY));
    if (!fd.valid()) {
        fail_with_errno("cannot read " + path, errno);
    }
    elf_version(EV_CURRENT);
    const ryn::ElfHandle elf(elf_begin(fd.get(), ELF_C_READ, nullptr));
    GElf_Ehdr ehdr;
    if (!elf || !gelf_getehdr(elf.get(), &ehdr)) {
        fail_elf(path, "cannot read the ELF header");
    }
    DynamicInfo info;
    info.is_main_program = ehdr.e_type == ET_EXEC;
    const DynamicSection dynamic = find_dynamic(elf.get(), path);
    if (!dynamic.scn) {
        return info;
    }
    info.has_dynamic = true;
    std::optional<std::string> rpath;
    for (size_t i = 0; i < dynamic.count; ++i) {
        GElf_Dyn dyn;
        if (!gelf_getdyn(dynamic.data, static_cast<int>(i), &dyn) || dyn.d_tag == DT_NULL) {
            break;
        }
        const auto text = [&]() -> std::string {
            const char* s = elf_strptr(elf.get(), dynamic.strtab, dyn.d_un.d_val);
            return s ? s : "";
        };
        switch (dyn.d_tag) {
        case DT_NEEDED: info.needed.push_back(text()); break;
        case DT_DEPAUDIT: info.auditor = text(); break;
        case DT_RUNPATH: info.run_path = text(); break;
        case DT_RPATH: rpath = text(); break;
        case DT_FLAGS_1:
            if (dyn.d_un.d_val & DF_1_PIE) {
                info.is_main_program = true;
            }
            break;
        default: break;
        }
    }
    // The loader ignores DT_RPATH when DT_RUNPATH is present.
    if (!info.run_path && rpath) {
        info.run_path = rpath;
        info.run_path_is_rpath = true;
    }
    return info;
}

std::string replace_origin(const std::string& text, const std::string& dir) {
    std::string result;
    for (size_t at = 0; at < text.size();) {
        if (text.compare(at, 9, "${ORIGIN}") == 0) {
            result += dir;
            at += 9;
        } else if (text.compare(at, 7, "$ORIGIN") == 0 &&
                   (at + 7 == text.size() ||
                    !(std::isalnum(static_cast<unsigned char>(text[at + 7])) ||
                      text[at + 7] == '_'))) {
            result += dir;
            at += 7;
        } else {
            result += text[at++];
        }
    }
    return result;
}

bool apply_dynamic_edits(const std::string& path, const DynamicInfo& info,
                         const DynamicEdits& edits) {
    if (!info.has_dynamic) {
        return false;
    }
    bool edited = false;
    if (edits.origin_dir && info.run_path) {
        const std::string rewritten = replace_origin(*info.run_path, *edits.origin_dir);
        if (rewritten != *info.run_path) {
            std::vector<std::string> args = {"--set-rpath", rewritten};
            if (info.run_path_is_rpath) {
                args.push_back("--force-rpath");
            }
            patchelf(args, path);
            edited = true;
        }
    }
    // The editor adds each new needed library in front of the others, so the
    // list is added back to front; one already needed is moved.
    for (auto it = edits.prepended.rbegin(); it != edits.prepended.rend(); ++it) {
        if (std::find(info.needed.begin(), info.needed.end(), *it) != info.needed.end()) {
            patchelf({"--remove-needed", *it}, path);
        }
        patchelf({"--add-needed", *it}, path);
        edited = true;
    }
    if (edits.auditor && info.auditor != edits.auditor) {
        patchelf({"--add-needed", *edits.auditor}, path);
        flip_to_auditor(path, *edits.auditor);
        edited = true;
    }
    return edited;
}

}  // namespace morphel
