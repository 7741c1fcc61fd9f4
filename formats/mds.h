// MDS descriptions (version 1.x, little-endian) and the data file they name.
#pragma once

#include "common/wire.h"
#include "formats/activity_log.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

namespace vostrale {

struct MdsBlock {
    uint8_t head[8]; // mode, sub-channel mode, ADR/CONTROL, TNO, POINT, MIN, SEC, FRAME
    uint8_t zero;
    uint8_t pmsf[3];
    uint32_t sectorSize;
    int32_t startSector;
    uint64_t fileOffset;
    uint32_t trackLength; // from the CD-form extra block; 0 when unknown
};

struct MdsSession {
    int32_t start;
    int32_t end;
    uint16_t number;
    uint16_t firstTrack;
    uint16_t lastTrack;
    std::vector<MdsBlock> blocks;
};

struct MdsDisc {
    uint16_t mediumType = 0;
    std::vector<MdsSession> sessions;
    bool hasDataName = false;
    std::filesystem::path dataName;
};

constexpr uint8_t kMdsModeSync = 0x80;
constexpr uint8_t kMdsModeSubheader = 0x40;
constexpr uint8_t kMdsModeHeader = 0x20;
constexpr uint8_t kMdsModeEdcEcc = 0x08;

// Reads a whole description; logs every value as it goes. False when it is not a usable 1.x
// description (signature, version, or a count or offset outside the file).
bool ParseMdsDescription(const uint8_t* data, size_t size, MdsDisc* disc, ActivityLog* log);

// Fills record offsets 24..52 (not the handle) from a parsed description. False when the
// tracks cannot be laid out (overlapping or backwards) or memory runs out.
bool BuildMdsLayout(const MdsDisc& disc, MountRecord* record);

} // namespace vostrale
