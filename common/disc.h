// Disc addressing and the fixed-layout TOC block shared by the parsers and the engine.
#pragma once

#include "common/kstd.h"

namespace vostrale {

struct Msf {
    uint8_t minute;
    uint8_t second;
    uint8_t frame;
};

// LBA -> MSF (binary bytes). MSF = LBA + 150; inside the lead-in (LBA < -150) the 100-minute
// wrap applies, so -151 is 99:59:74.
Msf LbaToMsf(int32_t lba);

// Inverse for addresses in the program area and pregap (MSF >= 00:00:00 maps to LBA >= -150).
constexpr int32_t MsfToLba(uint32_t minute, uint32_t second, uint32_t frame) {
    return int32_t((minute * 60 + second) * 75 + frame) - 150;
}

// Sector type code (SectorType) from the first 32 bytes of a raw 2352-byte sector.
uint8_t SectorTypeOf(const uint8_t* first32);

// Sector type of a 2336-byte-stored Mode 2 track from its 8-byte subheader.
uint8_t Mode2TypeOfSubheader(const uint8_t* subheader);

// One 11-byte descriptor of the READ TOC format 0010b reply.
struct TocDescriptor {
    uint8_t session;
    uint8_t adrControl;
    uint8_t tno;
    uint8_t point;
    uint8_t min;
    uint8_t sec;
    uint8_t frame;
    uint8_t zero;
    uint8_t pmin;
    uint8_t psec;
    uint8_t pframe;
};
static_assert(sizeof(TocDescriptor) == 11);

constexpr uint32_t kTocHeaderSize = 4;
constexpr uint32_t kTocDescriptorSize = 11;
constexpr uint8_t kTocPointFirstTrack = 0xA0;
constexpr uint8_t kTocPointLastTrack = 0xA1;
constexpr uint8_t kTocPointLeadOut = 0xA2;
constexpr uint8_t kAdrControlAudio = 0x10;
constexpr uint8_t kAdrControlData = 0x14;

// Size of a full TOC block with `descriptors` entries: 4 + 11 * n.
constexpr uint32_t FullTocSize(uint32_t descriptors) { return kTocHeaderSize + kTocDescriptorSize * descriptors; }

// Writes the single-session TOC that CUE sheets produce: A0, A1, A2, then one descriptor per
// track start. `out` must hold FullTocSize(trackCount + 3) bytes. adrControl is written into
// every descriptor (0x10 audio, 0x14 data); discType goes into the A0 PSEC.
void WriteSingleSessionToc(const uint32_t* trackStarts, uint32_t trackCount, uint32_t totalSectors,
                           uint8_t adrControl, uint8_t discType, uint8_t* out);

// Descriptor count of a full TOC block, or -1 when its length field does not fit `size` or is
// not 2 + 11 * n.
int32_t FullTocDescriptorCount(const uint8_t* block, uint32_t size);

} // namespace vostrale
