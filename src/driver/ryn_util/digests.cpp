// Digests that name cache entries, and the 64-bit CRC.
#include <md5.h>

#include <array>
#include <cstring>

#include "ryn/exec_util.h"

namespace ryn {

namespace {

// MSB-first table of the polynomial x^64 + x^11 + x^2 + x + 1. The low part
// 0x807 is so short that no reduction is needed: entry i is the carry-less
// product of i and 0x807.
constexpr std::array<uint64_t, 256> make_crc64_masks() {
    std::array<uint64_t, 256> masks{};
    for (uint64_t i = 0; i < masks.size(); ++i) {
        uint64_t product = 0;
        for (int bit = 0; bit < 8; ++bit) {
            if (i & (uint64_t{1} << bit)) {
                product ^= uint64_t{0x807} << bit;
            }
        }
        masks[i] = product;
    }
    return masks;
}

constexpr std::array<uint64_t, 256> masks = make_crc64_masks();

void md5_update(MD5_CTX& context, const char* text) {
    MD5Update(&context, reinterpret_cast<const uint8_t*>(text), strlen(text));
}

}  // namespace

std::string ExecUtil::get_hash(const char* first, const char* second) {
    MD5_CTX context;
    MD5Init(&context);
    md5_update(context, first);
    if (second) {
        md5_update(context, second);
    }
    unsigned char digest[16];
    MD5Final(digest, &context);
    return md5_digest_text(digest);
}

uint64_t ExecUtil::crc64(const unsigned char* bytes, uint32_t length) {
    uint64_t crc = 0;
    for (uint32_t i = 0; i < length; ++i) {
        crc = (crc << 8) ^ masks[(crc >> 56) ^ bytes[i]];
    }
    return crc;
}

}  // namespace ryn
