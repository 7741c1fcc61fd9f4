#include "formats/layout.h"

#include "common/disc.h"
#include "platform/platform.h"

#include <cstdlib>

namespace vostrale {

void* AllocLayoutBlock(size_t size) { return std::calloc(1, size ? size : 1); }

void FreeLayoutBlock(void* block) { std::free(block); }

void ReleaseLayout(MountRecord* r) {
    if (r->readerKind == kReaderMultiFile) {
        // Entry 0's handle is the main one, closed below.
        auto* files = PointerOf<DiscFileEntry>(r->kindPointer);
        for (uint32_t i = 0; files && i < r->kindCount; ++i) {
            if (files[i].handle != r->imageHandle)
                platform::CloseFile(files[i].handle);
            FreeLayoutBlock(PointerOf<void>(files[i].seekTable));
        }
        FreeLayoutBlock(files);
        r->kindPointer = 0;
        r->kindCount = 0;
    }
    FreeLayoutBlock(PointerOf<void>(r->discIdentity));
    r->discIdentity = 0;
    platform::CloseFile(r->imageHandle);
    r->imageHandle = 0;
    FreeLayoutBlock(PointerOf<void>(r->trackTable));
    FreeLayoutBlock(PointerOf<void>(r->fullToc));
    FreeLayoutBlock(PointerOf<void>(r->cdText));
    r->trackTable = r->fullToc = r->cdText = 0;
    switch (r->readerKind) {
    case kReaderFileList:
        FreeLayoutBlock(PointerOf<void>(r->kindPointer));
        FreeLayoutBlock(PointerOf<void>(SegmentTablePointer(*r)));
        r->kindPointer = 0;
        SetSegmentTablePointer(r, 0);
        break;
    case kReaderCcd:
        platform::CloseFile(r->kindPointer);
        r->kindPointer = 0;
        break;
    case kReaderIsz:
    case kReaderFlac:
    case kReaderApe:
        FreeLayoutBlock(PointerOf<void>(r->kindPointer));
        r->kindPointer = 0;
        break;
    default:
        break;
    }
}

static uint8_t* BuildToc(const uint32_t* starts, uint32_t count, uint32_t total, uint8_t control, uint8_t discType) {
    auto* block = static_cast<uint8_t*>(AllocLayoutBlock(FullTocSize(count + 3)));
    if (block)
        WriteSingleSessionToc(starts, count, total, control, discType, block);
    return block;
}

uint8_t* BuildTocAudio(MountRecord* record, const uint32_t* starts, uint32_t count, uint32_t total) {
    record->bytesPerSector = uint16_t(kCdSectorSize);
    record->totalSectors = total;
    record->mediumKind = kMediumCd;
    return BuildToc(starts, count, total, kAdrControlAudio, 0);
}

uint8_t* BuildTocData(const uint32_t* starts, uint32_t count, uint32_t total, uint8_t discType) {
    return BuildToc(starts, count, total, kAdrControlData, discType);
}

} // namespace vostrale
