// Tells what kind of disc a plain sector image holds from the file system inside it.
#pragma once

#include "platform/platform.h"

#include <cstdint>

namespace vostrale {

// Returns the MediumKind (1 CD, 2 DVD, 3 HD DVD, 4 BD) or 0 when the image is not recognised,
// and writes the DVD region byte (0 unless a DVD-Video manager header was found).
// bytesPerSector is 2048 or 2352; a raw image is read through each sector's user data.
// Never throws: any fault inside gives 0.
uint8_t ProbeVolume(platform::NativeFile file, uint64_t fileSize, uint32_t bytesPerSector,
                    uint8_t* regionByte);

} // namespace vostrale
