// MMC command emulation: one handler per operation code, replies built in the drive's reply
// buffer and cut to the allocation and transfer lengths, failures as fixed-format sense data.
#include "common/bytes.h"
#include "common/disc.h"
#include "driver/core/drive.h"
#include "driver/core/toc_position.h"

namespace vostrale {
namespace {

// ---- Sense -----------------------------------------------------------------------------------

enum SenseCode : uint8_t {
    kSenseInvalidOpcode,
    kSenseLbaOutOfRange,
    kSenseInvalidField,
    kSenseInvalidParameter,
    kSenseIncompatibleFormat,
    kSenseIllegalMode,
    kSenseTrayOpen,
    kSenseMediumChanged,
    kSenseUnrecoveredRead,
};

struct SenseTriple {
    uint8_t key;
    uint8_t asc;
    uint8_t ascq;
};

constexpr SenseTriple kSenseTable[] = {
    {0x05, 0x20, 0x00}, // invalid command operation code
    {0x05, 0x21, 0x00}, // logical block address out of range
    {0x05, 0x24, 0x00}, // invalid field in CDB
    {0x05, 0x26, 0x00}, // invalid field in parameter list
    {0x05, 0x30, 0x02}, // cannot read medium, incompatible format
    {0x05, 0x64, 0x00}, // illegal mode for this track
    {0x02, 0x3A, 0x02}, // medium not present - tray open
    {0x06, 0x28, 0x00}, // not ready to ready change, medium may have changed
    {0x03, 0x11, 0x00}, // unrecovered read error
};

constexpr uint8_t kSenseCurrent = 0x70;
constexpr uint8_t kSenseValid = 0x80; // INFORMATION holds the failing LBA
constexpr uint32_t kSenseKeyOffset = 2;
constexpr uint32_t kSenseInformationOffset = 3;
constexpr uint32_t kSenseAdditionalLengthOffset = 7;
constexpr uint8_t kSenseAdditionalLength = kSenseSize - 8;
constexpr uint32_t kSenseAscOffset = 12;
constexpr uint32_t kSenseAscqOffset = 13;

struct Command {
    DriveContext* drive;
    ScsiRequest* request;
    const uint8_t* cdb;
    uint8_t* data;
    uint32_t length; // size of the data buffer
};

void BuildSense(const Sense& sense, uint8_t* out) {
    ZeroBytes(out, kSenseSize);
    out[0] = kSenseCurrent | (sense.hasInformation ? kSenseValid : 0);
    out[kSenseKeyOffset] = sense.key & 0x0F;
    if (sense.hasInformation)
        StoreBe32(out + kSenseInformationOffset, sense.information);
    out[kSenseAdditionalLengthOffset] = kSenseAdditionalLength;
    out[kSenseAscOffset] = sense.asc;
    out[kSenseAscqOffset] = sense.ascq;
}

void ClearSense(DriveContext* drive) {
    ZeroBytes(&drive->sense, sizeof(drive->sense));
}

// Ends the command with CHECK CONDITION; `delivered` bytes of data were transferred.
void Fail(Command* c, SenseCode code, uint32_t delivered = 0, bool hasLba = false,
          uint32_t lba = 0) {
    DriveContext* drive = c->drive;
    const SenseTriple& t = kSenseTable[code];
    drive->sense.key = t.key;
    drive->sense.asc = t.asc;
    drive->sense.ascq = t.ascq;
    drive->sense.hasInformation = hasLba;
    drive->sense.information = lba;
    ScsiRequest* r = c->request;
    r->srbStatus = kSrbStatusError;
    r->scsiStatus = kScsiStatusCheckCondition;
    r->transferLength = delivered;
    if (!r->autosenseDisabled && r->sense && r->senseLength) {
        uint8_t sense[kSenseSize];
        BuildSense(drive->sense, sense);
        uint32_t n = Min<uint32_t>(kSenseSize, r->senseLength);
        CopyBytes(r->sense, sense, n);
        r->senseDelivered = uint8_t(n);
        r->srbStatus |= kSrbStatusAutosenseValid;
        ClearSense(drive); // delivered: key, ASC and ASCQ all go
    }
}

void Succeed(Command* c, uint32_t delivered, bool complete) {
    c->request->srbStatus = complete ? kSrbStatusSuccess : kSrbStatusDataOverrun;
    c->request->scsiStatus = kScsiStatusGood;
    c->request->transferLength = delivered;
}

// Sends `size` bytes of a reply at most `allocation` long; cut to the data buffer.
void Reply(Command* c, const uint8_t* bytes, uint32_t size, uint32_t allocation) {
    uint32_t wanted = Min(size, allocation);
    uint32_t n = Min(wanted, c->length);
    if (n && c->data)
        CopyBytes(c->data, bytes, n);
    Succeed(c, c->data ? n : 0, c->length == wanted);
}

uint8_t* ReplyBuffer(Command* c, uint32_t size) {
    ZeroBytes(c->drive->reply, size);
    return c->drive->reply;
}

bool MediaTimerExpired(DriveContext* drive) {
    return ps::TimerExpired(drive->timer);
}

bool CheckReady(Command* c) {
    DriveContext* drive = c->drive;
    uint32_t before =
        __atomic_fetch_and(&drive->status, ~uint32_t(kStatusUnitAttention), __ATOMIC_SEQ_CST);
    if (before & kStatusUnitAttention) {
        Fail(c, kSenseMediumChanged);
        return false;
    }
    if (IsReady(drive) && MediaTimerExpired(drive) && drive->disc)
        return true;
    Fail(c, kSenseTrayOpen);
    return false;
}

bool MediaPresent(DriveContext* drive) {
    return drive->disc && IsReady(drive) && MediaTimerExpired(drive);
}

// ---- Full TOC access --------------------------------------------------------------------------

void PutAddress(uint8_t* p, uint32_t lba, bool msf) {
    // Addresses past 99:59:74 (DVD and BD) have no MSF form: reported as FF:3B:4A, as
    // drives report them, rather than wrapped into a small wrong value.
    constexpr uint32_t kLastMsfLba = 100 * 4500 - 1 - kMsfOffset;
    if (msf && lba > kLastMsfLba) {
        p[0] = 0;
        p[1] = 0xFF;
        p[2] = 0x3B;
        p[3] = 0x4A;
    } else if (msf) {
        Msf m = LbaToMsf(int32_t(lba));
        p[0] = 0;
        p[1] = m.minute;
        p[2] = m.second;
        p[3] = m.frame;
    } else {
        StoreBe32(p, lba);
    }
}

// ---- Handlers ---------------------------------------------------------------------------------

void TestUnitReady(Command* c) {
    if (CheckReady(c))
        Succeed(c, 0, true);
}

void RequestSense(Command* c) {
    uint8_t* reply = ReplyBuffer(c, kSenseSize);
    BuildSense(c->drive->sense, reply);
    Reply(c, reply, kSenseSize, c->cdb[4]);
    ClearSense(c->drive);
}

constexpr uint32_t kInquirySize = 96;
constexpr uint8_t kInquiryAdditionalLength = kInquirySize - 5; // bytes after byte 4

// Text fields of INQUIRY are ASCII padded with spaces.
void PutPadded(uint8_t* field, const char* text, uint32_t width) {
    FillBytes(field, ' ', width);
    for (uint32_t i = 0; i < width && text[i]; ++i)
        field[i] = uint8_t(text[i]);
}

void Inquiry(Command* c) {
    if (c->cdb[1] != 0 || c->cdb[2] != 0) {
        Fail(c, kSenseInvalidField);
        return;
    }
    uint8_t* r = ReplyBuffer(c, kInquirySize);
    r[0] = 0x05; // CD/DVD device
    r[1] = 0x80; // removable
    r[2] = 0x02;
    r[3] = 0x02; // response data format
    r[4] = kInquiryAdditionalLength;
    PutPadded(r + 8, "Melkorin", 8);
    PutPadded(r + 16, "Vostrale", 16);
    PutPadded(r + 32, "1.0", 4);
    Reply(c, r, kInquirySize, LoadBe16(c->cdb + 3));
}

constexpr uint8_t kErrorRecoveryPage = 0x01;
constexpr uint8_t kCapabilitiesPage = 0x2A;
constexpr uint8_t kAllPages = 0x3F;
constexpr uint32_t kErrorRecoveryPageSize = 12;
constexpr uint32_t kCapabilitiesPageSize = 26;
constexpr uint32_t kLargestModePages = kErrorRecoveryPageSize + kCapabilitiesPageSize;

// Read speeds in kB/s a drive reports: 48x for CDs (176.4 kB/s each), 16x for DVDs and the
// later media (1385 kB/s each).
constexpr uint16_t kCdReadSpeed = 8467;
constexpr uint16_t kDvdReadSpeed = 22160;

uint16_t ReadSpeedOf(const DriveContext* drive) {
    const Disc* disc = drive->disc;
    return disc && disc->medium != kMediumCd ? kDvdReadSpeed : kCdReadSpeed;
}

void PutErrorRecoveryPage(uint8_t* p) {
    p[0] = kErrorRecoveryPage;
    p[1] = kErrorRecoveryPageSize - 2;
    p[3] = 1; // read retry count
}

void PutCapabilitiesPage(uint8_t* p, uint16_t speed) {
    p[0] = kCapabilitiesPage;
    p[1] = kCapabilitiesPageSize - 2;
    p[2] = 0x3F;               // reads CD-R, CD-RW, method 2, DVD-ROM, DVD-R, DVD-RAM
    p[3] = 0x00;               // writes nothing
    p[4] = 0x70;               // Mode 2 Form 1, Form 2, multi-session
    p[5] = 0x07;               // CD-DA commands, accurate stream, R-W sub-channel
    p[6] = 0x28;               // tray loading mechanism, eject
    StoreBe16(p + 8, speed);   // maximum read speed
    StoreBe16(p + 12, 0x0100); // buffer size in KB
    StoreBe16(p + 14, speed);  // current read speed
    StoreBe16(p + 22, 0x0001);
}

// The pages asked for after a header of `header` bytes; 0 when the page is not reported.
uint32_t PutModePages(Command* c, uint8_t* r, uint32_t header) {
    uint8_t page = c->cdb[2] & 0x3F;
    uint32_t size = header;
    if (page == kErrorRecoveryPage || page == kAllPages) {
        PutErrorRecoveryPage(r + size);
        size += kErrorRecoveryPageSize;
    }
    if (page == kCapabilitiesPage || page == kAllPages) {
        PutCapabilitiesPage(r + size, ReadSpeedOf(c->drive));
        size += kCapabilitiesPageSize;
    }
    return size == header ? 0 : size;
}

// The mode data length counts every byte after itself.
void ModeSense6(Command* c) {
    constexpr uint32_t kHeader = 4;
    uint8_t* r = ReplyBuffer(c, kHeader + kLargestModePages);
    uint32_t size = PutModePages(c, r, kHeader);
    if (size == 0) {
        Fail(c, kSenseInvalidField);
        return;
    }
    r[0] = uint8_t(size - 1);
    Reply(c, r, size, c->cdb[4]);
}

void ModeSense10(Command* c) {
    constexpr uint32_t kHeader = 8;
    uint8_t* r = ReplyBuffer(c, kHeader + kLargestModePages);
    uint32_t size = PutModePages(c, r, kHeader);
    if (size == 0) {
        Fail(c, kSenseInvalidField);
        return;
    }
    StoreBe16(r, uint16_t(size - 2));
    Reply(c, r, size, LoadBe16(c->cdb + 7));
}

// MODE SELECT: a block descriptor may set 2048-byte blocks (what the READ commands return
// anyway); the error recovery page is taken and ignored. The whole list is checked first.
void ModeSelect(Command* c, uint32_t listLength, uint32_t header, uint32_t descriptorLength) {
    if (listLength == 0) {
        Succeed(c, 0, true);
        return;
    }
    if (!c->data || c->length < listLength || listLength < header) {
        Fail(c, kSenseInvalidField);
        return;
    }
    const uint8_t* p = c->data;
    constexpr uint32_t kDescriptorSize = 8;
    if (descriptorLength != 0 && descriptorLength != kDescriptorSize) {
        Fail(c, kSenseInvalidParameter);
        return;
    }
    uint32_t at = header;
    if (descriptorLength) {
        if (listLength - at < kDescriptorSize || LoadBe24(p + at + 5) != kUserDataSize) {
            Fail(c, kSenseInvalidParameter);
            return;
        }
        at += kDescriptorSize;
    }
    while (at < listLength) {
        if (listLength - at < 2 || (p[at] & 0x3F) != kErrorRecoveryPage ||
            listLength - at - 2 < p[at + 1]) {
            Fail(c, kSenseInvalidParameter);
            return;
        }
        at += 2u + p[at + 1];
    }
    Succeed(c, 0, true);
}

void ModeSelect6(Command* c) {
    uint32_t listLength = c->cdb[4];
    uint32_t descriptors = listLength >= 4 && c->data && c->length >= 4 ? c->data[3] : 0;
    ModeSelect(c, listLength, 4, descriptors);
}

void ModeSelect10(Command* c) {
    uint32_t listLength = LoadBe16(c->cdb + 7);
    uint32_t descriptors = listLength >= 8 && c->data && c->length >= 8 ? LoadBe16(c->data + 6) : 0;
    ModeSelect(c, listLength, 8, descriptors);
}

// SET CD SPEED and SET STREAMING: an image reads at one speed; accepted, nothing to change.
void SetSpeed(Command* c) {
    Succeed(c, 0, true);
}

// GET PERFORMANCE: one descriptor spanning the disc at the reported read speed; write speeds
// (type 3): none.
void GetPerformance(Command* c) {
    constexpr uint8_t kTypePerformance = 0x00;
    constexpr uint8_t kTypeWriteSpeed = 0x03;
    constexpr uint32_t kHeader = 8;
    constexpr uint32_t kDescriptor = 16;
    uint8_t type = c->cdb[10];
    uint32_t wanted = LoadBe16(c->cdb + 8); // descriptors
    if (type != kTypePerformance && type != kTypeWriteSpeed) {
        Fail(c, kSenseInvalidField);
        return;
    }
    uint8_t* r = ReplyBuffer(c, kHeader + kDescriptor);
    uint32_t size = kHeader;
    if (type == kTypePerformance && (c->cdb[1] & 0x07) == 0) { // read, nominal
        const Disc* disc = c->drive->disc;
        uint32_t speed = ReadSpeedOf(c->drive);
        uint8_t* d = r + kHeader;
        StoreBe32(d + 4, speed);
        StoreBe32(d + 8, disc ? disc->totalSectors - 1 : 0);
        StoreBe32(d + 12, speed);
        size += kDescriptor;
    }
    StoreBe32(r, size - 4);
    uint32_t reported = Min(size, kHeader + wanted * kDescriptor);
    Reply(c, r, reported, reported);
}

void StartStopUnit(Command* c) {
    constexpr uint8_t kStart = 0x01;
    constexpr uint8_t kLoadEject = 0x02;
    uint8_t flags = c->cdb[4];
    DriveContext* drive = c->drive;
    if (flags & kLoadEject) {
        if (flags & kStart) {
            StatusSet(drive, kStatusLoaded);
        } else {
            if (IsReady(drive))
                RestartMediaTimer(drive);
            StatusClear(drive, kStatusLoaded);
        }
    }
    Succeed(c, 0, true);
}

void PreventAllow(Command* c) {
    Succeed(c, 0, true);
}

void ReadCapacity(Command* c) {
    for (uint32_t i = 1; i <= 8; ++i) {
        if (c->cdb[i] != 0) {
            Fail(c, kSenseInvalidField);
            return;
        }
    }
    if (!CheckReady(c))
        return;
    uint8_t* r = ReplyBuffer(c, 8);
    StoreBe32(r, c->drive->disc->totalSectors - 1);
    // The READ commands return 2048-byte blocks whatever the image stores.
    StoreBe32(r + 4, kUserDataSize);
    Reply(c, r, 8, 8);
}

void FailRead(Command* c, const ReadResult& r) {
    switch (r.status) {
    case kReadInvalidField:
        Fail(c, kSenseInvalidField, r.bytes);
        break;
    case kReadIllegalMode:
        Fail(c, kSenseIllegalMode, r.bytes);
        break;
    case kReadOutOfRange:
        Fail(c, kSenseLbaOutOfRange, r.bytes);
        break;
    default:
        // A mount or unmount on its way ends the reads of the disc it replaces: to the
        // system that is a changed medium, not a damaged one.
        if (__atomic_load_n(&c->drive->detachPending, __ATOMIC_SEQ_CST) != 0)
            Fail(c, kSenseMediumChanged, r.bytes);
        else
            Fail(c, kSenseUnrecoveredRead, r.bytes, true, r.failedLba);
        break;
    }
}

void ReadBlocks(Command* c, uint32_t count) {
    if (!CheckReady(c))
        return;
    Disc* disc = c->drive->disc;
    uint32_t lba = LoadBe32(c->cdb + 2);
    if (lba & 0x80000000u) {
        Fail(c, kSenseInvalidField);
        return;
    }
    uint64_t wanted = uint64_t(count) * kUserDataSize;
    uint32_t fit = count;
    if (wanted > c->length)
        fit = c->data ? c->length / kUserDataSize : 0;
    ReadResult r;
    if (lba >= disc->totalSectors || count > disc->totalSectors - lba) {
        r.status = kReadOutOfRange;
        r.bytes = 0;
        r.failedLba = lba;
        FailRead(c, r);
        return;
    }
    r = ReadUserData(disc, static_cast<uint8_t*>(c->data), fit, lba);
    if (r.status != kReadOk) {
        FailRead(c, r);
        return;
    }
    if (fit == count)
        c->drive->position = lba + count;
    Succeed(c, r.bytes, fit == count && wanted == c->length);
}

void Read10(Command* c) {
    ReadBlocks(c, LoadBe16(c->cdb + 7));
}
void Read12(Command* c) {
    ReadBlocks(c, LoadBe32(c->cdb + 6));
}

void Seek10(Command* c) {
    if (!CheckReady(c))
        return;
    c->drive->position = LoadBe32(c->cdb + 2);
    Succeed(c, 0, true);
}

void ReadCd(Command* c) {
    if (!CheckReady(c))
        return;
    uint32_t lba = LoadBe32(c->cdb + 2);
    if (lba & 0x80000000u) {
        Fail(c, kSenseInvalidField);
        return;
    }
    uint32_t count = LoadBe24(c->cdb + 6);
    ReadResult r = ReadRaw(c->drive->disc, static_cast<uint8_t*>(c->data), c->data ? c->length : 0,
                           count, lba, c->cdb);
    if (r.status != kReadOk) {
        FailRead(c, r);
        return;
    }
    if (r.sectors == count)
        c->drive->position = lba + count;
    Succeed(c, r.bytes, r.sectors == count && r.bytes == c->length);
}

uint8_t FromBcd(uint8_t v) {
    return uint8_t((v >> 4) * 10 + (v & 0x0F));
}

constexpr uint8_t kSubQ = 0x40;
constexpr uint8_t kSubChannelPosition = 1;
constexpr uint8_t kSubChannelCatalogue = 2;
constexpr uint8_t kSubChannelIsrc = 3;

void PutCurrentPosition(Command* c, uint8_t* r) {
    bool msf = c->cdb[1] & 0x02;
    Disc* disc = c->drive->disc;
    uint32_t position = c->drive->position;
    TocPosition at = {{1, kAdrControlData, 1, 0}, 1, int32_t(position)};
    if (disc)
        at = PositionOf(disc, position);
    uint8_t adrControl = at.track.adrControl;
    uint8_t trackNumber = at.track.number;
    uint8_t index = at.index;
    uint8_t linear[kSubchannelSize];
    if (disc && ReadSubchannel(disc, position, linear)) {
        const uint8_t* q = linear + 12; // Q is the second channel
        if ((q[0] & 0x0F) == 1) {       // a position frame
            adrControl = uint8_t((q[0] << 4) | (q[0] >> 4));
            trackNumber = FromBcd(q[1]);
            index = FromBcd(q[2]);
        }
    }
    r[5] = adrControl;
    r[6] = trackNumber;
    r[7] = index;
    PutAddress(r + 8, position, msf);
    if (msf) {
        // A relative address is a length into the track (in a pregap, the time left before
        // it): no 2-second offset.
        uint32_t relative =
            at.relative >= 0 ? uint32_t(at.relative) : uint32_t(-at.relative - 1);
        r[12] = 0;
        r[13] = uint8_t(Min<uint32_t>(relative / 4500, 99));
        r[14] = uint8_t((relative / 75) % 60);
        r[15] = uint8_t(relative % 75);
    } else {
        StoreBe32(r + 12, uint32_t(at.relative));
    }
}

void ReadSubChannel(Command* c) {
    uint8_t format = c->cdb[3];
    uint8_t number = c->cdb[6];
    Disc* disc = c->drive->disc;
    TocTrack track = {};
    bool valid = (format == kSubChannelPosition && number == 0) ||
                 format == kSubChannelCatalogue ||
                 (format == kSubChannelIsrc && disc && TrackNumbered(disc, number, &track));
    if (!valid) {
        Fail(c, kSenseInvalidField);
        return;
    }
    uint32_t allocation = LoadBe16(c->cdb + 7);
    if (!(c->cdb[2] & kSubQ)) {
        uint8_t* r = ReplyBuffer(c, 4);
        Reply(c, r, 4, allocation);
        return;
    }
    constexpr uint32_t kPositionSize = 16;
    constexpr uint32_t kCodeSize = 24;
    constexpr uint8_t kValid = 0x80; // MCVal, TCVal
    uint32_t size = format == kSubChannelPosition ? kPositionSize : kCodeSize;
    uint8_t* r = ReplyBuffer(c, size);
    r[3] = uint8_t(size - 4);
    r[4] = format;
    if (format == kSubChannelPosition) {
        PutCurrentPosition(c, r);
    } else if (format == kSubChannelCatalogue) {
        if (disc && disc->mcn[0]) {
            r[8] = kValid;
            CopyBytes(r + 9, disc->mcn, sizeof(disc->mcn));
        }
    } else {
        r[5] = uint8_t(kSubChannelIsrc << 4 | (track.adrControl & 0x0F));
        r[6] = number;
        if (disc->isrc[number][0]) {
            r[8] = kValid;
            CopyBytes(r + 9, disc->isrc[number], sizeof(disc->isrc[number]));
        }
    }
    Reply(c, r, size, allocation);
}

void ReadTocFormatted(Command* c, Disc* disc, bool msf, uint8_t start, uint32_t allocation) {
    TocTrack tracks[kMaxTocTracks];
    uint32_t n = CollectTracks(disc, tracks, kMaxTocTracks);
    if (n == 0) {
        tracks[0] = {1, SingleTrackAdrControl(disc), 1, 0};
        n = 1;
    }
    uint8_t first = 0xFF;
    uint8_t last = 0;
    for (uint32_t i = 0; i < n; ++i) {
        first = Min(first, tracks[i].number);
        last = Max(last, tracks[i].number);
    }
    constexpr uint8_t kLeadOut = 0xAA;
    if (start != kLeadOut && start > last) {
        Fail(c, kSenseInvalidField);
        return;
    }
    uint8_t* r = ReplyBuffer(c, 4 + 8 * (n + 1));
    uint32_t size = 4;
    if (start != kLeadOut) {
        for (uint32_t i = 0; i < n; ++i) {
            if (tracks[i].number < start)
                continue;
            uint8_t* d = r + size;
            d[1] = tracks[i].adrControl;
            d[2] = tracks[i].number;
            PutAddress(d + 4, tracks[i].lba, msf);
            size += 8;
        }
    }
    uint8_t* d = r + size;
    d[1] = kAdrControlData;
    d[2] = kLeadOut;
    PutAddress(d + 4, disc->totalSectors, msf);
    size += 8;
    StoreBe16(r, uint16_t(size - 2));
    r[2] = first;
    r[3] = last;
    Reply(c, r, size, allocation);
}

void ReadTocSession(Command* c, Disc* disc, bool msf, uint32_t allocation) {
    constexpr uint32_t kSize = 12;
    uint8_t* r = ReplyBuffer(c, kSize);
    StoreBe16(r, kSize - 2);
    r[2] = 1;
    r[3] = disc->sessions;
    TocTrack tracks[kMaxTocTracks];
    uint32_t n = CollectTracks(disc, tracks, kMaxTocTracks);
    TocTrack chosen = {1, SingleTrackAdrControl(disc), 1, 0};
    for (uint32_t i = 0; i < n; ++i) {
        if (tracks[i].session == disc->sessions) {
            chosen = tracks[i];
            break;
        }
    }
    r[5] = chosen.adrControl;
    r[6] = chosen.number;
    PutAddress(r + 8, chosen.lba, msf);
    Reply(c, r, kSize, allocation);
}

void ReadTocFull(Command* c, Disc* disc, uint32_t allocation) {
    if (disc->fullToc) {
        Reply(c, disc->fullToc, disc->fullTocSize, allocation);
        return;
    }
    if (disc->medium != kMediumCd) {
        Fail(c, kSenseInvalidField);
        return;
    }
    constexpr uint32_t kDescriptors = 4;
    constexpr uint32_t kSize = kTocHeaderSize + kDescriptors * kTocDescriptorSize;
    uint8_t* r = ReplyBuffer(c, kSize);
    StoreBe16(r, kSize - 2);
    r[2] = 1;
    r[3] = 1;
    Msf leadOut = LbaToMsf(int32_t(disc->totalSectors));
    Msf track1 = LbaToMsf(0);
    const uint8_t points[kDescriptors][4] = {
        {kTocPointFirstTrack, 1, disc->discType, 0},
        {kTocPointLastTrack, 1, 0, 0},
        {kTocPointLeadOut, leadOut.minute, leadOut.second, leadOut.frame},
        {1, track1.minute, track1.second, track1.frame},
    };
    for (uint32_t i = 0; i < kDescriptors; ++i) {
        uint8_t* d = r + kTocHeaderSize + i * kTocDescriptorSize;
        d[kDescSession] = 1;
        d[kDescAdrControl] = SingleTrackAdrControl(disc);
        d[kDescPoint] = points[i][0];
        d[kDescPmin] = points[i][1];
        d[kDescPsec] = points[i][2];
        d[kDescPframe] = points[i][3];
    }
    Reply(c, r, kSize, allocation);
}

void ReadToc(Command* c) {
    if (!CheckReady(c))
        return;
    Disc* disc = c->drive->disc;
    bool msf = c->cdb[1] & 0x02;
    uint8_t format = c->cdb[2] & 0x0F;
    // The older form carries the format in the control byte's top bits (01b session
    // information, 10b full TOC) when the format field is 0.
    uint8_t controlFormat = c->cdb[9] >> 6;
    if (format == 0 && (controlFormat == 1 || controlFormat == 2))
        format = controlFormat;
    uint8_t start = c->cdb[6];
    uint32_t allocation = LoadBe16(c->cdb + 7);
    switch (format) {
    case 0:
        ReadTocFormatted(c, disc, msf, start, allocation);
        break;
    case 1:
        ReadTocSession(c, disc, msf, allocation);
        break;
    case 2:
        ReadTocFull(c, disc, allocation);
        break;
    case 5:
        if (disc->cdText)
            Reply(c, disc->cdText, disc->cdTextSize, allocation);
        else
            Fail(c, kSenseInvalidField);
        break;
    default:
        Fail(c, kSenseInvalidField);
        break;
    }
}

// ---- GET CONFIGURATION ---------------------------------------------------------------------

constexpr uint16_t ProfileOf(uint8_t medium) {
    switch (medium) {
    case kMediumCd:
        return 0x0008;
    case kMediumDvd:
        return 0x0010;
    case kMediumHdDvd:
        return 0x0050;
    case kMediumBd:
        return 0x0040; // BD-ROM: an image is never writable media
    default:
        return 0;
    }
}

constexpr uint16_t kListedProfiles[] = {0x0008, 0x0010, 0x0040, 0x0050};

enum CurrentWhen : uint8_t { kAlways, kAnyMedium, kOnCd, kOnDvd, kOnHdDvd, kOnBd };

struct Feature {
    uint16_t code;
    uint8_t when;
    uint8_t versionByte;
    uint8_t dataLength;
    uint8_t data[28];
};

// Ascending by feature code; the Profile List's data is built separately.
constexpr Feature kFeatures[] = {
    {0x0000, kAlways, 0x02, 0, {}},
    {0x0001, kAlways, 0x02, 4, {0, 0, 0, 0}},
    {0x0002, kAlways, 0x02, 4, {0, 0, 0, 0}},
    {0x0003, kAlways, 0x02, 4, {0x29, 0, 0, 0}},
    {0x0010, kAnyMedium, 0x00, 8, {0, 0, 0x08, 0, 0, 0x10, 0, 0}},
    {0x001E, kOnCd, 0x04, 4, {0x01, 0, 0, 0}},
    {0x001F, kOnDvd, 0x00, 0, {}},
    {0x0040, kOnBd, 0x04, 28, {0, 0, 0, 0, 0, 0x06, 0, 0,    0, 0, 0, 0, 0, 0x02,
                               0, 0, 0, 0, 0, 0,    0, 0x02, 0, 0, 0, 0, 0, 0}},
    {0x0050, kOnHdDvd, 0x00, 4, {0, 0, 0, 0}},
    {0x0100, kAlways, 0x02, 0, {}},           // Power Management
    {0x0105, kAlways, 0x02, 4, {0, 0, 0, 0}}, // Timeout
};

bool FeatureCurrent(uint8_t when, uint8_t medium) {
    switch (when) {
    case kAlways:
        return true;
    case kAnyMedium:
        return medium != kMediumNone;
    case kOnCd:
        return medium == kMediumCd;
    case kOnDvd:
        return medium == kMediumDvd;
    case kOnHdDvd:
        return medium == kMediumHdDvd;
    case kOnBd:
        return medium == kMediumBd;
    default:
        return false;
    }
}

void GetConfiguration(Command* c) {
    uint8_t rt = c->cdb[1] & 0x03;
    if (rt > 2) {
        Fail(c, kSenseInvalidField);
        return;
    }
    uint16_t startFeature = LoadBe16(c->cdb + 2);
    uint32_t allocation = LoadBe16(c->cdb + 7);
    Disc* disc = c->drive->disc;
    uint8_t medium = disc ? disc->medium : uint8_t(kMediumNone);
    uint16_t profile = ProfileOf(medium);
    uint8_t* r = ReplyBuffer(c, kReplyBufferSize);
    uint32_t size = 8;
    for (const Feature& f : kFeatures) {
        bool current = FeatureCurrent(f.when, medium);
        bool listed =
            rt == 2 ? f.code == startFeature : f.code >= startFeature && (rt == 0 || current);
        if (!listed)
            continue;
        uint8_t* d = r + size;
        StoreBe16(d, f.code);
        d[2] = uint8_t(f.versionByte | (current ? 1 : 0));
        if (f.code == 0x0000) {
            uint32_t length = 4 * uint32_t(CountOf(kListedProfiles));
            d[3] = uint8_t(length);
            for (uint32_t i = 0; i < CountOf(kListedProfiles); ++i) {
                StoreBe16(d + 4 + 4 * i, kListedProfiles[i]);
                d[4 + 4 * i + 2] = kListedProfiles[i] == profile ? 1 : 0; // CurrentP
            }
            size += 4 + length;
        } else {
            d[3] = f.dataLength;
            CopyBytes(d + 4, f.data, f.dataLength);
            size += 4 + f.dataLength;
        }
    }
    StoreBe32(r, size - 4);
    StoreBe16(r + 6, profile);
    Reply(c, r, size, allocation);
}

// ---- Events, disc and track information -----------------------------------------------------

void GetEventStatus(Command* c) {
    constexpr uint8_t kPolled = 0x01;
    constexpr uint8_t kMediaClass = 0x10;
    if (c->cdb[1] != kPolled) {
        Fail(c, kSenseInvalidField);
        return;
    }
    uint32_t allocation = LoadBe16(c->cdb + 7);
    DriveContext* drive = c->drive;
    if (!(c->cdb[4] & kMediaClass)) {
        uint8_t* r = ReplyBuffer(c, 4);
        StoreBe16(r, 2);
        r[2] = 0x80; // no event available
        r[3] = kMediaClass;
        Reply(c, r, 4, allocation);
        return;
    }
    constexpr uint8_t kNewMedia = 2;
    constexpr uint8_t kMediaRemoval = 3;
    constexpr uint8_t kStatusPresent = 0x02;
    constexpr uint8_t kStatusTrayOpen = 0x01;
    uint8_t* r = ReplyBuffer(c, 8);
    StoreBe16(r, 6);
    r[2] = 4; // media class
    r[3] = kMediaClass;
    bool present = MediaPresent(drive);
    if (present != (drive->lastMediaPresent != 0)) {
        drive->lastMediaPresent = present ? 1 : 0;
        r[4] = present ? kNewMedia : kMediaRemoval;
    }
    // Reported in every reply: the tray counts as open while a disc change is under way.
    bool trayOpen =
        !(StatusOf(drive) & kStatusLoaded) || (drive->disc && !MediaTimerExpired(drive));
    r[5] = uint8_t((present ? kStatusPresent : 0) | (trayOpen && !present ? kStatusTrayOpen : 0));
    Reply(c, r, 8, allocation);
}

void ReadDiscInformation(Command* c) {
    Disc* disc = c->drive->disc;
    if (!disc || (c->cdb[1] & 0x07) != 0) {
        Fail(c, kSenseInvalidField);
        return;
    }
    constexpr uint32_t kSize = 34;
    uint8_t* r = ReplyBuffer(c, kSize);
    StoreBe16(r, kSize - 2);
    r[2] = 0x0E; // complete disc, complete last session
    r[3] = 1;
    r[4] = disc->sessions;
    TocTrack tracks[kMaxTocTracks];
    uint32_t n = CollectTracks(disc, tracks, kMaxTocTracks);
    uint8_t first = 0xFF;
    uint8_t last = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (tracks[i].session != disc->sessions)
            continue;
        first = Min(first, tracks[i].number);
        last = Max(last, tracks[i].number);
    }
    if (last == 0)
        first = last = 1;
    r[5] = first;
    r[6] = last;
    r[8] = disc->discType; // the A0 point's, XA when Mode 2 data is found
    if (disc->medium == kMediumCd)
        FillBytes(r + 16, 0xFF, 8);
    Reply(c, r, kSize, LoadBe16(c->cdb + 7));
}

uint8_t DataModeOf(const Disc* disc, const TocTrack& t) {
    if (!(t.adrControl & 0x04))
        return 0x0F; // audio carries no data mode
    const TrackEntry* e = nullptr;
    for (uint32_t i = 0; i < disc->trackCount && !e; ++i) {
        if (disc->tracks[i].firstLba <= t.lba && t.lba < disc->tracks[i].endLba)
            e = &disc->tracks[i];
    }
    if (e && e->sectorType >= kSectorMode2Formless)
        return 2;
    return 1;
}

void ReadTrackInformation(Command* c) {
    Disc* disc = c->drive->disc;
    if (!disc) {
        Fail(c, kSenseInvalidField);
        return;
    }
    constexpr uint32_t kSize = 36;
    uint8_t addressType = c->cdb[1] & 0x03;
    uint32_t address = LoadBe32(c->cdb + 2);
    uint8_t* r = ReplyBuffer(c, kSize);
    StoreBe16(r, kSize - 2);
    TocTrack tracks[kMaxTocTracks];
    uint32_t n = CollectTracks(disc, tracks, kMaxTocTracks);
    TocTrack chosen;
    uint32_t size;
    if (n == 0) {
        bool known = (addressType == 0 && address < disc->totalSectors) ||
                     (addressType != 0 && address == 1);
        if (!known) {
            Fail(c, kSenseInvalidField);
            return;
        }
        chosen = {1, SingleTrackAdrControl(disc), 1, 0};
        size = disc->totalSectors;
    } else {
        int32_t found = -1;
        for (uint32_t i = 0; i < n; ++i) {
            const TocTrack& t = tracks[i];
            bool match = addressType == 0
                             ? t.lba <= address && (found < 0 || t.lba >= tracks[found].lba)
                         : addressType == 1 ? t.number == address
                                            : t.session == address && found < 0;
            if (match)
                found = int32_t(i);
        }
        if (found < 0 || addressType > 2 || (addressType == 0 && address >= disc->totalSectors)) {
            Fail(c, kSenseInvalidField);
            return;
        }
        chosen = tracks[found];
        uint32_t end = SessionLeadOut(disc, chosen.session);
        for (uint32_t i = 0; i < n; ++i) {
            if (tracks[i].session == chosen.session && tracks[i].lba > chosen.lba &&
                tracks[i].lba < end)
                end = tracks[i].lba;
        }
        size = end > chosen.lba ? end - chosen.lba : 0;
    }
    r[2] = chosen.number;
    r[3] = chosen.session;
    r[5] = chosen.adrControl & 0x0F;
    r[6] = DataModeOf(disc, chosen);
    StoreBe32(r + 8, chosen.lba);
    if (disc->medium == kMediumDvd)
        StoreBe32(r + 20, 16); // fixed packet size
    StoreBe32(r + 24, size);
    Reply(c, r, kSize, LoadBe16(c->cdb + 7));
}

// ---- Keys, DVD structures, LUNs -------------------------------------------------------------

constexpr uint8_t kKeyFormatRpcState = 8;
constexpr uint8_t kKeyFormatRegion = 6;

void ReportKey(Command* c) {
    if ((c->cdb[10] & 0x3F) != kKeyFormatRpcState) {
        Fail(c, kSenseInvalidField);
        return;
    }
    constexpr uint32_t kSize = 8;
    uint8_t* r = ReplyBuffer(c, kSize);
    StoreBe16(r, kSize - 2);
    r[4] = 0x64; // region set, 4 vendor resets and 4 user changes left
    r[5] = uint8_t(~c->drive->region);
    r[6] = 1; // RPC phase II
    Reply(c, r, kSize, LoadBe16(c->cdb + 8));
}

void SendKey(Command* c) {
    if ((c->cdb[10] & 0x3F) != kKeyFormatRegion) {
        Fail(c, kSenseInvalidField);
        return;
    }
    constexpr uint32_t kParameterSize = 8;
    constexpr uint32_t kRegionOffset = 4;
    uint32_t listLength = LoadBe16(c->cdb + 8);
    if (!c->data || c->length < kParameterSize || listLength < kParameterSize) {
        Fail(c, kSenseInvalidField);
        return;
    }
    uint8_t region = uint8_t(~static_cast<const uint8_t*>(c->data)[kRegionOffset]);
    if (region == 0 || (region & (region - 1)) != 0) {
        Fail(c, kSenseInvalidParameter); // not exactly one playable region
        return;
    }
    c->drive->region = region;
    Succeed(c, 0, true);
}

void ReadDiscStructure(Command* c) {
    Disc* disc = c->drive->disc;
    if (!disc || c->cdb[1] != 0) {
        Fail(c, kSenseInvalidField);
        return;
    }
    if (disc->medium != kMediumDvd && disc->medium != kMediumHdDvd) {
        Fail(c, kSenseIncompatibleFormat); // no DVD structures on this medium
        return;
    }
    uint32_t allocation = LoadBe16(c->cdb + 8);
    uint8_t format = c->cdb[7];
    bool hd = disc->medium == kMediumHdDvd;
    if (format == 0) {
        constexpr uint32_t kSize = 4 + 2048;
        constexpr uint32_t kDataStart = 0x030000;
        uint8_t* r = ReplyBuffer(c, kSize);
        StoreBe16(r, kSize - 2);
        r[4] = hd ? 0x41 : 0x01;
        r[5] = hd ? 0x04 : 0x02;
        uint32_t singleLayerLimit = hd ? 7340032u : 2295104u;
        r[6] = disc->totalSectors > singleLayerLimit ? 0x20 : 0x00;
        StoreBe32(r + 8, kDataStart);
        StoreBe32(r + 12, kDataStart + disc->totalSectors - 1);
        if (disc->layer0Sectors) {
            r[6] = 0x30;
            StoreBe24(r + 17, disc->layer0Sectors + kDataStart - 1);
        }
        Reply(c, r, kSize, allocation);
    } else if (format == 1) {
        constexpr uint32_t kSize = 8;
        uint8_t* r = ReplyBuffer(c, kSize);
        StoreBe16(r, kSize - 2);
        r[5] = disc->regionByte; // set bit: barred region
        Reply(c, r, kSize, allocation);
    } else {
        Fail(c, kSenseInvalidField);
    }
}

void ReportLuns(Command* c) {
    uint32_t allocation = LoadBe32(c->cdb + 6);
    if (allocation < 16) {
        Fail(c, kSenseInvalidOpcode);
        return;
    }
    uint8_t* r = ReplyBuffer(c, 16);
    StoreBe32(r, 8);
    Reply(c, r, 16, allocation);
}

void InvalidOpcode(Command* c) {
    Fail(c, kSenseInvalidOpcode);
}

// ---- Dispatch ---------------------------------------------------------------------------------

using Handler = void (*)(Command*);

struct DispatchTable {
    Handler handlers[256];
};

constexpr DispatchTable BuildDispatch() {
    DispatchTable t = {};
    for (Handler& h : t.handlers)
        h = InvalidOpcode;
    t.handlers[0x00] = TestUnitReady;
    t.handlers[0x03] = RequestSense;
    t.handlers[0x12] = Inquiry;
    t.handlers[0x15] = ModeSelect6;
    t.handlers[0x1A] = ModeSense6;
    t.handlers[0x1B] = StartStopUnit;
    t.handlers[0x1E] = PreventAllow;
    t.handlers[0x25] = ReadCapacity;
    t.handlers[0x28] = Read10;
    t.handlers[0x2B] = Seek10;
    t.handlers[0x42] = ReadSubChannel;
    t.handlers[0x43] = ReadToc;
    t.handlers[0x46] = GetConfiguration;
    t.handlers[0x4A] = GetEventStatus;
    t.handlers[0x51] = ReadDiscInformation;
    t.handlers[0x52] = ReadTrackInformation;
    t.handlers[0x55] = ModeSelect10;
    t.handlers[0x5A] = ModeSense10;
    t.handlers[0xA0] = ReportLuns;
    t.handlers[0xA3] = SendKey;
    t.handlers[0xA4] = ReportKey;
    t.handlers[0xA8] = Read12;
    t.handlers[0xAC] = GetPerformance;
    t.handlers[0xAD] = ReadDiscStructure;
    t.handlers[0xB6] = SetSpeed; // SET STREAMING
    t.handlers[0xBB] = SetSpeed; // SET CD SPEED
    t.handlers[0xBE] = ReadCd;
    return t;
}

constexpr DispatchTable kDispatch = BuildDispatch();

} // namespace

void ExecuteScsi(DriveContext* drive, ScsiRequest* request) {
    // Every CDB is read as 16 bytes; a short one is padded with zeros.
    uint8_t cdb[16] = {};
    CopyBytes(cdb, request->cdb, Min<uint32_t>(request->cdbLength, sizeof(cdb)));
    Command c;
    c.drive = drive;
    c.request = request;
    c.cdb = cdb;
    c.data = static_cast<uint8_t*>(request->data);
    c.length = request->data ? request->transferLength : 0;
    request->senseDelivered = 0;
    kDispatch.handlers[cdb[0]](&c);
}

} // namespace vostrale
