#include "landing_pads.h"

#include <gelf.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

namespace morphel {
namespace {

constexpr uint8_t k_omit = 0xff;

// Loaded sections' bytes by address.
struct LoadedSection {
    uint64_t addr;
    uint64_t size;
    const uint8_t* bytes;
};

// A bounded reader of the unwinder's encodings; any read past the end makes
// it fail, and every later read fails too.
class Cursor {
public:
    Cursor(const uint8_t* bytes, size_t size, uint64_t addr)
        : bytes_(bytes), size_(size), addr_(addr) {}
    bool ok() const { return ok_; }
    size_t pos() const { return pos_; }
    void seek(size_t pos) {
        pos_ = pos;
        ok_ = ok_ && pos <= size_;
    }
    uint64_t addr() const { return addr_ + pos_; }

    uint64_t fixed(size_t n) {
        if (!ok_ || size_ - pos_ < n) {
            ok_ = false;
            return 0;
        }
        uint64_t value = 0;
        std::memcpy(&value, bytes_ + pos_, n);  // little-endian host
        pos_ += n;
        return value;
    }
    uint64_t uleb() {
        uint64_t value = 0;
        for (unsigned shift = 0;; shift += 7) {
            const uint8_t byte = static_cast<uint8_t>(fixed(1));
            if (!ok_) {
                return 0;
            }
            if (shift < 64) {
                value |= static_cast<uint64_t>(byte & 0x7f) << shift;
            }
            if (!(byte & 0x80)) {
                return value;
            }
        }
    }
    int64_t sleb() {
        int64_t value = 0;
        unsigned shift = 0;
        uint8_t byte = 0;
        do {
            byte = static_cast<uint8_t>(fixed(1));
            if (!ok_) {
                return 0;
            }
            if (shift < 64) {
                value |= static_cast<int64_t>(byte & 0x7f) << shift;
            }
            shift += 7;
        } while (byte & 0x80);
        if (shift < 64 && (byte & 0x40)) {
            value |= -(int64_t{1} << shift);
        }
        return value;
    }
    std::string_view cstring() {
        const void* nul = ok_ ? std::memchr(bytes_ + pos_, 0, size_ - pos_) : nullptr;
        if (!nul) {
            ok_ = false;
            return {};
        }
        const std::string_view text(reinterpret_cast<const char*>(bytes_ + pos_),
                                    static_cast<const uint8_t*>(nul) - (bytes_ + pos_));
        pos_ += text.size() + 1;
        return text;
    }
    // A pointer in the unwinder's encoding; pc-relative ones count from
    // where the value is stored. Indirect and base-relative forms are not
    // used for code addresses by the compilers here and make the read fail.
    uint64_t encoded(uint8_t encoding) {
        const uint64_t at = addr();
        uint64_t value = 0;
        switch (encoding & 0x0f) {
        case 0x00: value = fixed(8); break;
        case 0x01: value = uleb(); break;
        case 0x02: value = fixed(2); break;
        case 0x03: value = fixed(4); break;
        case 0x04: value = fixed(8); break;
        case 0x09: value = static_cast<uint64_t>(sleb()); break;
        case 0x0a: value = static_cast<uint64_t>(static_cast<int16_t>(fixed(2))); break;
        case 0x0b: value = static_cast<uint64_t>(static_cast<int32_t>(fixed(4))); break;
        case 0x0c: value = fixed(8); break;
        default: ok_ = false; return 0;
        }
        switch (encoding & 0x70) {
        case 0x00: break;
        case 0x10: value += at; break;
        default: ok_ = false; return 0;
        }
        if (encoding & 0x80) {
            ok_ = false;
        }
        return value;
    }

private:
    const uint8_t* bytes_;
    size_t size_;
    uint64_t addr_;
    size_t pos_ = 0;
    bool ok_ = true;
};

struct Cie {
    uint8_t fde_encoding = 0;
    uint8_t lsda_encoding = k_omit;
    bool has_augmentation_data = false;
};

std::optional<Cie> read_cie(Cursor c) {
    Cie cie;
    const uint64_t version = c.fixed(1);
    const std::string_view augmentation = c.cstring();
    if (augmentation.find("eh") != std::string_view::npos) {
        c.fixed(8);
    }
    c.uleb();
    c.sleb();
    if (version == 1) {
        c.fixed(1);
    } else {
        c.uleb();
    }
    if (!augmentation.starts_with('z')) {
        return c.ok() ? std::optional<Cie>(cie) : std::nullopt;
    }
    cie.has_augmentation_data = true;
    c.uleb();
    for (const char letter : augmentation.substr(1)) {
        if (letter == 'L') {
            cie.lsda_encoding = static_cast<uint8_t>(c.fixed(1));
        } else if (letter == 'R') {
            cie.fde_encoding = static_cast<uint8_t>(c.fixed(1));
        } else if (letter == 'P') {
            const uint8_t encoding = static_cast<uint8_t>(c.fixed(1));
            // The personality routine may be reached indirectly; only its
            // size matters here.
            c.encoded(static_cast<uint8_t>(encoding & 0x0f));
        } else if (letter != 'S' && letter != 'B') {
            return std::nullopt;
        }
    }
    return c.ok() ? std::optional<Cie>(cie) : std::nullopt;
}

// Adds the landing pads of one call-site table.
void read_lsda(const LoadedSection& section, uint64_t lsda, uint64_t function_start,
               std::vector<uint64_t>& pads) {
    Cursor c(section.bytes, section.size, section.addr);
    c.seek(lsda - section.addr);
    const uint8_t lpstart_encoding = static_cast<uint8_t>(c.fixed(1));
    const uint64_t lpstart =
        lpstart_encoding == k_omit ? function_start : c.encoded(lpstart_encoding);
    if (static_cast<uint8_t>(c.fixed(1)) != k_omit) {
        c.uleb();
    }
    const uint8_t site_encoding = static_cast<uint8_t>(c.fixed(1));
    const uint64_t table_size = c.uleb();
    const size_t end = c.pos() + table_size;
    while (c.ok() && c.pos() < end) {
        c.encoded(site_encoding);
        c.encoded(site_encoding);
        const uint64_t pad = c.encoded(site_encoding);
        c.uleb();
        if (c.ok() && pad != 0) {
            pads.push_back(lpstart + pad);
        }
    }
}

}  // namespace

std::vector<uint64_t> find_landing_pads(Elf* elf) {
    size_t shstrndx = 0;
    if (elf_getshdrstrndx(elf, &shstrndx) != 0) {
        return {};
    }
    std::vector<LoadedSection> loaded;
    std::optional<LoadedSection> eh_frame;
    for (Elf_Scn* scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
        GElf_Shdr shdr;
        Elf_Data* data = nullptr;
        if (!gelf_getshdr(scn, &shdr) || shdr.sh_type == SHT_NOBITS ||
            !(shdr.sh_flags & SHF_ALLOC) || !(data = elf_rawdata(scn, nullptr)) || !data->d_buf ||
            data->d_size != shdr.sh_size) {
            continue;
        }
        const LoadedSection section{shdr.sh_addr, shdr.sh_size,
                                    static_cast<const uint8_t*>(data->d_buf)};
        loaded.push_back(section);
        const char* name = elf_strptr(elf, shstrndx, shdr.sh_name);
        if (name && std::string_view(name) == ".eh_frame") {
            eh_frame = section;
        }
    }
    std::vector<uint64_t> pads;
    if (!eh_frame) {
        return pads;
    }
    Cursor c(eh_frame->bytes, eh_frame->size, eh_frame->addr);
    while (c.ok() && c.pos() + 4 <= eh_frame->size) {
        uint64_t length = c.fixed(4);
        if (length == 0) {
            break;
        }
        if (length == 0xffffffff) {
            length = c.fixed(8);
        }
        const size_t id_pos = c.pos();
        const size_t next = id_pos + length;
        const uint64_t id = c.fixed(4);
        if (!c.ok() || next > eh_frame->size) {
            break;
        }
        if (id != 0 && id <= id_pos) {
            Cursor cie_cursor = c;
            cie_cursor.seek(id_pos - id);
            if (cie_cursor.fixed(4) == 0xffffffff) {
                cie_cursor.fixed(8);
            }
            cie_cursor.fixed(4);
            const std::optional<Cie> cie = read_cie(cie_cursor);
            if (cie && cie->has_augmentation_data && cie->lsda_encoding != k_omit) {
                Cursor fde = c;
                const uint64_t start = fde.encoded(cie->fde_encoding);
                fde.encoded(static_cast<uint8_t>(cie->fde_encoding & 0x0f));
                fde.uleb();
                const uint64_t lsda = fde.encoded(cie->lsda_encoding);
                if (fde.ok() && lsda != 0) {
                    for (const LoadedSection& section : loaded) {
                        if (lsda >= section.addr && lsda - section.addr < section.size) {
                            read_lsda(section, lsda, start, pads);
                            break;
                        }
                    }
                }
            }
        }
        c.seek(next);
    }
    std::sort(pads.begin(), pads.end());
    pads.erase(std::unique(pads.begin(), pads.end()), pads.end());
    return pads;
}

}  // namespace morphel
