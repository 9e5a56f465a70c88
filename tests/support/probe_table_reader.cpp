#include "support/probe_table_reader.h"

#include <elf.h>

#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace ryn_test {
namespace {

// A value of the file at `offset`, zero when the file is too short for it.
template <typename T>
T at(const std::string& bytes, uint64_t offset) {
    T value{};
    if (offset <= bytes.size() && sizeof(T) <= bytes.size() - offset) {
        memcpy(&value, bytes.data() + offset, sizeof(T));
    }
    return value;
}

std::vector<Elf64_Shdr> sections(const std::string& elf) {
    const auto ehdr = at<Elf64_Ehdr>(elf, 0);
    std::vector<Elf64_Shdr> all;
    for (unsigned i = 0; i < ehdr.e_shnum; ++i) {
        all.push_back(at<Elf64_Shdr>(elf, ehdr.e_shoff + i * sizeof(Elf64_Shdr)));
    }
    return all;
}

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
    const std::string elf = read_file(path);
    const auto ehdr = at<Elf64_Ehdr>(elf, 0);
    const std::vector<Elf64_Shdr> all = sections(elf);
    const uint64_t names =
        ehdr.e_shstrndx < all.size() ? all[ehdr.e_shstrndx].sh_offset : elf.size();
    for (const Elf64_Shdr& shdr : all) {
        const uint64_t name = names + shdr.sh_name;
        if (name >= elf.size() || std::string(elf.c_str() + name) != RYN_PROBE_SECTION) {
            continue;
        }
        if (shdr.sh_size < sizeof(ryn_probe_header) || shdr.sh_offset + shdr.sh_size > elf.size()) {
            ADD_FAILURE() << "probe section too small in " << path;
            return std::nullopt;
        }
        const std::string bytes = elf.substr(shdr.sh_offset, shdr.sh_size);
        ProbeTable table;
        table.addr = shdr.sh_addr;
        table.offset = shdr.sh_offset;
        table.header = at<ryn_probe_header>(bytes, 0);
        const ryn_probe_header& h = table.header;
        if (h.probes_offset + uint64_t{h.probe_count} * sizeof(ryn_probe) > bytes.size() ||
            h.strings_offset + h.strings_size > bytes.size() ||
            h.settings_offset + h.settings_size > bytes.size()) {
            ADD_FAILURE() << "probe table of " << path << " points outside its section";
            return std::nullopt;
        }
        for (uint32_t i = 0; i < h.probe_count; ++i) {
            table.probes.push_back(at<ryn_probe>(bytes, h.probes_offset + i * sizeof(ryn_probe)));
        }
        if (h.sites_offset + uint64_t{h.site_count} * sizeof(ryn_site) > bytes.size() ||
            h.branches_offset + uint64_t{h.branch_count} * sizeof(ryn_branch) > bytes.size() ||
            h.call_adjusts_offset + uint64_t{h.call_adjust_count} * sizeof(ryn_call_adjust) >
                bytes.size() ||
            h.locks_offset + uint64_t{h.lock_count} * sizeof(uint64_t) > bytes.size() ||
            h.sums_offset + uint64_t{h.sum_count} * sizeof(ryn_count_sum) > bytes.size()) {
            ADD_FAILURE() << "counting parts of " << path << " point outside the section";
            return std::nullopt;
        }
        for (uint32_t i = 0; i < h.site_count; ++i) {
            table.sites.push_back(at<ryn_site>(bytes, h.sites_offset + i * sizeof(ryn_site)));
        }
        for (uint32_t i = 0; i < h.branch_count; ++i) {
            table.branches.push_back(
                at<ryn_branch>(bytes, h.branches_offset + i * sizeof(ryn_branch)));
        }
        for (uint32_t i = 0; i < h.call_adjust_count; ++i) {
            table.adjusts.push_back(
                at<ryn_call_adjust>(bytes, h.call_adjusts_offset + i * sizeof(ryn_call_adjust)));
        }
        for (uint32_t i = 0; i < h.lock_count; ++i) {
            table.locks.push_back(at<uint64_t>(bytes, h.locks_offset + i * sizeof(uint64_t)));
        }
        for (uint32_t i = 0; i < h.sum_count; ++i) {
            table.sums.push_back(
                at<ryn_count_sum>(bytes, h.sums_offset + i * sizeof(ryn_count_sum)));
        }
        table.segment = bytes;
        table.strings = bytes.substr(h.strings_offset, h.strings_size);
        table.settings = bytes.substr(h.settings_offset, h.settings_size);
        for (unsigned i = 0; i < ehdr.e_phnum; ++i) {
            const auto phdr = at<Elf64_Phdr>(elf, ehdr.e_phoff + i * sizeof(Elf64_Phdr));
            if (phdr.p_type == PT_LOAD && phdr.p_offset == shdr.sh_offset &&
                phdr.p_vaddr == shdr.sh_addr && phdr.p_filesz == shdr.sh_size) {
                table.segment_flags = phdr.p_flags;
            }
        }
        return table;
    }
    return std::nullopt;
}

std::optional<uint8_t> byte_at_address(const std::string& path, uint64_t addr) {
    const std::string elf = read_file(path);
    for (const Elf64_Shdr& shdr : sections(elf)) {
        const uint64_t offset = shdr.sh_offset + addr - shdr.sh_addr;
        if ((shdr.sh_flags & SHF_ALLOC) && shdr.sh_type != SHT_NOBITS && addr >= shdr.sh_addr &&
            addr - shdr.sh_addr < shdr.sh_size && offset < elf.size()) {
            return static_cast<uint8_t>(elf[offset]);
        }
    }
    return std::nullopt;
}

}  // namespace ryn_test
