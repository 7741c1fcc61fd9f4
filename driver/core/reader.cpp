// Image reader: sector lookup in the track table and user-data reads (READ(10)/(12)).
#include "common/disc.h"
#include "driver/core/drive.h"
#include "driver/core/reader_kinds.h"
#include "driver/core/toc_position.h"

namespace vostrale {
namespace {

constexpr uint16_t kSyncBytes = 12;
constexpr uint16_t kHeaderEnd = 16; // sync + header
constexpr uint16_t kMode1UserStart = 16;
constexpr uint16_t kMode2UserStart = 24; // Form 1 and Form 2, after the sub-header

bool IsMode2Type(uint8_t type) {
    return type == kSectorMode2Form1 || type == kSectorMode2Form2;
}

// Bytes after the user data that a sector type carries (EDC, zero area, ECC).
uint16_t TrailerOf(uint8_t type) {
    switch (type) {
    case kSectorMode1:
        return 288;
    case kSectorMode2Form1:
        return 280;
    case kSectorMode2Form2:
        return 4;
    default:
        return 0;
    }
}

// User data of one stored sector of a run that is not plain 2048-byte user data.
uint8_t ReadOneUserSector(Disc* disc, const TrackEntry& e, const RunLayout& layout, uint32_t lba,
                          uint32_t ahead, uint8_t* out) {
    const uint8_t* stored = StoredSector(disc, &e, lba, ahead);
    if (!stored)
        return kReadMediumError;
    if (layout.rawStart == 0) {
        // Whole raw sectors: the mode decides where the user data starts (Mode 1 at 16,
        // Form 1 at 24), whatever the run's parts say.
        uint8_t* sector = disc->scratch;
        CopyBytes(sector, stored, kCdSectorSize);
        UnscrambleIfNeeded(disc, sector);
        uint8_t type = SectorTypeOf(sector);
        uint16_t start;
        if (type == kSectorMode1)
            start = kMode1UserStart;
        else if (type == kSectorMode2Form1)
            start = kMode2UserStart;
        else
            return kReadIllegalMode;
        CopyBytes(out, sector + start, kUserDataSize);
        return kReadOk;
    }
    uint16_t userStart;
    if (e.sectorType == kSectorMode1)
        userStart = kMode1UserStart;
    else if (e.sectorType == kSectorMode2Form1)
        userStart = kMode2UserStart;
    else
        return kReadIllegalMode;
    CopyBytes(out, stored + (userStart - layout.rawStart), kUserDataSize);
    return kReadOk;
}

ReadResult ReadRunsUserData(Disc* disc, uint8_t* buffer, uint32_t count, uint32_t lba) {
    uint32_t done = 0;
    while (done < count) {
        uint32_t current = lba + done;
        const TrackEntry* e = FindRun(disc, current);
        if (!e)
            return Result(MissingSectorStatus(disc, current), done * kUserDataSize, current);
        uint32_t n = Min(count - done, e->endLba - current);
        uint8_t* out = buffer + uint64_t(done) * kUserDataSize;
        RunLayout layout;
        LayoutOfRun(*e, &layout);
        if (e->bytesPerSector == 0) {
            if (e->sectorType == kSectorCdda)
                return Result(kReadIllegalMode, done * kUserDataSize, current);
            uint32_t readable = UnstoredReadable(disc, current, n);
            ZeroBytes(out, size_t(readable) * kUserDataSize);
            if (readable < n)
                return Result(kReadOutOfRange, (done + readable) * kUserDataSize,
                              current + readable);
        } else if (e->bytesPerSector == kUserDataSize) {
            uint64_t offset = e->fileOffset + uint64_t(current - e->firstLba) * kUserDataSize;
            uint32_t want = n * kUserDataSize;
            uint32_t got = ps::FileRead(RunFile(disc, e), offset, out, want);
            if (got != want) {
                uint32_t whole = got / kUserDataSize;
                return Result(kReadMediumError, (done + whole) * kUserDataSize, current + whole);
            }
        } else {
            if (e->sectorType == kSectorCdda)
                return Result(kReadIllegalMode, done * kUserDataSize, current);
            for (uint32_t i = 0; i < n; ++i) {
                uint8_t status = ReadOneUserSector(disc, *e, layout, current + i, n - i,
                                                   out + uint64_t(i) * kUserDataSize);
                if (status != kReadOk)
                    return Result(status, (done + i) * kUserDataSize, current + i);
            }
        }
        done += n;
    }
    return Result(kReadOk, count * kUserDataSize, 0);
}

} // namespace

bool LayoutOfRun(const TrackEntry& e, RunLayout* layout) {
    layout->rawStart = 0;
    layout->sectorBytes = 0;
    layout->subchannel = false;
    if (e.parts & 0xF0)
        return false;
    if (e.bytesPerSector == 0)
        return true;
    uint32_t stored = e.bytesPerSector;
    if (stored == kCdSectorSize + kSubchannelSize) {
        stored = kCdSectorSize;
        layout->subchannel = true;
    }
    uint8_t type = e.sectorType;
    if (stored == kCdSectorSize) {
        layout->sectorBytes = kCdSectorSize;
        return true; // the whole raw sector, whatever the parts say
    }
    if (layout->subchannel)
        return false;
    if (type == kSectorUnknown) {
        // User data of an unknown mode (a DVD or a plain 2048-byte image).
        layout->rawStart = kMode1UserStart;
        layout->sectorBytes = uint16_t(stored);
        return stored == kUserDataSize && e.parts == 0;
    }
    if (type == kSectorCdda || (e.parts & kPartSync))
        return false; // audio and sync-bearing runs are stored whole
    uint16_t start;
    if (e.parts & kPartHeader) {
        if (IsMode2Type(type) && !(e.parts & kPartSubheader))
            return false; // header and user data would not be contiguous
        start = kSyncBytes;
    } else if ((e.parts & kPartSubheader) && IsMode2Type(type)) {
        start = kHeaderEnd;
    } else {
        start = IsMode2Type(type) ? kMode2UserStart : kMode1UserStart;
    }
    uint32_t trailer = (e.parts & kPartEdcEcc) ? 0 : TrailerOf(type);
    layout->rawStart = start;
    layout->sectorBytes = uint16_t(stored);
    return stored == kCdSectorSize - start - trailer;
}

const uint8_t* StoredSector(Disc* disc, const TrackEntry* e, uint32_t lba, uint32_t ahead) {
    uint32_t stride = e->bytesPerSector;
    if (disc->stageRun != e || lba < disc->stageFirst ||
        lba - disc->stageFirst >= disc->stageCount) {
        uint32_t n = Min(Max<uint32_t>(ahead, 1), e->endLba - lba);
        n = Min(n, kStageSize / stride);
        uint64_t offset = e->fileOffset + uint64_t(lba - e->firstLba) * stride;
        uint32_t got = ps::FileRead(RunFile(disc, e), offset, disc->stage, n * stride);
        disc->stageRun = e;
        disc->stageFirst = lba;
        disc->stageCount = got / stride;
        if (disc->stageCount == 0)
            return nullptr;
    }
    return disc->stage + uint64_t(lba - disc->stageFirst) * stride;
}

uint8_t MissingSectorStatus(const Disc* disc, uint32_t lba) {
    return InSessionGap(disc, lba) ? kReadOutOfRange : kReadMediumError;
}

uint32_t UnstoredReadable(const Disc* disc, uint32_t lba, uint32_t count) {
    if (disc->sessions < 2)
        return count;
    for (uint32_t i = 0; i < count; ++i) {
        if (InSessionGap(disc, lba + i))
            return i;
    }
    return count;
}

const TrackEntry* FindRun(const Disc* disc, uint32_t lba) {
    // Entries are sorted and disjoint (checked at mount).
    uint32_t low = 0;
    uint32_t high = disc->trackCount;
    while (low < high) {
        uint32_t mid = low + (high - low) / 2;
        const TrackEntry& e = disc->tracks[mid];
        if (lba < e.firstLba)
            high = mid;
        else if (lba >= e.endLba)
            low = mid + 1;
        else
            return &e;
    }
    return nullptr;
}

ReadResult ReadUserData(Disc* disc, uint8_t* buffer, uint32_t count, uint32_t lba) {
    if (lba >= disc->totalSectors || count > disc->totalSectors - lba)
        return Result(kReadOutOfRange, 0, lba);
    if (count == 0)
        return Result(kReadOk, 0, 0);
    switch (disc->reader) {
    case kReaderFlac:
    case kReaderApe:
    case kReaderWav:
        return Result(kReadIllegalMode, 0, lba); // audio only
    case kReaderFileList:
        return ReadFileList(disc, buffer, count, lba);
    case kReaderIsz:
        if (disc->bytesPerSector == kUserDataSize)
            return ReadIszSectors(disc, buffer, count, lba);
        // Raw ISZ sectors: take each one's user data by its mode.
        for (uint32_t i = 0; i < count; ++i) {
            ReadResult r = ReadIszSectors(disc, disc->scratch, 1, lba + i);
            if (r.status != kReadOk)
                return Result(r.status, i * kUserDataSize, lba + i);
            uint8_t type = SectorTypeOf(disc->scratch);
            if (type != kSectorMode1 && type != kSectorMode2Form1)
                return Result(kReadIllegalMode, i * kUserDataSize, lba + i);
            CopyBytes(buffer + uint64_t(i) * kUserDataSize,
                      disc->scratch + (type == kSectorMode1 ? kMode1UserStart : kMode2UserStart),
                      kUserDataSize);
        }
        return Result(kReadOk, count * kUserDataSize, 0);
    default:
        return ReadRunsUserData(disc, buffer, count, lba);
    }
}

ReadResult ReadFileList(Disc* disc, uint8_t* buffer, uint32_t count, uint32_t lba) {
    // Files named by the list are opened with the mounting user's rights.
    bool impersonating = ps::SecurityImpersonate(disc->security);
    ReadResult result = Result(kReadOk, count * kUserDataSize, 0);
    uint32_t low = 0;
    uint32_t high = disc->segmentCount;
    uint32_t index = disc->segmentCount;
    while (low < high) {
        uint32_t mid = low + (high - low) / 2;
        const SegmentEntry& s = disc->segments[mid];
        if (lba < s.firstLba) {
            high = mid;
        } else if (lba > s.lastLba) {
            low = mid + 1;
        } else {
            index = mid;
            break;
        }
    }
    uint32_t done = 0;
    while (done < count) {
        uint32_t current = lba + done;
        if (index >= disc->segmentCount || current < disc->segments[index].firstLba ||
            current > disc->segments[index].lastLba) {
            result = Result(kReadMediumError, done * kUserDataSize, current);
            break;
        }
        const SegmentEntry& s = disc->segments[index];
        uint32_t n = Min(count - done, s.lastLba - current + 1);
        uint8_t* out = buffer + uint64_t(done) * kUserDataSize;
        if (s.nameOffset == kSegmentZeros) {
            ZeroBytes(out, size_t(n) * kUserDataSize);
        } else {
            ps::FileRef file = 0;
            if (s.nameOffset == disc->segments[0].nameOffset) {
                file = disc->main;
            } else if (disc->extra && disc->extraName == s.nameOffset) {
                file = disc->extra;
            } else {
                ps::FileRelease(disc->extra);
                disc->extra = 0;
                char* path = static_cast<char*>(Allocate(ps::kPoolPaged, kMaxPathLength));
                if (path && impersonating) {
                    uint32_t length = 0;
                    for (const char* p = disc->pool; *p; ++p)
                        path[length++] = *p;
                    for (const char* p = disc->pool + s.nameOffset; *p; ++p)
                        path[length++] = *p; // lengths checked at mount
                    path[length] = 0;
                    if (ps::FileOpenByName(path, &disc->extra)) {
                        disc->extraName = s.nameOffset;
                        file = disc->extra;
                    }
                }
                Release(path);
            }
            uint64_t offset = s.fileOffset + uint64_t(current - s.firstLba) * kUserDataSize;
            uint32_t want = n * kUserDataSize;
            uint32_t got = file ? ps::FileRead(file, offset, out, want) : 0;
            if (got != want) {
                uint32_t whole = got / kUserDataSize;
                result = Result(kReadMediumError, (done + whole) * kUserDataSize, current + whole);
                break;
            }
        }
        done += n;
        ++index;
    }
    if (impersonating)
        ps::SecurityRevert();
    return result;
}

} // namespace vostrale
