// A test-side zip reader written from the format description, independent of the builder:
// walks the end record, the central directory and each local header, and inflates the data.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace vostrale::test {

struct ZipEntryRead {
    std::string name;
    uint16_t flags = 0, method = 0, dosTime = 0, dosDate = 0;
    uint32_t crc = 0, compressedSize = 0, size = 0, localOffset = 0;
    std::vector<uint8_t> data; // inflated
};

inline uint32_t Le(const std::vector<uint8_t>& b, size_t at, int n) {
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = (v << 8) | b.at(at + size_t(i));
    return v;
}

// Empty string on success, else what is wrong.
inline std::string ReadZip(const std::vector<uint8_t>& b, std::vector<ZipEntryRead>* out) {
    if (b.size() < 22)
        return "short";
    size_t end = b.size() - 22;
    if (Le(b, end, 4) != 0x06054B50)
        return "no end record";
    uint32_t count = Le(b, end + 10, 2), dirSize = Le(b, end + 12, 4), dirOffset = Le(b, end + 16, 4);
    if (Le(b, end + 8, 2) != count || dirOffset + uint64_t(dirSize) != end)
        return "end record sizes";
    size_t p = dirOffset;
    for (uint32_t i = 0; i < count; ++i) {
        if (Le(b, p, 4) != 0x02014B50)
            return "central signature";
        ZipEntryRead e;
        e.flags = uint16_t(Le(b, p + 8, 2));
        e.method = uint16_t(Le(b, p + 10, 2));
        e.dosTime = uint16_t(Le(b, p + 12, 2));
        e.dosDate = uint16_t(Le(b, p + 14, 2));
        e.crc = Le(b, p + 16, 4);
        e.compressedSize = Le(b, p + 20, 4);
        e.size = Le(b, p + 24, 4);
        uint32_t nameLen = Le(b, p + 28, 2);
        if (Le(b, p + 30, 2) || Le(b, p + 32, 2) || Le(b, p + 38, 4) != 0x20)
            return "central extras";
        e.localOffset = Le(b, p + 42, 4);
        e.name.assign(reinterpret_cast<const char*>(&b.at(p + 46)), nameLen);
        p += 46 + nameLen;
        size_t l = e.localOffset;
        if (Le(b, l, 4) != 0x04034B50 || Le(b, l + 6, 2) != e.flags || Le(b, l + 14, 4) != e.crc ||
            Le(b, l + 18, 4) != e.compressedSize || Le(b, l + 22, 4) != e.size ||
            Le(b, l + 26, 2) != nameLen || Le(b, l + 28, 2) != 0)
            return "local header differs for " + e.name;
        if (std::memcmp(&b.at(l + 30), e.name.data(), nameLen) != 0)
            return "local name differs";
        const uint8_t* data = &b.at(l + 30 + nameLen);
        if (l + 30 + nameLen + e.compressedSize > dirOffset)
            return "data overruns";
        e.data.resize(e.size);
        z_stream s{};
        inflateInit2(&s, -15);
        s.next_in = const_cast<Bytef*>(data);
        s.avail_in = e.compressedSize;
        uint8_t dummy;
        s.next_out = e.size ? e.data.data() : &dummy;
        s.avail_out = e.size;
        int rc = inflate(&s, Z_FINISH);
        inflateEnd(&s);
        if (rc != Z_STREAM_END || s.total_out != e.size || s.total_in != e.compressedSize)
            return "inflate " + e.name;
        if (uint32_t(crc32(0, e.data.data(), e.size)) != e.crc)
            return "crc " + e.name;
        out->push_back(std::move(e));
    }
    return "";
}

} // namespace vostrale::test
