// Raw CD sectors (ECMA-130): sync, header, sub-header, EDC, ECC P/Q, the scrambler, the READ CD
// field table and the sub-channel layouts. Pure computation on caller buffers; every function
// that takes a `sector` expects a full 2352-byte buffer.
#pragma once

#include "common/kstd.h"

namespace vostrale {

constexpr uint32_t kRawSectorSize = 2352;
constexpr uint32_t kSyncSize = 12;
constexpr uint32_t kHeaderOffset = 12; // minute, second, frame (BCD), mode
constexpr uint32_t kHeaderSize = 4;
constexpr uint32_t kSubheaderOffset = 16; // Mode 2 Form 1/2: 4 bytes, repeated once
constexpr uint32_t kSubheaderSize = 8;
constexpr uint32_t kSubmodeOffset = 18; // first copy of the submode byte
constexpr uint32_t kSubmodeForm2 = 0x20;
constexpr uint32_t kMode1UserOffset = 16;
constexpr uint32_t kMode2UserOffset = 24; // Form 1 and Form 2
constexpr uint32_t kMode1EdcOffset = 2064;
constexpr uint32_t kMode1ZeroOffset = 2068; // 8 reserved zero bytes
constexpr uint32_t kForm1EdcOffset = 2072;
constexpr uint32_t kForm2EdcOffset = 2348;
constexpr uint32_t kEccPOffset = 2076;
constexpr uint32_t kEccPSize = 172;
constexpr uint32_t kEccQOffset = 2248;
constexpr uint32_t kEccQSize = 104;
constexpr uint32_t kMode2FormlessUserSize = 2336;
constexpr uint32_t kForm2UserSize = 2324;
constexpr uint32_t kScrambledSize = kRawSectorSize - kSyncSize; // bytes 12..2351

// CD-ROM EDC (reflected 0xD8018001, LSB first). Start with 0; chain by passing the result.
uint32_t SectorEdc(uint32_t edc, const uint8_t* data, size_t length);

// 00, ten FF, 00.
void WriteSync(uint8_t* sector);
bool HasSync(const uint8_t* sector);

// The header for `lba`: MSF of LBA + 150 in BCD (LBA below -150 adds 450150), then `mode`.
void WriteHeader(uint8_t* sector, int32_t lba, uint8_t mode);

// Sub-header of a Form 1 (all zero) or Form 2 (submode 0x20 in both copies) sector.
void WriteSubheader(uint8_t* sector, bool form2);

// ECC P (172 bytes at 2076) and Q (104 bytes at 2248) over bytes 12..2247 as they stand.
void WriteEccPq(uint8_t* sector);

// Fills what the sector type carries after its user data, from the bytes already in place:
//   Mode 1: EDC over 0..2063 at 2064, 8 zero bytes, P and Q;
//   Form 1: EDC over 16..2071 at 2072, P and Q computed as if the header were zero;
//   Form 2: EDC over 16..2347 at 2348;
//   CD-DA and Mode 2 formless: nothing.
void WriteEdcEcc(uint8_t* sector, uint8_t sectorType);

// A whole raw sector for `lba` from its user data: 2048 bytes for Mode 1 and Form 1, 2324 for
// Form 2, 2336 for Mode 2 formless, 2352 for CD-DA. Form 1/2 get the default sub-header.
// False for any other sector type.
bool BuildRawSector(uint8_t* sector, int32_t lba, uint8_t sectorType, const uint8_t* userData);

// User-data size of a sector type as BuildRawSector takes it (0 for an unknown type).
uint32_t UserDataSizeOf(uint8_t sectorType);

enum SectorCheck : uint8_t {
    kSectorCheckOk = 0,
    kSectorCheckNoSync = 1,
    kSectorCheckBadMode = 2,
    kSectorCheckBadEdc = 3,
    kSectorCheckBadEcc = 4,
};

#ifndef VOSTRALE_KERNEL
// Verifies a raw data sector's EDC and (Mode 1, Form 1) ECC. A Form 2 sector with a stored EDC
// of 0 passes (the field is optional there). Not in the driver's build: the driver never
// verifies sectors, and its 2352-byte working copy exceeds the kernel's 1 KiB frame budget.
SectorCheck CheckRawSector(const uint8_t* sector);
#endif

// Sector type (SectorType) of a raw sector: 0 without sync, 2 Mode 1, 4 Form 1, 5 Form 2.
uint8_t DetectSectorType(const uint8_t* sector);

// XORs bytes 12..2351 with the ECMA-130 scrambler sequence; applying it twice restores them.
void ScrambleSector(uint8_t* sector);

// The 2340-byte scrambler sequence (register x^15 + x + 1 preset to 1, bits LSB first).
const uint8_t* ScramblerSequence();

// Part of a raw sector that READ CD returns for one field selection.
struct ReadCdSpan {
    uint16_t start;
    uint16_t length;
};

// Looks up READ CD byte 9 (bits 7..3: sync, header code, user data, EDC/ECC) for a detected
// sector type (0 or 1: CD-DA). False when the combination is invalid for that type.
bool ReadCdFieldSpan(uint8_t sectorType, uint8_t fieldByte, ReadCdSpan* span);

constexpr uint32_t kSubchannelChannelSize = 12; // bytes per channel in the linear layout
constexpr uint32_t kFormattedQSize = 16;

// Linear sub-channel (channels P..W one after another, 12 bytes each) -> raw P-W: output byte
// 8k + j holds bit 7 - c for channel c, taken from bit 7 - j of byte k of that channel.
void InterleaveSubchannel(const uint8_t* linear96, uint8_t* raw96);

// The inverse: raw P-W -> eight linear channels.
void DeinterleaveSubchannel(const uint8_t* raw96, uint8_t* linear96);

// Formatted Q from the linear layout: the 12 Q bytes, three zeros, then 0x80 when P byte 0 is
// non-zero, else 0.
void FormattedQFromLinear(const uint8_t* linear96, uint8_t* out16);

} // namespace vostrale
