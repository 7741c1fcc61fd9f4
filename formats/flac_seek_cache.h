// The ".ids" seek-table cache of a FLAC stream: the full list of frame seek points, so that a
// second mount of the same stream need not decode it again.
//
// Layout (little-endian): 0 "0SDI"; 4 CRC of bytes 8..end before scrambling (polynomial
// 0x04C11DB7, MSB first, initial 0xFFFFFFFF, no final inversion); 8 entry count; 12 block
// size; 16 largest frame size (STREAMINFO); 20 total samples (low 32 bits); 24 file size;
// 28 first-frame offset; 32 MD5 (16 bytes); 48 the SeekPoint list. Bytes 8..end are XOR-ed
// with a fixed 16-byte key.
#pragma once

#include "common/wire.h"

#include <cstdint>
#include <filesystem>
#include <vector>

namespace vostrale {

constexpr uint32_t kSeekCacheMagic = 0x49445330; // "0SDI"
constexpr uint32_t kSeekCacheHeaderSize = 48;

// What identifies one stream in one file. The file size and first-frame offset take part
// because streams without an MD5 all share the zero signature, and because retagging a file
// moves every frame while the MD5 stays.
struct FlacCacheKey {
    uint8_t md5[16];
    uint32_t blockSize;
    uint32_t fileSize;
    uint32_t firstFrame;
};

struct FlacCacheContents {
    std::vector<SeekPoint> points; // one per frame, then the end entry
    uint32_t maxFrameSize = 0;
    uint32_t totalSamples = 0;
};

// "<cache folder>/Vostrale/<MD5 as 32 upper-case hex digits>.ids"; a zero MD5 also names the
// file size and first-frame offset. Empty when there is no cache folder: no cache then.
std::filesystem::path FlacSeekCachePath(const FlacCacheKey& key);

// Checks every field of a cache image against the key and the list against itself (sample 0
// at the first frame, increasing samples and offsets inside the file, end entry = (total,
// file size)). False for anything that does not hold.
bool ParseFlacSeekCache(const uint8_t* data, size_t size, const FlacCacheKey& key,
                        FlacCacheContents* out);

std::vector<uint8_t> BuildFlacSeekCache(const FlacCacheKey& key, const FlacCacheContents& contents);

// CRC-32/MPEG-2: polynomial 0x04C11DB7, MSB first, initial value 0xFFFFFFFF, no final XOR.
uint32_t SeekCacheCrc(const uint8_t* data, size_t size);

} // namespace vostrale
