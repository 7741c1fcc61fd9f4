// Raw reads (READ CD): whole 2352-byte sectors built from what the image stores, the field
// selection, C2 pointers and sub-channel data.
#include "codecs/sector.h"
#include "driver/core/drive.h"
#include "driver/core/reader_kinds.h"
#include "driver/core/toc_position.h"

namespace vostrale {
namespace {

constexpr uint32_t kCdbExpectedTypeByte = 1;
constexpr uint32_t kCdbFieldByte = 9;
constexpr uint32_t kCdbSubchannelByte = 10;
constexpr uint8_t kFieldAllWithoutErrors = 0xF8; // sync, all headers, user data, EDC/ECC
constexpr uint32_t kC2PointersSize = 294;
constexpr uint32_t kC2PointersWithBlockErrorSize = 296;
constexpr uint32_t kFormattedQBytes = 16;
constexpr uint32_t kSectorsPerLinearRecord = 96;

constexpr uint8_t kSubchannelRaw = 1;
constexpr uint8_t kSubchannelQ = 2;

uint8_t ModeByteOf(uint8_t type) {
    return type == kSectorMode1 ? 1 : 2;
}

bool IsFullRaw(const RunLayout& layout) {
    return layout.rawStart == 0 && layout.sectorBytes == kCdSectorSize;
}

// Fills the parts of a data sector that the run does not store. The stored bytes are already
// at their raw offsets; everything else is zero.
void CompleteSector(uint8_t* sector, uint32_t lba, uint8_t type, uint8_t parts, uint16_t rawStart) {
    if (rawStart > 0)
        WriteSync(sector);
    if (rawStart > kHeaderOffset)
        WriteHeader(sector, int32_t(lba), ModeByteOf(type));
    if (rawStart > kSubheaderOffset && (type == kSectorMode2Form1 || type == kSectorMode2Form2))
        WriteSubheader(sector, type == kSectorMode2Form2);
    if (!(parts & kPartEdcEcc))
        WriteEdcEcc(sector, type);
}

// `subStored`: set when the image stores the sector's sub-channel (then in linear96).
uint8_t FetchFromRun(Disc* disc, uint32_t lba, uint8_t* sector, uint8_t* linear96, uint32_t ahead,
                     bool* subStored) {
    *subStored = false;
    const TrackEntry* e = FindRun(disc, lba);
    if (!e)
        return MissingSectorStatus(disc, lba);
    ZeroBytes(sector, kCdSectorSize);
    if (linear96)
        ZeroBytes(linear96, kSubchannelSize);
    RunLayout layout;
    LayoutOfRun(*e, &layout);
    uint8_t type = e->sectorType;
    bool dataType = type >= kSectorMode1 && type <= kSectorMode2Form2;
    if (e->bytesPerSector == 0) {
        if (UnstoredReadable(disc, lba, 1) == 0)
            return kReadOutOfRange;
        // Not stored anywhere: silence, or a data sector over zero user data.
        if (dataType)
            CompleteSector(sector, lba, type, 0, kMode2UserOffset);
        return kReadOk;
    }
    if (RunIsDecoded(disc, e))
        return ReadDecodedRunSector(disc, e, lba, sector);
    const uint8_t* stored = StoredSector(disc, e, lba, ahead);
    if (!stored)
        return kReadMediumError;
    CopyBytes(sector + layout.rawStart, stored, layout.sectorBytes);
    if (IsFullRaw(layout))
        UnscrambleIfNeeded(disc, sector);
    else if (dataType)
        CompleteSector(sector, lba, type, e->parts, layout.rawStart);
    if (!linear96)
        return kReadOk;
    if (layout.subchannel) {
        DeinterleaveSubchannel(stored + kCdSectorSize, linear96);
        *subStored = true;
    } else if (disc->sub && e->bytesPerSector == kCdSectorSize) {
        // The .sub file follows the .img sector by sector, sessions' gaps excluded, so the
        // record is found by the sector's place in the .img, not by its address.
        uint64_t offset = e->fileOffset + uint64_t(lba - e->firstLba) * e->bytesPerSector;
        uint64_t index = offset / kCdSectorSize;
        if (ps::FileRead(disc->sub, index * kSectorsPerLinearRecord, linear96, kSubchannelSize) !=
            kSubchannelSize)
            return kReadMediumError;
        *subStored = true;
    }
    return kReadOk;
}

// Mode 1 sector around 2048 bytes of user data already at offset 16.
void CompleteMode1(uint8_t* sector, uint32_t lba) {
    CompleteSector(sector, lba, kSectorMode1, 0, kMode1UserOffset);
}

// A sector without sync is audio: it matches "any type" and CD-DA only, as a data sector
// matches only the data types it is.
bool ExpectedTypeMatches(uint8_t expected, uint8_t detected) {
    if (expected == kSectorUnknown)
        return true;
    if (detected == kSectorUnknown)
        return expected == kSectorCdda;
    switch (expected) {
    case kSectorCdda:
        return false;
    case kSectorMode1:
    case kSectorMode2Form1:
        return detected == kSectorMode1 || detected == kSectorMode2Form1;
    case kSectorMode2Formless:
        return detected == kSectorMode2Form1 || detected == kSectorMode2Form2;
    case kSectorMode2Form2:
        return detected == kSectorMode2Form2;
    default:
        return false;
    }
}

} // namespace

void UnscrambleIfNeeded(const Disc* disc, uint8_t* sector) {
    if (disc->reader == kReaderCcd && disc->scrambled && HasSync(sector))
        ScrambleSector(sector);
}

uint8_t FetchRawSector(Disc* disc, uint32_t lba, uint8_t* sector, uint8_t* linear96,
                       uint32_t ahead) {
    bool subStored = false;
    uint8_t status = kReadOk;
    switch (disc->reader) {
    case kReaderFileList: {
        ZeroBytes(sector, kCdSectorSize);
        ReadResult r = ReadFileList(disc, sector + kMode1UserOffset, 1, lba);
        status = r.status;
        if (status == kReadOk)
            CompleteMode1(sector, lba);
        break;
    }
    case kReaderIsz: {
        ZeroBytes(sector, kCdSectorSize);
        bool raw = disc->bytesPerSector == kCdSectorSize;
        ReadResult r = ReadIszSectors(disc, raw ? sector : sector + kMode1UserOffset, 1, lba);
        status = r.status;
        if (status == kReadOk && !raw)
            CompleteMode1(sector, lba);
        break;
    }
    case kReaderFlac:
        status = ReadAudioSectors(disc, sector, 1, lba).status;
        break;
    case kReaderApe:
        status = ReadApeSectors(disc, sector, 1, lba).status;
        break;
    default:
        status = FetchFromRun(disc, lba, sector, linear96, ahead, &subStored);
        break;
    }
    // Without a stored sub-channel, the P and Q a disc carries there, from the TOC.
    if (status == kReadOk && linear96 && !subStored)
        SynthesiseSubchannel(disc, lba, linear96);
    return status;
}

ReadResult ReadRaw(Disc* disc, uint8_t* buffer, uint32_t bufferBytes, uint32_t count, uint32_t lba,
                   const uint8_t* cdb) {
    if (disc->medium != kMediumCd)
        return Result(kReadIllegalMode, 0, lba);
    uint8_t expected = (cdb[kCdbExpectedTypeByte] >> 2) & 7;
    uint8_t fields = cdb[kCdbFieldByte];
    uint8_t c2 = (fields >> 1) & 3;
    uint8_t subchannel = cdb[kCdbSubchannelByte] & 7;
    if (c2 > 2 || subchannel > kSubchannelQ || expected > kSectorMode2Form2)
        return Result(kReadInvalidField, 0, lba);
    if (lba >= disc->totalSectors || count > disc->totalSectors - lba)
        return Result(kReadOutOfRange, 0, lba);
    uint32_t c2Bytes = c2 == 1 ? kC2PointersSize : c2 == 2 ? kC2PointersWithBlockErrorSize : 0;
    uint32_t subBytes = subchannel == kSubchannelRaw ? kSubchannelSize
                        : subchannel == kSubchannelQ ? kFormattedQBytes
                                                     : 0;
    // Nothing selected: no data, and nothing to read.
    if ((fields & 0xF8) == 0 && c2Bytes == 0 && subBytes == 0 && expected == kSectorUnknown) {
        ReadResult r = Result(kReadOk, 0, 0);
        r.sectors = count;
        return r;
    }
    // Whole stored sectors straight into the caller's buffer when nothing needs building. A
    // FLAC or APE disc's runs (where it has them) count decoded bytes, never file bytes.
    bool direct = (fields & 0xF8) == kFieldAllWithoutErrors && c2Bytes == 0 && subBytes == 0 &&
                  expected == kSectorUnknown && disc->trackCount != 0 &&
                  !(disc->reader == kReaderCcd && disc->scrambled) &&
                  disc->reader != kReaderFlac && disc->reader != kReaderApe;

    uint8_t* sector = disc->scratch;
    uint8_t linear[kSubchannelSize];
    uint32_t delivered = 0;
    uint32_t done = 0;
    while (done < count) {
        uint32_t current = lba + done;
        if (direct) {
            const TrackEntry* e = FindRun(disc, current);
            RunLayout layout;
            if (e && LayoutOfRun(*e, &layout) && IsFullRaw(layout) && !layout.subchannel &&
                !RunIsDecoded(disc, e)) {
                uint32_t n = Min(count - done, e->endLba - current);
                n = Min(n, (bufferBytes - delivered) / kCdSectorSize);
                if (n == 0)
                    break;
                uint64_t offset = e->fileOffset + uint64_t(current - e->firstLba) * kCdSectorSize;
                uint32_t want = n * kCdSectorSize;
                uint32_t got = ps::FileRead(RunFile(disc, e), offset, buffer + delivered, want);
                if (got != want) {
                    uint32_t whole = got / kCdSectorSize;
                    return Result(kReadMediumError, delivered + whole * kCdSectorSize,
                                  current + whole);
                }
                delivered += want;
                done += n;
                continue;
            }
        }
        uint8_t status =
            FetchRawSector(disc, current, sector, subBytes ? linear : nullptr, count - done);
        if (status != kReadOk)
            return Result(status, delivered, current);
        uint8_t detected = DetectSectorType(sector);
        if (!ExpectedTypeMatches(expected, detected))
            return Result(kReadIllegalMode, delivered, current);
        uint8_t row = detected;
        if (detected == kSectorUnknown)
            row = kSectorCdda;
        else if (expected == kSectorMode2Formless)
            row = kSectorMode2Formless;
        ReadCdSpan span;
        if (!ReadCdFieldSpan(row, fields, &span))
            return Result(kReadInvalidField, delivered, current);
        uint32_t record = span.length + c2Bytes + subBytes;
        if (record == 0) {
            ++done;
            continue;
        }
        if (bufferBytes - delivered < record)
            break; // only whole records
        uint8_t* out = buffer + delivered;
        CopyBytes(out, sector + span.start, span.length);
        out += span.length;
        ZeroBytes(out, c2Bytes); // no errors to point at
        out += c2Bytes;
        if (subchannel == kSubchannelRaw)
            InterleaveSubchannel(linear, out);
        else if (subchannel == kSubchannelQ)
            FormattedQFromLinear(linear, out);
        delivered += record;
        ++done;
    }
    ReadResult r = Result(kReadOk, delivered, 0);
    r.sectors = done;
    return r;
}

bool ReadSubchannel(Disc* disc, uint32_t lba, uint8_t* linear96) {
    if (lba >= disc->totalSectors)
        return false;
    switch (disc->reader) {
    case kReaderFileList:
    case kReaderIsz:
    case kReaderFlac:
    case kReaderApe:
        return false; // these kinds store no sub-channel
    default:
        break;
    }
    bool stored = false;
    return FetchFromRun(disc, lba, disc->scratch, linear96, 1, &stored) == kReadOk && stored;
}

} // namespace vostrale
