// ISZ compressed images: a 64-byte header and a masked table of 3-byte chunk pointers.
#pragma once

#include "common/wire.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vostrale {

constexpr size_t kIszHeaderSize = 64;

struct IszHeader {
    uint32_t signature;
    uint16_t sectorSize;
    uint32_t totalSectors;
    uint8_t encryption;
    uint32_t chunks;
    uint32_t chunkSize;
    uint8_t pointerSize;
    uint32_t tableOffset; // 0: no table, every chunk stored as is
    uint32_t segmentOffset;
    uint32_t dataOffset;
};

IszHeader ReadIszHeader(const uint8_t* header64);

// Header checks in the order a mount makes them; empty when the header is usable, else the
// message for the user.
std::string CheckIszHeader(const IszHeader& h);

// Unmasks a pointer table (chunks x 3 bytes, or null for an image without one) into chunk
// entries, checking every stored chunk against the file size. Empty *problem on success.
bool BuildIszChunks(const IszHeader& h, const uint8_t* table, uint64_t fileSize,
                    std::vector<ChunkEntry>* chunks, uint32_t* largest, std::string* problem);

} // namespace vostrale
