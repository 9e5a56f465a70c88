#include "support/probe_table_builder.h"

#include <elf.h>
#include <md5.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>

#include <gtest/gtest.h>

#include "ryn/probe_format.h"

namespace ryn_test {
namespace {

template <typename T>
T at(const std::string& bytes, uint64_t offset) {
    T value{};
    if (offset + sizeof(T) <= bytes.size()) {
        memcpy(&value, bytes.data() + offset, sizeof(T));
    }
    return value;
}

std::string md5_hex(const std::string& bytes) {
    MD5_CTX context;
    MD5Init(&context);
    MD5Update(&context, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    unsigned char digest[MD5_DIGEST_LENGTH];
    MD5Final(digest, &context);
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

// Function symbols with code, by address (the first name wins).
std::map<uint64_t, std::string> function_entries(const std::string& elf) {
    const auto ehdr = at<Elf64_Ehdr>(elf, 0);
    std::map<uint64_t, std::string> entries;
    for (unsigned i = 0; i < ehdr.e_shnum; ++i) {
        const auto shdr = at<Elf64_Shdr>(elf, ehdr.e_shoff + i * sizeof(Elf64_Shdr));
        if (shdr.sh_type != SHT_SYMTAB) {
            continue;
        }
        const auto strtab =
            at<Elf64_Shdr>(elf, ehdr.e_shoff + shdr.sh_link * sizeof(Elf64_Shdr));
        for (uint64_t offset = 0; offset + sizeof(Elf64_Sym) <= shdr.sh_size;
             offset += sizeof(Elf64_Sym)) {
            const auto sym = at<Elf64_Sym>(elf, shdr.sh_offset + offset);
            if (ELF64_ST_TYPE(sym.st_info) == STT_FUNC && sym.st_size > 0 &&
                sym.st_shndx != SHN_UNDEF && sym.st_value != 0) {
                entries.emplace(sym.st_value, elf.c_str() + strtab.sh_offset + sym.st_name);
            }
        }
    }
    return entries;
}

}  // namespace

std::vector<BuiltProbe> add_probe_table(const std::string& input, const std::string& output,
                                        const std::string& settings, const std::string& digest) {
    std::ifstream in(input, std::ios::binary);
    std::string elf((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto ehdr = at<Elf64_Ehdr>(elf, 0);
    EXPECT_EQ(memcmp(ehdr.e_ident, ELFMAG, SELFMAG), 0) << input;

    // The last note entry becomes the table's segment, placed above every
    // other one so that no header has to move.
    std::vector<Elf64_Phdr> phdrs;
    int note = -1;
    uint64_t top = 0;
    for (unsigned i = 0; i < ehdr.e_phnum; ++i) {
        phdrs.push_back(at<Elf64_Phdr>(elf, ehdr.e_phoff + i * sizeof(Elf64_Phdr)));
        if (phdrs.back().p_type == PT_NOTE) {
            note = static_cast<int>(i);
        }
        if (phdrs.back().p_type == PT_LOAD) {
            top = std::max(top, phdrs.back().p_vaddr + phdrs.back().p_memsz);
        }
    }
    EXPECT_GE(note, 0) << input << " has no note segment";
    if (note < 0) {
        return {};
    }

    std::vector<BuiltProbe> built;
    std::vector<ryn_probe> probes;
    std::string strings(1, '\0');
    for (const auto& [addr, name] : function_entries(elf)) {
        for (const auto& phdr : phdrs) {
            if (phdr.p_type == PT_LOAD && (phdr.p_flags & PF_X) && addr >= phdr.p_vaddr &&
                addr < phdr.p_vaddr + phdr.p_filesz) {
                ryn_probe probe{};
                probe.addr = addr;
                probe.function = static_cast<uint32_t>(strings.size());
                strings += name + '\0';
                probe.file = 0;
                probe.line = 0;
                probe.insn_count = 1;
                probe.original = static_cast<uint8_t>(elf[phdr.p_offset + addr - phdr.p_vaddr]);
                probe.flags = RYN_PROBE_FUNCTION_ENTRY;
                probes.push_back(probe);
                built.push_back({addr, name});
            }
        }
    }

    ryn_probe_header header{};
    memcpy(header.magic, RYN_PROBE_MAGIC, RYN_PROBE_MAGIC_SIZE);
    header.version = RYN_PROBE_VERSION;
    header.probe_count = static_cast<uint32_t>(probes.size());
    header.probes_offset = sizeof header;
    header.strings_offset = header.probes_offset + probes.size() * sizeof(ryn_probe);
    header.strings_size = strings.size();
    header.settings_offset = header.strings_offset + strings.size();
    header.settings_size = settings.size();
    const std::string sum = digest.empty() ? md5_hex(elf) : digest;
    memcpy(header.digest, sum.data(), RYN_DIGEST_CHARS);

    std::string table(reinterpret_cast<const char*>(&header), sizeof header);
    table.append(reinterpret_cast<const char*>(probes.data()), probes.size() * sizeof(ryn_probe));
    table += strings;
    table += settings;

    const uint64_t page = 4096;
    const uint64_t offset = (elf.size() + page - 1) / page * page;
    Elf64_Phdr& segment = phdrs[static_cast<size_t>(note)];
    segment = Elf64_Phdr{};
    segment.p_type = PT_LOAD;
    segment.p_flags = PF_R;
    segment.p_offset = offset;
    segment.p_vaddr = segment.p_paddr = (top + page - 1) / page * page;
    segment.p_filesz = segment.p_memsz = table.size();
    segment.p_align = page;
    memcpy(elf.data() + ehdr.e_phoff + static_cast<uint64_t>(note) * sizeof(Elf64_Phdr), &segment,
           sizeof segment);
    elf.resize(offset, '\0');
    elf += table;

    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    out.write(elf.data(), static_cast<std::streamsize>(elf.size()));
    out.close();
    chmod(output.c_str(), 0755);
    return built;
}

}  // namespace ryn_test
