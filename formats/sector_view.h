// A 2048-byte user-data view of an image stored as 2048-byte or raw 2352-byte sectors, so that
// file-system readers see the same bytes either way.
#pragma once

#include "platform/platform.h"

#include <cstdint>

namespace vostrale {

constexpr uint32_t kMode1UserDataOffset = 16; // sync 12 + header 4
constexpr uint32_t kMode2UserDataOffset = 24; // sync 12 + header 4 + subheader 8

// Byte offset of the user data inside a raw sector, from its header: 16 for Mode 1, 24 for
// Mode 2 (Form 1), 0 when the sector has no sync (audio) or an unknown mode.
uint32_t UserDataOffsetOf(const uint8_t* rawSector);

// Reads the 2048 user-data bytes of sector `lba`. False when the sector lies beyond fileSize,
// the read fails, or a raw sector carries no user data (no sync, unknown mode).
bool ReadUserDataSector(platform::NativeFile file, uint64_t fileSize, uint32_t bytesPerSector,
                        uint32_t lba, uint8_t* out2048);

} // namespace vostrale
