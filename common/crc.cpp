#include "common/crc.h"

namespace vostrale {
namespace {

struct Crc32Table {
    uint32_t v[256];
};
// Slicing by eight: table k advances a byte through k further zero bytes, so eight bytes are
// folded in per step instead of one (frames of decoded audio are checked whole).
struct Crc32Slices {
    uint32_t v[8][256];
};
struct Crc16Table {
    uint16_t v[256];
};

constexpr Crc32Table MakeCrc32Table() {
    Crc32Table t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t.v[i] = c;
    }
    return t;
}

constexpr Crc32Slices MakeCrc32Slices(const Crc32Table& base) {
    Crc32Slices t{};
    for (uint32_t i = 0; i < 256; ++i)
        t.v[0][i] = base.v[i];
    for (uint32_t k = 1; k < 8; ++k)
        for (uint32_t i = 0; i < 256; ++i)
            t.v[k][i] = (t.v[k - 1][i] >> 8) ^ base.v[t.v[k - 1][i] & 0xFF];
    return t;
}

constexpr Crc16Table MakeCrc16Table() {
    Crc16Table t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint16_t c = uint16_t(i << 8);
        for (int k = 0; k < 8; ++k)
            c = (c & 0x8000) ? uint16_t((c << 1) ^ 0x1021) : uint16_t(c << 1);
        t.v[i] = c;
    }
    return t;
}

constexpr Crc32Table kCrc32 = MakeCrc32Table();
constexpr Crc32Slices kCrc32Slices = MakeCrc32Slices(kCrc32);
constexpr Crc16Table kCrc16 = MakeCrc16Table();

} // namespace

uint32_t Crc32(uint32_t crc, const void* data, size_t length) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    crc = ~crc;
    const auto& t = kCrc32Slices.v;
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        const uint32_t lo = crc ^ (uint32_t(p[i]) | uint32_t(p[i + 1]) << 8 |
                                   uint32_t(p[i + 2]) << 16 | uint32_t(p[i + 3]) << 24);
        crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
              t[3][p[i + 4]] ^ t[2][p[i + 5]] ^ t[1][p[i + 6]] ^ t[0][p[i + 7]];
    }
    for (; i < length; ++i)
        crc = (crc >> 8) ^ kCrc32.v[(crc ^ p[i]) & 0xFF];
    return ~crc;
}

uint16_t Crc16Xmodem(const void* data, size_t length) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint16_t crc = 0;
    for (size_t i = 0; i < length; ++i)
        crc = uint16_t((crc << 8) ^ kCrc16.v[((crc >> 8) ^ p[i]) & 0xFF]);
    return crc;
}

} // namespace vostrale
