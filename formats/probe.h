// The volume probe: looks at the file system inside a plain image and says which medium it
// belongs to (MediumKind; 0 = not recognised) and, for DVDs, the region byte.
#pragma once

#include "platform/platform.h"

#include <cstdint>

namespace vostrale {

// bytesPerSector is 2048 or 2352; a 2352-byte image is read through its 2048-byte user-data
// view (ReadUserDataSector). *regionByte receives the DVD region byte (zero otherwise).
uint8_t ProbeVolume(platform::NativeFile file, uint64_t fileSize, uint32_t bytesPerSector,
                    uint8_t* regionByte);

} // namespace vostrale
