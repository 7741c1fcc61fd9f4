#include "formats/probe.h"

#include "common/wire.h"
#include "formats/udf_reader.h"

#include <cstring>

namespace vostrale {

namespace {

constexpr char kVideoFolder[] = "VIDEO_TS";
constexpr char kHdVideoFolder[] = "HVDVD_TS";
constexpr char kVideoManager[] = "VIDEO_TS.IFO";
constexpr char kManagerMagic[] = "DVDVIDEO-VMG";
constexpr uint32_t kManagerMagicLength = 12;
// The video manager keeps the disc's region mask in its category field at 0x22-0x25; the mask
// is the second byte of it.
constexpr uint32_t kManagerRegionMask = 0x23;
constexpr uint32_t kManagerHeadLength = kManagerRegionMask + 1;
constexpr uint32_t kExtentLengthMask = 0x3FFFFFFF;

// Looks for a readable video manager in the VIDEO_TS folder and takes its region mask.
void ReadRegionByte(UdfReader* reader, const DirectoryNode* folder, uint8_t* regionByte) {
    for (const DirectoryNode* n = folder->firstChild; n != nullptr; n = n->nextSibling) {
        if (n->isDirectory || std::strcmp(n->name, kVideoManager) != 0 ||
            n->informationLength < kManagerHeadLength || n->extentCount == 0 ||
            (n->extents[0].lengthField & kExtentLengthMask) < kManagerHeadLength)
            continue;
        uint8_t head[kManagerHeadLength];
        if (!reader->ReadBytes(n->extents[0].sector, head, kManagerHeadLength) ||
            std::memcmp(head, kManagerMagic, kManagerMagicLength) != 0)
            continue;
        *regionByte = head[kManagerRegionMask];
        return;
    }
}

} // namespace

uint8_t ClassifyVolume(BlockCommandDevice* device, uint8_t* regionByte) {
    *regionByte = 0;
    UdfReader reader;
    bool opened = reader.Open(device);
    uint32_t flags = reader.RecognitionFlags();
    uint8_t base = kMediumNone;
    if (flags & kSeenNsr02)
        base = kMediumDvd;
    else if (flags & kSeenNsr03)
        base = kMediumBd;
    else if (flags & (kSeenIsoPrimary | kSeenIsoSupplementary))
        return kMediumCd;
    const DirectoryNode* root = reader.Root();
    if (!opened || root == nullptr)
        return base;
    // The first folder that names a video format decides.
    for (const DirectoryNode* n = root->firstChild; n != nullptr; n = n->nextSibling) {
        if (std::strcmp(n->name, kVideoFolder) == 0) {
            ReadRegionByte(&reader, n, regionByte);
            return kMediumDvd;
        }
        if (std::strcmp(n->name, kHdVideoFolder) == 0)
            return kMediumHdDvd;
    }
    return base;
}

uint8_t ProbeVolume(platform::NativeFile file, uint64_t fileSize, uint32_t bytesPerSector,
                    uint8_t* regionByte) {
    uint8_t region = 0;
    uint8_t kind = kMediumNone;
    try {
        ImageBlockDevice device(file, fileSize, bytesPerSector);
        kind = ClassifyVolume(&device, &region);
    } catch (...) {
        kind = kMediumNone;
        region = 0;
    }
    if (regionByte != nullptr)
        *regionByte = region;
    return kind;
}

} // namespace vostrale
