#include "reporter/report_archive.h"

#include <zlib.h>

namespace vostrale {

namespace {

uint32_t Le(const std::vector<uint8_t>& b, size_t at, int n) {
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = (v << 8) | b[at + size_t(i)];
    return v;
}

void Put(std::vector<uint8_t>* out, uint32_t v, int n) {
    for (int i = 0; i < n; ++i)
        out->push_back(uint8_t(v >> (8 * i)));
}

constexpr size_t kEndSize = 22, kCentralSize = 46, kLocalSize = 30;

// The end record, searched back over a possible comment.
bool FindEnd(const std::vector<uint8_t>& zip, size_t* end) {
    if (zip.size() < kEndSize)
        return false;
    size_t lowest = zip.size() > kEndSize + 0xFFFF ? zip.size() - kEndSize - 0xFFFF : 0;
    for (size_t at = zip.size() - kEndSize + 1; at-- > lowest;) {
        if (Le(zip, at, 4) == 0x06054B50 && at + kEndSize + Le(zip, at + 20, 2) == zip.size()) {
            *end = at;
            return true;
        }
    }
    return false;
}

} // namespace

bool ReadArchiveDirectory(const std::vector<uint8_t>& zip, std::vector<ArchiveEntry>* entries) {
    entries->clear();
    size_t end = 0;
    if (!FindEnd(zip, &end))
        return false;
    uint32_t count = Le(zip, end + 10, 2);
    uint64_t dirSize = Le(zip, end + 12, 4), dirOffset = Le(zip, end + 16, 4);
    if (Le(zip, end + 4, 2) != 0 || Le(zip, end + 6, 2) != 0 || dirOffset + dirSize > end)
        return false;
    size_t p = size_t(dirOffset), dirEnd = size_t(dirOffset + dirSize);
    for (uint32_t i = 0; i < count; ++i) {
        if (dirEnd - p < kCentralSize || Le(zip, p, 4) != 0x02014B50)
            return false;
        ArchiveEntry e;
        e.flags = uint16_t(Le(zip, p + 8, 2));
        e.method = uint16_t(Le(zip, p + 10, 2));
        e.crc = Le(zip, p + 16, 4);
        e.compressedSize = Le(zip, p + 20, 4);
        e.size = Le(zip, p + 24, 4);
        size_t nameLen = Le(zip, p + 28, 2), extra = Le(zip, p + 30, 2), comment = Le(zip, p + 32, 2);
        e.localOffset = Le(zip, p + 42, 4);
        if (dirEnd - p - kCentralSize < nameLen + extra + comment)
            return false;
        e.name.assign(reinterpret_cast<const char*>(zip.data() + p + kCentralSize), nameLen);
        p += kCentralSize + nameLen + extra + comment;
        // The local record must lie wholly before the directory and agree with it. Data
        // descriptors are not written by the tray program and not accepted here.
        uint64_t l = e.localOffset;
        if (l + kLocalSize > dirOffset || Le(zip, size_t(l), 4) != 0x04034B50 || (e.flags & 0x8))
            return false;
        size_t localName = Le(zip, size_t(l) + 26, 2), localExtra = Le(zip, size_t(l) + 28, 2);
        uint64_t record = kLocalSize + uint64_t(localName) + localExtra + e.compressedSize;
        if (l + record > dirOffset || localName != nameLen ||
            Le(zip, size_t(l) + 18, 4) != e.compressedSize || Le(zip, size_t(l) + 22, 4) != e.size ||
            Le(zip, size_t(l) + 14, 4) != e.crc ||
            e.name.compare(0, nameLen, reinterpret_cast<const char*>(zip.data() + l + kLocalSize),
                           nameLen) != 0)
            return false;
        e.recordSize = size_t(record);
        entries->push_back(std::move(e));
    }
    return true;
}

bool ExtractEntry(const std::vector<uint8_t>& zip, const ArchiveEntry& e, size_t maxSize,
                  std::vector<uint8_t>* data) {
    data->clear();
    if (e.size > maxSize || e.localOffset + uint64_t(e.recordSize) > zip.size())
        return false;
    size_t at = e.localOffset + e.recordSize - e.compressedSize;
    const uint8_t* in = zip.data() + at;
    if (e.method == 0) {
        if (e.compressedSize != e.size)
            return false;
        data->assign(in, in + e.size);
    } else if (e.method == 8) {
        data->assign(e.size, 0);
        z_stream s{};
        if (inflateInit2(&s, -15) != Z_OK)
            return false;
        uint8_t none = 0;
        s.next_in = const_cast<Bytef*>(in);
        s.avail_in = e.compressedSize;
        s.next_out = e.size ? data->data() : &none;
        s.avail_out = e.size;
        int rc = inflate(&s, Z_FINISH);
        bool whole = rc == Z_STREAM_END && s.total_out == e.size;
        inflateEnd(&s);
        if (!whole) {
            data->clear();
            return false;
        }
    } else {
        return false;
    }
    if (uint32_t(crc32(crc32(0, nullptr, 0), data->data(), uInt(data->size()))) != e.crc) {
        data->clear();
        return false;
    }
    return true;
}

bool IsScreenshotEntry(const std::string& name) {
    if (name.size() < 7 || name.compare(0, 2, "sc") != 0 || name.compare(name.size() - 4, 4, ".bin") != 0)
        return false;
    for (size_t i = 2; i + 4 < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return false;
    }
    return true;
}

bool WithoutScreenshots(const std::vector<uint8_t>& zip, std::vector<uint8_t>* out) {
    out->clear();
    std::vector<ArchiveEntry> entries;
    if (!ReadArchiveDirectory(zip, &entries))
        return false;
    std::vector<const ArchiveEntry*> kept;
    std::vector<uint32_t> offsets;
    for (const ArchiveEntry& e : entries) {
        if (IsScreenshotEntry(e.name))
            continue;
        kept.push_back(&e);
        offsets.push_back(uint32_t(out->size()));
        out->insert(out->end(), zip.begin() + e.localOffset,
                    zip.begin() + e.localOffset + std::ptrdiff_t(e.recordSize));
    }
    uint32_t dirOffset = uint32_t(out->size());
    for (size_t i = 0; i < kept.size(); ++i) {
        const ArchiveEntry& e = *kept[i];
        Put(out, 0x02014B50, 4);
        Put(out, 20, 2);
        Put(out, 20, 2);
        Put(out, e.flags, 2);
        Put(out, e.method, 2);
        // Time and date as the local header has them.
        Put(out, Le(zip, e.localOffset + 10, 2), 2);
        Put(out, Le(zip, e.localOffset + 12, 2), 2);
        Put(out, e.crc, 4);
        Put(out, e.compressedSize, 4);
        Put(out, e.size, 4);
        Put(out, uint32_t(e.name.size()), 2);
        Put(out, 0, 2);
        Put(out, 0, 2);
        Put(out, 0, 2);
        Put(out, 0, 2);
        Put(out, 0x20, 4);
        Put(out, offsets[i], 4);
        out->insert(out->end(), e.name.begin(), e.name.end());
    }
    uint32_t dirSize = uint32_t(out->size()) - dirOffset;
    Put(out, 0x06054B50, 4);
    Put(out, 0, 4);
    Put(out, uint32_t(kept.size()), 2);
    Put(out, uint32_t(kept.size()), 2);
    Put(out, dirSize, 4);
    Put(out, dirOffset, 4);
    Put(out, 0, 2);
    return true;
}

std::string DetailFileName(const std::string& name, bool* scrambled) {
    *scrambled = false;
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of("/\\:*?\"<>|") != std::string::npos)
        return {};
    for (unsigned char c : name) {
        if (c < 0x20)
            return {};
    }
    if (IsScreenshotEntry(name)) {
        *scrambled = true;
        return "screen" + name.substr(2, name.size() - 6) + ".jpg";
    }
    if (name == "sy.bin") {
        *scrambled = true;
        return "system.xml";
    }
    return name;
}

} // namespace vostrale
