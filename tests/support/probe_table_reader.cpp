#include "support/probe_table_reader.h"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include <gtest/gtest.h>

namespace ryn_test {
namespace {

// An open ELF file, closed on every way out.
struct OpenElf {
    explicit OpenElf(const std::string& path) : fd(open(path.c_str(), O_RDONLY)) {
        elf_version(EV_CURRENT);
        elf = fd >= 0 ? elf_begin(fd, ELF_C_READ, nullptr) : nullptr;
    }
    ~OpenElf() {
        if (elf) {
            elf_end(elf);
        }
        if (fd >= 0) {
            close(fd);
        }
    }
    int fd;
    Elf* elf;
};

}  // namespace

std::string ProbeTable::text(uint32_t string_offset) const {
    return string_offset < strings.size() ? std::string(strings.c_str() + string_offset) : "<bad>";
}

const ryn_probe* ProbeTable::find(uint64_t probe_addr) const {
    const auto it = std::lower_bound(probes.begin(), probes.end(), probe_addr,
                                     [](const ryn_probe& p, uint64_t a) { return p.addr < a; });
    return it != probes.end() && it->addr == probe_addr ? &*it : nullptr;
}

std::optional<ProbeTable> read_probe_table(const std::string& path) {
    const OpenElf file(path);
    size_t shstrndx = 0;
    if (!file.elf || elf_getshdrstrndx(file.elf, &shstrndx) != 0) {
        ADD_FAILURE() << "cannot read " << path;
        return std::nullopt;
    }
    for (Elf_Scn* scn = elf_nextscn(file.elf, nullptr); scn; scn = elf_nextscn(file.elf, scn)) {
        GElf_Shdr shdr;
        const char* name = gelf_getshdr(scn, &shdr) ? elf_strptr(file.elf, shstrndx, shdr.sh_name) : nullptr;
        if (!name || std::string_view(name) != RYN_PROBE_SECTION) {
            continue;
        }
        Elf_Data* data = elf_getdata(scn, nullptr);
        if (!data || data->d_size < sizeof(ryn_probe_header)) {
            ADD_FAILURE() << "probe section too small in " << path;
            return std::nullopt;
        }
        const char* bytes = static_cast<const char*>(data->d_buf);
        ProbeTable table;
        table.addr = shdr.sh_addr;
        table.offset = shdr.sh_offset;
        std::memcpy(&table.header, bytes, sizeof table.header);
        const ryn_probe_header& h = table.header;
        if (h.probes_offset + uint64_t{h.probe_count} * sizeof(ryn_probe) > data->d_size ||
            h.strings_offset + h.strings_size > data->d_size ||
            h.settings_offset + h.settings_size > data->d_size) {
            ADD_FAILURE() << "probe table of " << path << " points outside its section";
            return std::nullopt;
        }
        table.probes.resize(h.probe_count);
        std::memcpy(table.probes.data(), bytes + h.probes_offset, h.probe_count * sizeof(ryn_probe));
        table.strings.assign(bytes + h.strings_offset, h.strings_size);
        table.settings.assign(bytes + h.settings_offset, h.settings_size);
        size_t count = 0;
        elf_getphdrnum(file.elf, &count);
        for (size_t i = 0; i < count; ++i) {
            GElf_Phdr phdr;
            if (gelf_getphdr(file.elf, static_cast<int>(i), &phdr) && phdr.p_type == PT_LOAD &&
                phdr.p_offset == shdr.sh_offset && phdr.p_vaddr == shdr.sh_addr &&
                phdr.p_filesz == shdr.sh_size) {
                table.segment_flags = phdr.p_flags;
            }
        }
        return table;
    }
    return std::nullopt;
}

std::optional<uint8_t> byte_at_address(const std::string& path, uint64_t addr) {
    const OpenElf file(path);
    if (!file.elf) {
        return std::nullopt;
    }
    for (Elf_Scn* scn = elf_nextscn(file.elf, nullptr); scn; scn = elf_nextscn(file.elf, scn)) {
        GElf_Shdr shdr;
        if (gelf_getshdr(scn, &shdr) && (shdr.sh_flags & SHF_ALLOC) && shdr.sh_type != SHT_NOBITS &&
            addr >= shdr.sh_addr && addr - shdr.sh_addr < shdr.sh_size) {
            uint8_t byte = 0;
            if (pread(file.fd, &byte, 1, static_cast<off_t>(shdr.sh_offset + addr - shdr.sh_addr)) != 1) {
                return std::nullopt;
            }
            return byte;
        }
    }
    return std::nullopt;
}

}  // namespace ryn_test
