// NRG images: sector data, then a chunk list (big-endian) found through a footer.
#pragma once

#include "common/wire.h"
#include "formats/activity_log.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vostrale {

struct NrgCuePoint {
    uint8_t adrControl; // CONTROL in the high nibble
    uint8_t track;      // binary; 0xAA lead-out
    uint8_t index;
    int32_t lba;
};

struct NrgTrack {
    uint32_t session; // 0-based
    uint32_t sectorSize;
    uint8_t mode;
    uint64_t index0Offset;
    uint64_t index1Offset;
    uint64_t endOffset;
    char isrc[12] = {}; // as the DAO entry stores it (checked when the layout is built)
};

struct NrgDisc {
    std::vector<std::vector<NrgCuePoint>> sessions; // kept cue points: lead-in, INDEX 01s, lead-out
    std::vector<NrgTrack> tracks;
    uint32_t sinfCount = 0;
    uint32_t mediaType = 0;
    int64_t totalSectors = 0;
    bool hasCdText = false;
    std::vector<uint8_t> cdTextPacks;
    char mcn[13] = {}; // the DAO header's catalogue number, as stored
};

// Walks a chunk list (the bytes between the list offset and the footer). False when a chunk
// is malformed.
bool ParseNrgChunkList(const uint8_t* list, size_t size, NrgDisc* disc, ActivityLog* log);

enum class NrgBuildResult { kOk, kMalformed, kNoMemory };

// Fills record offsets 24..60 (not the handle) from a parsed disc whose total is not 0.
NrgBuildResult BuildNrgLayout(const NrgDisc& disc, MountRecord* record);

// Sector type for an NRG mode code; codes 6 and 17 are raw Mode 2, 15 raw Mode 1 with
// sub-channel, 16 audio with sub-channel.
uint8_t NrgSectorType(uint8_t mode);

} // namespace vostrale
