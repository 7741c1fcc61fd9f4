#include "formats/flac_seek_cache.h"

#include "common/bytes.h"
#include "platform/platform.h"

#include <cstdio>

namespace vostrale {
namespace {

constexpr uint32_t kOffCrc = 4;
constexpr uint32_t kOffCount = 8;
constexpr uint32_t kOffBlockSize = 12;
constexpr uint32_t kOffMaxFrame = 16;
constexpr uint32_t kOffTotal = 20;
constexpr uint32_t kOffFileSize = 24;
constexpr uint32_t kOffFirstFrame = 28;
constexpr uint32_t kOffMd5 = 32;
constexpr uint32_t kScrambleStart = 8;

// Hides the table from casual editing; not a secret.
constexpr uint8_t kScrambleKey[16] = {0x5B, 0xC3, 0x17, 0x8E, 0x62, 0xA9, 0x3D, 0xF0,
                                      0x94, 0x2E, 0x71, 0xD6, 0x0B, 0xB8, 0x4F, 0xE5};

struct CrcTable {
    uint32_t v[256];
};

constexpr CrcTable MakeCrcTable() {
    CrcTable t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i << 24;
        for (int k = 0; k < 8; ++k)
            c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
        t.v[i] = c;
    }
    return t;
}

constexpr CrcTable kCrc = MakeCrcTable();

void Scramble(uint8_t* data, size_t size) {
    for (size_t i = kScrambleStart; i < size; ++i)
        data[i] ^= kScrambleKey[(i - kScrambleStart) % sizeof(kScrambleKey)];
}

bool AllZero(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (p[i])
            return false;
    }
    return true;
}

} // namespace

uint32_t SeekCacheCrc(const uint8_t* data, size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i)
        crc = (crc << 8) ^ kCrc.v[(crc >> 24) ^ data[i]];
    return crc;
}

std::filesystem::path FlacSeekCachePath(const FlacCacheKey& key) {
    std::filesystem::path folder = platform::CacheFolder();
    if (folder.empty())
        return {}; // no cache rather than one in the current folder
    char name[96];
    int n = 0;
    for (uint8_t b : key.md5)
        n += std::snprintf(name + n, sizeof(name) - size_t(n), "%02X", b);
    if (AllZero(key.md5, sizeof(key.md5)))
        std::snprintf(name + n, sizeof(name) - size_t(n), "-%08X-%08X", key.fileSize,
                      key.firstFrame);
    return folder / "Vostrale" / (std::string(name) + ".ids");
}

bool ParseFlacSeekCache(const uint8_t* data, size_t size, const FlacCacheKey& key,
                        FlacCacheContents* out) {
    if (size < kSeekCacheHeaderSize || size % 4 != 0 || LoadLe32(data) != kSeekCacheMagic)
        return false;
    std::vector<uint8_t> plain(data, data + size);
    Scramble(plain.data(), plain.size());
    const uint8_t* p = plain.data();
    if (SeekCacheCrc(p + kScrambleStart, size - kScrambleStart) != LoadLe32(p + kOffCrc))
        return false;
    uint32_t count = LoadLe32(p + kOffCount);
    if (count < 2 || (size - kSeekCacheHeaderSize) / sizeof(SeekPoint) != count ||
        (size - kSeekCacheHeaderSize) % sizeof(SeekPoint) != 0)
        return false;
    if (LoadLe32(p + kOffBlockSize) != key.blockSize ||
        LoadLe32(p + kOffFileSize) != key.fileSize ||
        LoadLe32(p + kOffFirstFrame) != key.firstFrame ||
        CompareBytes(p + kOffMd5, key.md5, sizeof(key.md5)) != 0)
        return false;
    uint32_t total = LoadLe32(p + kOffTotal);
    std::vector<SeekPoint> points(count);
    const uint8_t* entry = p + kSeekCacheHeaderSize;
    for (uint32_t i = 0; i < count; ++i, entry += sizeof(SeekPoint)) {
        points[i].sample = LoadLe32(entry);
        points[i].fileOffset = LoadLe32(entry + 4);
        if (i == 0) {
            if (points[i].sample != 0 || points[i].fileOffset != key.firstFrame)
                return false;
        } else if (points[i].sample <= points[i - 1].sample ||
                   points[i].fileOffset <= points[i - 1].fileOffset) {
            return false;
        }
    }
    if (points.back().sample != total || points.back().fileOffset != key.fileSize)
        return false;
    out->points = std::move(points);
    out->maxFrameSize = LoadLe32(p + kOffMaxFrame);
    out->totalSamples = total;
    return true;
}

std::vector<uint8_t> BuildFlacSeekCache(const FlacCacheKey& key,
                                        const FlacCacheContents& contents) {
    std::vector<uint8_t> out(kSeekCacheHeaderSize + contents.points.size() * sizeof(SeekPoint), 0);
    uint8_t* p = out.data();
    StoreLe32(p, kSeekCacheMagic);
    StoreLe32(p + kOffCount, uint32_t(contents.points.size()));
    StoreLe32(p + kOffBlockSize, key.blockSize);
    StoreLe32(p + kOffMaxFrame, contents.maxFrameSize);
    StoreLe32(p + kOffTotal, contents.totalSamples);
    StoreLe32(p + kOffFileSize, key.fileSize);
    StoreLe32(p + kOffFirstFrame, key.firstFrame);
    CopyBytes(p + kOffMd5, key.md5, sizeof(key.md5));
    uint8_t* entry = p + kSeekCacheHeaderSize;
    for (const SeekPoint& point : contents.points) {
        StoreLe32(entry, point.sample);
        StoreLe32(entry + 4, point.fileOffset);
        entry += sizeof(SeekPoint);
    }
    StoreLe32(p + kOffCrc, SeekCacheCrc(p + kScrambleStart, out.size() - kScrambleStart));
    Scramble(p, out.size());
    return out;
}

} // namespace vostrale
