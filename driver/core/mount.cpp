// Turning a mount record into a disc: copying what it points to out of the sender's memory,
// checking every count, size and offset against what was copied, and attaching the result.
#include "common/bytes.h"
#include "common/disc.h"
#include "driver/core/drive.h"
#include "driver/core/reader_kinds.h"
#include "driver/core/toc_position.h"

namespace vostrale {
namespace {

constexpr uint64_t kCanonicalWavHeader = 44;
constexpr uint32_t kBlockLengthFieldSize = 2; // big-endian length in front of TOC and CD-Text

bool IsSupportedStride(uint32_t bytes) {
    switch (bytes) {
    case 0:
    case 2048:
    case 2324:
    case 2328:
    case 2336:
    case 2352:
    case 2448:
        return true;
    default:
        return false;
    }
}

// Copies a block that starts with a big-endian 16-bit length L (L + 2 bytes in all). The length
// is read from the sender once; the copy carries that value.
bool CopyLengthPrefixedBlock(uint64_t address, uint32_t minLength, uint8_t** block,
                             uint32_t* size) {
    uint8_t lengthBytes[kBlockLengthFieldSize];
    if (!ps::CopyFromSender(lengthBytes, address, sizeof(lengthBytes)))
        return false;
    uint32_t length = LoadBe16(lengthBytes);
    if (length < minLength)
        return false;
    uint32_t total = length + kBlockLengthFieldSize;
    uint8_t* copy = static_cast<uint8_t*>(Allocate(ps::kPoolPaged, total));
    if (!copy)
        return false;
    CopyBytes(copy, lengthBytes, sizeof(lengthBytes));
    if (!ps::CopyFromSender(copy + kBlockLengthFieldSize, address + kBlockLengthFieldSize,
                            length)) {
        Release(copy);
        return false;
    }
    *block = copy;
    *size = total;
    return true;
}

bool CopyTrackTable(Disc* disc, uint64_t address) {
    uint8_t header[sizeof(TrackTableHeader)];
    if (!ps::CopyFromSender(header, address, sizeof(header)))
        return false;
    uint32_t count = LoadLe16(header);
    if (count == 0 || count > kMaxTrackEntries)
        return false;
    uint64_t bytes = uint64_t(count) * sizeof(TrackEntry);
    TrackEntry* entries = static_cast<TrackEntry*>(Allocate(ps::kPoolPaged, bytes));
    if (!entries)
        return false;
    disc->tracks = entries; // freed with the disc from here on
    if (!ps::CopyFromSender(entries, address + sizeof(header), size_t(bytes)))
        return false;
    disc->trackCount = count;
    return true;
}

// Runs without sectors (first == end, as a parser may leave between tracks) hold nothing to
// read; they are dropped rather than refusing the image.
void DropEmptyRuns(Disc* disc) {
    uint32_t kept = 0;
    for (uint32_t i = 0; i < disc->trackCount; ++i) {
        if (disc->tracks[i].firstLba != disc->tracks[i].endLba)
            disc->tracks[kept++] = disc->tracks[i];
    }
    disc->trackCount = kept;
}

bool TrackTableIsSound(const Disc* disc) {
    if (disc->trackCount == 0)
        return false;
    uint32_t previousEnd = 0;
    for (uint32_t i = 0; i < disc->trackCount; ++i) {
        const TrackEntry& e = disc->tracks[i];
        if (e.sectorType > kSectorMode2Form2 || !IsSupportedStride(e.bytesPerSector))
            return false;
        // Only multi-file discs name a file per run (checked against their file table).
        if ((e.flags & ~kRunPregap) != 0 || (e.fileIndex != 0 && disc->reader != kReaderMultiFile))
            return false;
        if (e.firstLba >= e.endLba || e.endLba > disc->totalSectors || e.firstLba < previousEnd)
            return false;
        previousEnd = e.endLba;
        RunLayout layout;
        if (!LayoutOfRun(e, &layout))
            return false;
        uint64_t span = uint64_t(e.endLba - e.firstLba) * e.bytesPerSector;
        if (e.fileOffset > UINT64_MAX - span)
            return false;
    }
    return true;
}

// One run covering the whole disc for images sent without a track table, so that every kind
// that reads through runs finds its sectors the same way.
bool SynthesiseTrackTable(Disc* disc, uint8_t sectorType, uint8_t parts, uint32_t stride,
                          uint64_t offset) {
    TrackEntry* entry = static_cast<TrackEntry*>(Allocate(ps::kPoolPaged, sizeof(TrackEntry)));
    if (!entry)
        return false;
    ZeroBytes(entry, sizeof(*entry));
    entry->sectorType = sectorType;
    entry->parts = parts;
    entry->firstLba = 0;
    entry->endLba = disc->totalSectors;
    entry->bytesPerSector = stride;
    entry->fileOffset = offset;
    disc->tracks = entry;
    disc->trackCount = 1;
    return true;
}

bool CopyFileList(Disc* disc, const MountRecord& r) {
    uint64_t poolAddress = r.kindPointer;
    uint32_t poolSize = r.param84;
    uint64_t segmentAddress = SegmentTablePointer(r);
    uint32_t segmentCount = r.param88;
    if (!poolAddress || poolSize == 0 || poolSize > kMaxPoolSize || !segmentAddress ||
        segmentCount == 0 || segmentCount > kMaxSegments)
        return false;
    disc->pool = static_cast<char*>(Allocate(ps::kPoolPaged, poolSize));
    if (!disc->pool || !ps::CopyFromSender(disc->pool, poolAddress, poolSize))
        return false;
    disc->poolSize = poolSize;
    // Every name must end inside the pool.
    if (disc->pool[poolSize - 1] != 0)
        return false;
    uint64_t bytes = uint64_t(segmentCount) * sizeof(SegmentEntry);
    disc->segments = static_cast<SegmentEntry*>(Allocate(ps::kPoolPaged, bytes));
    if (!disc->segments || !ps::CopyFromSender(disc->segments, segmentAddress, size_t(bytes)))
        return false;
    disc->segmentCount = segmentCount;

    uint32_t prefixLength = 0;
    while (disc->pool[prefixLength] != 0)
        ++prefixLength;
    uint64_t previousLast = 0;
    for (uint32_t i = 0; i < segmentCount; ++i) {
        const SegmentEntry& s = disc->segments[i];
        if (s.firstLba > s.lastLba || s.lastLba >= disc->totalSectors)
            return false;
        if (i > 0 && s.firstLba <= previousLast)
            return false; // the binary search needs sorted, disjoint segments
        previousLast = s.lastLba;
        uint64_t span = (uint64_t(s.lastLba) - s.firstLba + 1) * kUserDataSize;
        if (s.fileOffset > UINT64_MAX - span)
            return false;
        if (s.nameOffset == kSegmentZeros)
            continue;
        if (s.nameOffset >= poolSize)
            return false;
        uint32_t nameLength = 0;
        while (disc->pool[s.nameOffset + nameLength] != 0)
            ++nameLength;
        if (nameLength == 0 || uint64_t(prefixLength) + nameLength >= kMaxPathLength)
            return false;
    }
    return true;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsAllZero(const char* p, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        if (p[i] != 0)
            return false;
    }
    return true;
}

// Catalogue number and ISRCs: each field empty (all zero) or well formed, as a disc's
// sub-channel can carry it.
bool CheckIdentity(Disc* disc, const DiscIdentity& identity) {
    if (identity.zero[0] || identity.zero[1] || identity.zero[2])
        return false;
    if (!IsAllZero(identity.mcn, sizeof(identity.mcn))) {
        for (char c : identity.mcn) {
            if (!IsDigit(c))
                return false;
        }
        CopyBytes(disc->mcn, identity.mcn, sizeof(disc->mcn));
    }
    for (uint32_t t = 0; t < 99; ++t) {
        const char* isrc = identity.isrc[t];
        if (IsAllZero(isrc, 12))
            continue;
        for (uint32_t i = 0; i < 12; ++i) {
            char c = isrc[i];
            bool ok = i < 5 ? IsDigit(c) || (c >= 'A' && c <= 'Z') : IsDigit(c);
            if (!ok)
                return false;
        }
        CopyBytes(disc->isrc[t + 1], isrc, 12);
    }
    return true;
}

bool CopyIdentity(Disc* disc, uint64_t address) {
    // Read into the pool: the block is too large for a kernel stack.
    DiscIdentity* identity =
        static_cast<DiscIdentity*>(Allocate(ps::kPoolPaged, sizeof(DiscIdentity)));
    if (!identity)
        return false;
    bool ok = ps::CopyFromSender(identity, address, sizeof(*identity)) &&
              CheckIdentity(disc, *identity);
    Release(identity);
    return ok;
}

// XA discs report disc type 0x20 in the A0 points, whatever the image's TOC says; CD-I
// (0x10) stays.
void SettleDiscType(Disc* disc) {
    disc->discType = DetectDiscType(disc);
    constexpr uint8_t kDiscTypeXa = 0x20;
    uint32_t count = disc->discType == kDiscTypeXa ? TocDescriptorCount(disc) : 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t* d = disc->fullToc + kTocHeaderSize + i * kTocDescriptorSize;
        constexpr uint32_t kPoint = 3;
        constexpr uint32_t kPsec = 9;
        if (d[kPoint] == kTocPointFirstTrack && d[kPsec] == 0)
            d[kPsec] = disc->discType;
    }
}

bool CheckScalars(const MountRecord& r) {
    if (r.mediumKind < kMediumCd || r.mediumKind > kMediumBd)
        return false;
    if (r.readerKind < kReaderPlainFile || r.readerKind > kReaderMultiFile)
        return false;
    if (r.totalSectors == 0 || r.totalSectors > 0x7FFFFFFFu)
        return false;
    switch (r.readerKind) {
    case kReaderPlainFile:
    case kReaderCcd:
    case kReaderMds:
    case kReaderNrg:
    case kReaderIsz:
        return r.bytesPerSector == kUserDataSize || r.bytesPerSector == kCdSectorSize;
    default:
        return true; // file lists have 2048-byte sectors, audio 2352, whatever offset 24 says
    }
}

} // namespace

void FreeDisc(Disc* disc) {
    if (!disc)
        return;
    ps::FileRelease(disc->main);
    ps::FileRelease(disc->sub);
    ps::FileRelease(disc->extra);
    ps::SecurityRelease(disc->security);
    Release(disc->scratch);
    Release(disc->stage);
    Release(disc->tracks);
    Release(disc->fullToc);
    Release(disc->cdText);
    Release(disc->pool);
    Release(disc->segments);
    FreeIszState(disc->isz);
    FreeAudioDecoder(disc->audio);
    FreeApeDecoder(disc->ape);
    FreeMultiFile(disc->multi);
    Release(disc);
}

Disc* PrepareDisc(const MountRecord& r) {
    if (!CheckScalars(r))
        return nullptr;
    Disc* disc = static_cast<Disc*>(Allocate(ps::kPoolNonPaged, sizeof(Disc)));
    if (!disc)
        return nullptr;
    ZeroBytes(disc, sizeof(*disc));
    disc->bytesPerSector = r.bytesPerSector;
    disc->medium = r.mediumKind;
    disc->reader = r.readerKind;
    disc->sessions = r.sessions ? r.sessions : 1;
    disc->scrambled = r.scrambled;
    disc->regionByte = r.regionByte;
    disc->layer0Sectors = r.layer0Sectors;
    disc->totalSectors = r.totalSectors;

    bool ok = true;
    disc->scratch = static_cast<uint8_t*>(Allocate(ps::kPoolPaged, kScratchSize));
    disc->stage = static_cast<uint8_t*>(Allocate(ps::kPoolPaged, kStageSize));
    ok = ok && disc->scratch && disc->stage;
    // Files first: the sender's handles are checked with the sender's rights, here.
    ok = ok && r.imageHandle && ps::FileReferenceFromSender(r.imageHandle, &disc->main);
    if (ok && r.readerKind == kReaderCcd && r.kindPointer)
        ok = ps::FileReferenceFromSender(r.kindPointer, &disc->sub);

    if (ok && r.trackTable)
        ok = CopyTrackTable(disc, r.trackTable);
    if (ok && r.trackTable) {
        DropEmptyRuns(disc);
        ok = TrackTableIsSound(disc);
    }
    if (ok && r.fullToc) {
        ok = CopyLengthPrefixedBlock(r.fullToc, kBlockLengthFieldSize, &disc->fullToc,
                                     &disc->fullTocSize) &&
             FullTocDescriptorCount(disc->fullToc, disc->fullTocSize) >= 0;
    }
    if (ok && r.cdText)
        ok = CopyLengthPrefixedBlock(r.cdText, kBlockLengthFieldSize, &disc->cdText,
                                     &disc->cdTextSize);
    if (ok && r.discIdentity)
        ok = CopyIdentity(disc, r.discIdentity);

    disc->security = ps::SecurityCapture();

    if (ok) {
        switch (r.readerKind) {
        case kReaderPlainFile:
        case kReaderCcd:
        case kReaderMds:
        case kReaderNrg:
            if (!disc->tracks) {
                // A 2048-byte image is one run of user data (on a CD: Mode 1 sectors whose
                // other parts are synthesised); a 2352-byte one is raw sectors as stored.
                if (r.bytesPerSector == kUserDataSize)
                    ok = SynthesiseTrackTable(disc, r.mediumKind == kMediumCd ? kSectorMode1 : 0, 0,
                                              kUserDataSize, 0);
                else
                    ok = SynthesiseTrackTable(
                        disc, kSectorUnknown,
                        kPartSync | kPartHeader | kPartSubheader | kPartEdcEcc, kCdSectorSize, 0);
            }
            break;
        case kReaderWav:
            if (!disc->tracks) {
                disc->audioOffset = r.param84 ? r.param84 : kCanonicalWavHeader;
                ok = SynthesiseTrackTable(disc, kSectorCdda, 0, kCdSectorSize, disc->audioOffset);
            }
            break;
        case kReaderFileList:
            // Files of a list are opened later under the mounting user's identity; without it
            // they would be opened with the driver's rights.
            ok = disc->security && CopyFileList(disc, r);
            break;
        case kReaderIsz:
            ok = PrepareIszState(disc, r);
            break;
        case kReaderFlac:
            ok = PrepareAudioDecoder(disc, r);
            break;
        case kReaderApe:
            ok = PrepareApeDecoder(disc, r);
            break;
        case kReaderMultiFile:
            ok = PrepareMultiFile(disc, r);
            break;
        default:
            ok = false;
            break;
        }
    }
    if (!ok) {
        FreeDisc(disc);
        return nullptr;
    }
    return disc;
}

void DetachDisc(DriveContext* drive) {
    Disc* disc = drive->disc;
    if (!disc)
        return;
    if (IsReady(drive))
        RestartMediaTimer(drive);
    __atomic_store_n(&drive->attached, 0u, __ATOMIC_SEQ_CST);
    StatusClear(drive, kStatusAttached | kStatusUnitAttention);
    drive->disc = nullptr;
    FreeDisc(disc);
}

void AttachDisc(DriveContext* drive, Disc* disc) {
    bool wasReady = IsReady(drive);
    DetachDisc(drive);
    SettleDiscType(disc); // on the worker: it may read the first sector of a data track
    drive->disc = disc;
    drive->position = 0;
    ApplyDiscRegion(drive, disc->regionByte);
    __atomic_store_n(&drive->attached, 1u, __ATOMIC_SEQ_CST);
    StatusStore(drive, kStatusLoaded | kStatusAttached |
                           (wasReady ? kStatusChanging : kStatusUnitAttention));
}

} // namespace vostrale
