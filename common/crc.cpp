#include "common/crc.h"

namespace vostrale {
namespace {

struct Crc32Table {
    uint32_t v[256];
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
constexpr Crc16Table kCrc16 = MakeCrc16Table();

} // namespace

uint32_t Crc32(uint32_t crc, const void* data, size_t length) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    crc = ~crc;
    for (size_t i = 0; i < length; ++i)
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
