#include "support/probe_table_reader.h"

#include <elf.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <type_traits>

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
        table.header = at<ryn_probe_header>(bytes, 0);
        const ryn_probe_header& h = table.header;
        // Each array, or a failure when it points outside the section.
        const auto read = [&](auto& out, uint64_t offset, uint64_t count) {
            using T = typename std::remove_reference_t<decltype(out)>::value_type;
            for (uint64_t i = 0; i < count && offset + (i + 1) * sizeof(T) <= bytes.size(); ++i) {
                out.push_back(at<T>(bytes, offset + i * sizeof(T)));
            }
            return out.size() == count;
        };
        if (h.strings_offset + h.strings_size > bytes.size() ||
            h.settings_offset + h.settings_size > bytes.size() ||
            !read(table.probes, h.probes_offset, h.probe_count) ||
            !read(table.sites, h.sites_offset, h.site_count) ||
            !read(table.branches, h.branches_offset, h.branch_count) ||
            !read(table.sums, h.sums_offset, h.sum_count)) {
            ADD_FAILURE() << "probe table of " << path << " points outside its section";
            return std::nullopt;
        }
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

std::map<std::string, Symbol> function_symbols(const std::string& path) {
    std::map<std::string, Symbol> symbols;
    std::istringstream lines(run({"nm", "-S", "--defined-only", path}).out);
    std::string addr, size, type, name;
    for (std::string line; std::getline(lines, line);) {
        // Symbols without a size have three fields and are skipped.
        if (std::istringstream(line) >> addr >> size >> type >> name &&
            (type == "t" || type == "T")) {
            symbols[name] = {std::stoull(addr, nullptr, 16), std::stoull(size, nullptr, 16)};
        }
    }
    return symbols;
}

std::map<uint64_t, std::string> instructions(const std::string& path) {
    std::map<uint64_t, std::string> found;
    std::istringstream lines(run({"objdump", "-d", "--no-show-raw-insn", path}).out);
    for (std::string line; std::getline(lines, line);) {
        const size_t colon = line.find(":\t");
        if (colon != std::string::npos && line.starts_with("  ") &&
            line.find_first_not_of(" 0123456789abcdef") == colon) {
            found[std::stoull(line.substr(0, colon), nullptr, 16)] = line.substr(colon + 2);
        }
    }
    return found;
}

}  // namespace ryn_test
