// The uploader hand-over block: the tray program builds it, the uploader reads it. Both sides
// take the layout from here.
//
//   0  u32  0 (no inherited handles)
//   4  u32  flags, little-endian: magic | mode | send-without-asking
//   8  NUL-terminated strings: report folder name, product name, program file name,
//      report host, then the archive path when there is one
//   …  u8   0 (end of block)
#pragma once

#include <stdint.h>

namespace vostrale::handover {

inline constexpr uint32_t kFlagsOffset = 4;
inline constexpr uint32_t kStringsOffset = 8;
inline constexpr uint32_t kMagic = 0xB91E0000u;
inline constexpr uint32_t kMagicMask = 0xFFFF0000u;
inline constexpr uint32_t kModeMask = 0x0Fu;
inline constexpr uint32_t kModeCrash = 0;
inline constexpr uint32_t kModeFeedback = 1;
inline constexpr uint32_t kSendWithoutAsking = 0x10u;
inline constexpr uint32_t kSendWithoutAskingMask = 0xF0u;
// The fixed strings before the optional archive path.
inline constexpr int kFixedStrings = 4;
// cbReserved2 is 16 bits wide.
inline constexpr uint32_t kMaxBlockSize = 65535;

// Screenshot and system entries of a report archive are XOR-ed with this byte, which the
// report service shares.
inline constexpr uint8_t kScrambleKey = 0xA7;

} // namespace vostrale::handover
