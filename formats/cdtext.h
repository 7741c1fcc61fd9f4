// CD-Text blocks: the READ TOC format 0101b reply (4-byte header, 18-byte packs).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vostrale {

constexpr uint32_t kCdTextPackSize = 18;
constexpr uint32_t kCdTextHeaderSize = 4;
constexpr uint8_t kPackTitle = 0x80;
constexpr uint8_t kPackPerformer = 0x81;
constexpr uint8_t kPackSizeInfo = 0x8F;

// Sets bytes 16 and 17 of a pack: the inverted CRC-16 (0x1021, initial 0) of bytes 0..15,
// high byte first.
void SetPackCrc(uint8_t* pack);

struct CdTextStrings {
    std::string title;
    std::string performer;
};

// Builds a block from the album strings and one (title, performer) per track: title packs,
// performer packs, then three size-information packs. Returns a layout block (free with
// FreeLayoutBlock) and its size, or null when it cannot be allocated.
uint8_t* BuildCdTextBlock(const CdTextStrings& album, const std::vector<CdTextStrings>& tracks,
                          uint32_t* size);

// Wraps ready-made packs (count x 18 bytes) in a block header; recomputes each pack's CRC when
// asked. Null when allocation fails.
uint8_t* WrapCdTextPacks(const uint8_t* packs, uint32_t packBytes, bool setCrc);

} // namespace vostrale
