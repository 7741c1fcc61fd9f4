#include "formats/sector_view.h"

#include "common/disc.h"
#include "common/wire.h"

namespace vostrale {

uint32_t UserDataOffsetOf(const uint8_t* raw) {
    switch (SectorTypeOf(raw)) {
    case kSectorMode1:
        return kMode1UserDataOffset;
    case kSectorMode2Form1:
    case kSectorMode2Form2:
        return kMode2UserDataOffset;
    default:
        return 0;
    }
}

bool ReadUserDataSector(platform::NativeFile file, uint64_t fileSize, uint32_t bytesPerSector,
                        uint32_t lba, uint8_t* out) {
    if (bytesPerSector != kUserDataSize && bytesPerSector != kCdSectorSize)
        return false;
    const uint64_t start = uint64_t(lba) * bytesPerSector;
    if (start > fileSize || fileSize - start < bytesPerSector)
        return false;
    if (bytesPerSector == kUserDataSize)
        return platform::ReadExactlyAt(file, start, out, kUserDataSize);
    uint8_t raw[kCdSectorSize];
    if (!platform::ReadExactlyAt(file, start, raw, sizeof(raw)))
        return false;
    const uint32_t offset = UserDataOffsetOf(raw);
    if (offset == 0)
        return false;
    for (uint32_t i = 0; i < kUserDataSize; ++i)
        out[i] = raw[offset + i];
    return true;
}

} // namespace vostrale
