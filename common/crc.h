// CRCs used across the system, from read-only tables built at compile time.
#pragma once

#include "common/kstd.h"

namespace vostrale {

// CRC-32, reflected polynomial 0xEDB88320 (zlib, APE frames, .ids cache files).
// Start with 0; feed chunks by passing the previous result.
uint32_t Crc32(uint32_t crc, const void* data, size_t length);

// CRC-16, polynomial 0x1021, MSB first, initial 0, no final inversion (XMODEM).
// CD-Text packs store the inverted value.
uint16_t Crc16Xmodem(const void* data, size_t length);

} // namespace vostrale
