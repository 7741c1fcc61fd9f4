// Positions on the disc by its TOC, and the P and Q sub-channel synthesised from them.
#include "driver/core/toc_position.h"

#include "common/bytes.h"
#include "common/crc.h"
#include "common/disc.h"
#include "driver/core/reader_kinds.h"

namespace vostrale {
namespace {

constexpr uint8_t kDiscTypeXa = 0x20;
constexpr uint8_t kControlData = 0x04;

// Q frames: ADR 1 (position) most of the time; one frame in 100 carries the catalogue number,
// another the track's ISRC, as a disc carries them at least once in 100 frames.
constexpr uint8_t kQAdrPosition = 1;
constexpr uint8_t kQAdrCatalogue = 2;
constexpr uint8_t kQAdrIsrc = 3;
constexpr uint32_t kQCodePeriod = 100;
constexpr uint32_t kQCatalogueSlot = 50;
constexpr uint32_t kQIsrcSlot = 80;
constexpr uint32_t kQDataSize = 10;
constexpr uint32_t kQSize = 12;

uint32_t DescriptorLba(const uint8_t* d) {
    return uint32_t(MsfToLba(d[kDescPmin], d[kDescPsec], d[kDescPframe]));
}

bool IsTrackDescriptor(const uint8_t* d) {
    return (d[kDescAdrControl] >> 4) == 1 && d[kDescPoint] >= 1 && d[kDescPoint] <= 99;
}

uint8_t Bcd(uint32_t v) {
    return uint8_t(((v / 10) % 10) << 4 | (v % 10));
}

// Frames as BCD minute, second, frame; values past 99:59:74 stay there.
void PutBcdMsf(uint8_t* p, uint32_t frames) {
    constexpr uint32_t kLargest = 100 * 4500 - 1;
    frames = Min(frames, kLargest);
    p[0] = Bcd(frames / 4500);
    p[1] = Bcd((frames / 75) % 60);
    p[2] = Bcd(frames % 75);
}

// ISRC characters as the Q channel codes them: '0'-'9' 0x00-0x09, 'A'-'Z' 0x11-0x2A.
uint8_t IsrcCharCode(char c) {
    if (c >= '0' && c <= '9')
        return uint8_t(c - '0');
    return uint8_t(c - 'A' + 0x11);
}

void PutQCrc(uint8_t* q) {
    uint16_t crc = uint16_t(~Crc16Xmodem(q, kQDataSize));
    StoreBe16(q + kQDataSize, crc);
}

// Calls `f` with each track of the disc: the TOC's track descriptors in block order, or the
// one track of a disc sent without a full TOC. Walked in place, without a copy of the tracks,
// so the driver's stack frames stay small.
template <typename F> void ForEachTrack(const Disc* disc, F f) {
    uint32_t count = TocDescriptorCount(disc);
    bool any = false;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* d = TocDescriptorAt(disc, i);
        if (!IsTrackDescriptor(d))
            continue;
        any = true;
        f(TocTrack{d[kDescSession], d[kDescAdrControl], d[kDescPoint], DescriptorLba(d)});
    }
    if (!any)
        f(TocTrack{1, SingleTrackAdrControl(disc), 1, 0});
}

// Whether the stored sector at `lba` of a raw run is a Mode 2 sector.
bool StoredSectorIsMode2(Disc* disc, uint32_t lba) {
    uint8_t* sector = disc->scratch;
    if (disc->reader == kReaderIsz) {
        if (disc->bytesPerSector != kCdSectorSize ||
            ReadIszSectors(disc, sector, 1, lba).status != kReadOk)
            return false;
    } else {
        const TrackEntry* e = FindRun(disc, lba);
        if (!e || e->bytesPerSector < kCdSectorSize)
            return false;
        uint64_t offset = e->fileOffset + uint64_t(lba - e->firstLba) * e->bytesPerSector;
        if (ps::FileRead(disc->main, offset, sector, kCdSectorSize) != kCdSectorSize)
            return false;
        UnscrambleIfNeeded(disc, sector);
    }
    uint8_t type = SectorTypeOf(sector);
    return type == kSectorMode2Form1 || type == kSectorMode2Form2;
}

bool TrackIsMode2(Disc* disc, const TocTrack& t) {
    if (!(t.adrControl & kControlData))
        return false;
    const TrackEntry* e = FindRun(disc, t.lba);
    if (e && e->sectorType >= kSectorMode2Formless && e->sectorType <= kSectorMode2Form2)
        return true;
    if (e && e->sectorType != kSectorUnknown)
        return false;
    return StoredSectorIsMode2(disc, t.lba);
}

} // namespace

const uint8_t* TocDescriptorAt(const Disc* disc, uint32_t i) {
    return disc->fullToc + kTocHeaderSize + i * kTocDescriptorSize;
}

uint32_t TocDescriptorCount(const Disc* disc) {
    if (!disc || !disc->fullToc)
        return 0;
    int32_t n = FullTocDescriptorCount(disc->fullToc, disc->fullTocSize);
    return n > 0 ? uint32_t(n) : 0;
}

uint32_t CollectTracks(const Disc* disc, TocTrack* out, uint32_t capacity) {
    uint32_t n = 0;
    uint32_t count = TocDescriptorCount(disc);
    for (uint32_t i = 0; i < count && n < capacity; ++i) {
        const uint8_t* d = TocDescriptorAt(disc, i);
        if (!IsTrackDescriptor(d))
            continue;
        out[n].session = d[kDescSession];
        out[n].adrControl = d[kDescAdrControl];
        out[n].number = d[kDescPoint];
        out[n].lba = DescriptorLba(d);
        ++n;
    }
    return n;
}

uint8_t SingleTrackAdrControl(const Disc* disc) {
    if (disc->reader == kReaderFlac || disc->reader == kReaderApe || disc->reader == kReaderWav)
        return kAdrControlAudio;
    if (disc->trackCount && disc->tracks[0].firstLba == 0 &&
        disc->tracks[0].sectorType == kSectorCdda)
        return kAdrControlAudio;
    return kAdrControlData;
}

bool TrackNumbered(const Disc* disc, uint8_t number, TocTrack* track) {
    bool found = false;
    ForEachTrack(disc, [&](const TocTrack& t) {
        if (!found && t.number == number) {
            *track = t;
            found = true;
        }
    });
    return found;
}

uint32_t SessionLeadOut(const Disc* disc, uint8_t session) {
    uint32_t count = TocDescriptorCount(disc);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* d = TocDescriptorAt(disc, i);
        if (d[kDescSession] == session && d[kDescPoint] == kTocPointLeadOut)
            return DescriptorLba(d);
    }
    return disc->totalSectors;
}

bool InSessionGap(const Disc* disc, uint32_t lba) {
    if (disc->sessions < 2)
        return false;
    for (uint8_t session = 1; session < disc->sessions; ++session) {
        uint32_t leadOut = SessionLeadOut(disc, session);
        // The next session starts at its lowest track.
        bool found = false;
        uint32_t next = 0;
        ForEachTrack(disc, [&](const TocTrack& t) {
            if (t.session == session + 1 && (!found || t.lba < next)) {
                next = t.lba;
                found = true;
            }
        });
        if (found && lba >= leadOut && lba < next)
            return true;
    }
    return false;
}

TocPosition PositionOf(const Disc* disc, uint32_t lba) {
    bool haveCurrent = false;
    bool haveNext = false;
    TocTrack current = {};
    TocTrack next = {};
    TocTrack first = {};
    bool haveFirst = false;
    ForEachTrack(disc, [&](const TocTrack& t) {
        if (!haveFirst) {
            first = t;
            haveFirst = true;
        }
        if (t.lba <= lba) {
            if (!haveCurrent || t.lba >= current.lba)
                current = t;
            haveCurrent = true;
        } else if (!haveNext || t.lba < next.lba) {
            next = t;
            haveNext = true;
        }
    });
    TocPosition p;
    // Before the first track, in a run the image marks as a pregap, and in sectors no file
    // stores right before a track (a pregap the image leaves out), the address is the next
    // track's pregap.
    // Sectors no file stores count only inside a session: between sessions they are the gap,
    // while a run the image marks as a pregap is one in any session.
    bool pregap = !haveCurrent;
    if (haveCurrent && haveNext) {
        const TrackEntry* e = disc->trackCount ? FindRun(disc, lba) : nullptr;
        const bool unstored = e && e->bytesPerSector == 0 && next.session == current.session;
        pregap = e && e->endLba == next.lba && ((e->flags & kRunPregap) || unstored);
        // Unstored sectors right before a stored pregap (a CUE PREGAP with an INDEX 00).
        if (unstored && e->endLba < next.lba) {
            const TrackEntry* after = FindRun(disc, e->endLba);
            pregap = after && (after->flags & kRunPregap) && after->endLba == next.lba;
        }
    }
    if (pregap && haveNext) {
        p.track = next;
        p.index = 0;
        p.relative = int32_t(lba) - int32_t(next.lba);
        return p;
    }
    p.track = haveCurrent ? current : first;
    p.index = 1;
    p.relative = int32_t(lba) - int32_t(p.track.lba);
    return p;
}

uint8_t DetectDiscType(Disc* disc) {
    bool xa = false;
    ForEachTrack(disc, [&](const TocTrack& t) { xa = xa || TrackIsMode2(disc, t); });
    if (xa)
        return kDiscTypeXa;
    uint32_t count = TocDescriptorCount(disc);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* d = TocDescriptorAt(disc, i);
        if (d[kDescPoint] == kTocPointFirstTrack)
            return d[kDescPsec];
    }
    return 0;
}

namespace {

void BuildQ(const Disc* disc, uint32_t lba, const TocPosition& p, bool positionOnly, uint8_t* q) {
    ZeroBytes(q, kQSize);
    uint8_t control = p.track.adrControl & 0x0F;
    uint32_t absolute = lba + uint32_t(kMsfOffset);
    uint32_t slot = lba % kQCodePeriod;
    const char* isrc = disc->isrc[p.track.number < 100 ? p.track.number : 0];
    if (!positionOnly && slot == kQCatalogueSlot && disc->mcn[0]) {
        // 13 BCD digits, 12 zero bits, then the absolute frame.
        q[0] = uint8_t(control << 4 | kQAdrCatalogue);
        for (uint32_t i = 0; i < sizeof(disc->mcn); ++i) {
            uint8_t digit = uint8_t(disc->mcn[i] - '0');
            q[1 + i / 2] |= uint8_t(i % 2 == 0 ? digit << 4 : digit);
        }
        q[9] = Bcd(absolute % 75);
    } else if (!positionOnly && slot == kQIsrcSlot && p.index != 0 && isrc[0]) {
        // Five 6-bit characters and 2 zero bits, seven BCD digits and 4 zero bits, the frame.
        q[0] = uint8_t(control << 4 | kQAdrIsrc);
        uint32_t bits = 0;
        for (uint32_t i = 0; i < 5; ++i)
            bits = (bits << 6) | (IsrcCharCode(isrc[i]) & 0x3F);
        StoreBe32(q + 1, bits << 2);
        for (uint32_t i = 0; i < 7; ++i) {
            uint8_t digit = uint8_t(isrc[5 + i] - '0');
            q[5 + i / 2] |= uint8_t(i % 2 == 0 ? digit << 4 : digit);
        }
        q[9] = Bcd(absolute % 75);
    } else {
        q[0] = uint8_t(control << 4 | kQAdrPosition);
        q[1] = Bcd(p.track.number);
        q[2] = Bcd(p.index);
        // In a pregap the track time counts down to 0 at its last sector.
        uint32_t relative = p.relative >= 0 ? uint32_t(p.relative) : uint32_t(-p.relative - 1);
        PutBcdMsf(q + 3, relative);
        PutBcdMsf(q + 7, absolute);
    }
    PutQCrc(q);
}

} // namespace

void SynthesiseQ(const Disc* disc, uint32_t lba, bool positionOnly, uint8_t* q12) {
    BuildQ(disc, lba, PositionOf(disc, lba), positionOnly, q12);
}

void SynthesiseSubchannel(const Disc* disc, uint32_t lba, uint8_t* linear96) {
    constexpr uint32_t kChannel = kSubchannelSize / 8;
    ZeroBytes(linear96, kSubchannelSize);
    TocPosition p = PositionOf(disc, lba);
    BuildQ(disc, lba, p, false, linear96 + kChannel);
    if (p.index == 0)
        FillBytes(linear96, 0xFF, kChannel); // P: pause before a track
}

} // namespace vostrale
