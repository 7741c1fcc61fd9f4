// Stand-in for the volume probe: recognises an ISO 9660 volume descriptor at sector 16 as a CD.
#include "formats/probe.h"

#include "common/wire.h"
#include "formats/sector_view.h"

#include <cstring>

namespace vostrale {

uint8_t ProbeVolume(platform::NativeFile file, uint64_t fileSize, uint32_t bytesPerSector,
                    uint8_t* regionByte) {
    constexpr uint32_t kFirstDescriptorLba = 16;
    constexpr uint32_t kIdOffset = 1;
    if (regionByte)
        *regionByte = 0;
    uint8_t sector[kUserDataSize];
    if (!ReadUserDataSector(file, fileSize, bytesPerSector, kFirstDescriptorLba, sector))
        return kMediumNone;
    return std::memcmp(sector + kIdOffset, "CD001", 5) == 0 ? kMediumCd : kMediumNone;
}

} // namespace vostrale
