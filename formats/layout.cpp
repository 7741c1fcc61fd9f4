#include "formats/layout.h"

#include "common/bytes.h"
#include "common/disc.h"
#include "platform/platform.h"

#include <cstdlib>
#include <cstring>

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

uint8_t* BuildSessionToc(const SessionTocTrack* tracks, uint32_t trackCount,
                         const SessionTocSession* sessions, uint32_t sessionCount, uint32_t* size) {
    constexpr uint32_t kMaxNumber = 99;
    constexpr uint8_t kPointNextArea = 0xB0;
    constexpr uint8_t kPointFirstLeadIn = 0xC0;
    constexpr uint8_t kAdrMode5 = 0x50;
    constexpr uint8_t kMode5Pointers = 2; // B0 and C0
    constexpr Msf kC0LeadIn = {0x5F, 0, 0};
    if (trackCount == 0 || sessionCount == 0 || trackCount > kMaxNumber ||
        sessionCount > kMaxNumber)
        return nullptr;
    const uint32_t count = trackCount + 3 * sessionCount + (sessionCount - 1) + (sessionCount > 1);
    auto* block = static_cast<uint8_t*>(AllocLayoutBlock(FullTocSize(count)));
    if (!block)
        return nullptr;
    *size = FullTocSize(count);
    StoreBe16(block, uint16_t(kTocDescriptorSize * count + 2));
    block[2] = 1;
    block[3] = uint8_t(sessionCount);
    uint8_t* d = block + kTocHeaderSize;
    auto put = [&d](uint8_t session, uint8_t adrControl, uint8_t point, Msf at, uint8_t zero,
                    Msf p) {
        const uint8_t bytes[kTocDescriptorSize] = {session,  adrControl, 0,        point,
                                                   at.minute, at.second, at.frame, zero,
                                                   p.minute, p.second,  p.frame};
        std::memcpy(d, bytes, sizeof(bytes));
        d += kTocDescriptorSize;
    };
    const Msf zero{0, 0, 0};
    uint32_t k = 0;
    for (uint32_t s = 0; s < sessionCount; ++s) {
        const uint8_t session = uint8_t(s + 1);
        const uint32_t firstTrack = k;
        while (k < trackCount && tracks[k].session == session)
            ++k;
        if (k == firstTrack) { // a session without tracks: not a disc
            FreeLayoutBlock(block);
            return nullptr;
        }
        const SessionTocTrack& head = tracks[firstTrack];
        const SessionTocTrack& tail = tracks[k - 1];
        put(session, head.adrControl, kTocPointFirstTrack, zero, 0,
            Msf{uint8_t(firstTrack + 1), sessions[s].discType, 0});
        put(session, tail.adrControl, kTocPointLastTrack, zero, 0, Msf{uint8_t(k), 0, 0});
        put(session, tail.adrControl, kTocPointLeadOut, zero, 0,
            LbaToMsf(int32_t(sessions[s].leadOut)));
        for (uint32_t t = firstTrack; t < k; ++t)
            put(session, tracks[t].adrControl, uint8_t(t + 1), zero, 0,
                LbaToMsf(int32_t(tracks[t].lba)));
        if (s + 1 < sessionCount) {
            const uint8_t control = uint8_t(kAdrMode5 | (head.adrControl & 0x0F));
            put(session, control, kPointNextArea, LbaToMsf(int32_t(sessions[s + 1].programStart)),
                kMode5Pointers, LbaToMsf(int32_t(sessions[sessionCount - 1].leadOut)));
            if (s == 0)
                put(session, control, kPointFirstLeadIn, zero, 0, kC0LeadIn);
        }
    }
    if (k != trackCount) { // tracks of a session past the last
        FreeLayoutBlock(block);
        return nullptr;
    }
    return block;
}

} // namespace vostrale
