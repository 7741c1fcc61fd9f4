#include "formats/nrg.h"

#include "common/bytes.h"
#include "common/disc.h"
#include "formats/cdtext.h"
#include "formats/disc_codes.h"
#include "formats/image_parsers.h"
#include "formats/layout.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstring>

namespace vostrale {

namespace {

constexpr size_t kFooterSize = 12;
constexpr size_t kChunkHeader = 8;
constexpr size_t kCuePointSize = 8;
constexpr size_t kDaoHeaderSize = 22;
constexpr size_t kDaoMcn = 4;
constexpr size_t kDaoiEntry = 30;
constexpr size_t kDaoxEntry = 42;
constexpr size_t kDaoSectorSize = 12;
constexpr size_t kDaoMode = 14;
constexpr size_t kDaoOffsets = 18;
constexpr size_t kEtnfEntry = 20;
constexpr size_t kEtn2Entry = 32;
constexpr size_t kMaxChunkList = 64u << 20;
constexpr uint8_t kLeadOutTrack = 0xAA;
constexpr int32_t kTaoGap = 150; // run-out and link blocks between track-at-once tracks
constexpr uint32_t kMaxTracks = 99;

constexpr uint32_t kMtypDvd = 0x4 | 0x8 | 0x10 | 0x200;
constexpr uint32_t kMtypBd = 0x100000 | 0x200000 | 0x400000;

uint8_t FromBcd(uint8_t b) {
    return ((b >> 4) <= 9 && (b & 0x0F) <= 9) ? uint8_t((b >> 4) * 10 + (b & 0x0F)) : b;
}

bool IsId(const uint8_t* p, const char* id) {
    return std::memcmp(p, id, 4) == 0;
}

std::vector<NrgCuePoint>& SessionCues(NrgDisc* disc, size_t session) {
    if (disc->sessions.size() <= session)
        disc->sessions.resize(session + 1);
    return disc->sessions[session];
}

bool ReadCues(const uint8_t* p, size_t size, bool cuex, NrgDisc* disc, size_t session) {
    if (size % kCuePointSize != 0)
        return false;
    auto& cues = SessionCues(disc, session);
    for (size_t at = 0; at < size; at += kCuePointSize) {
        const uint8_t* e = p + at;
        NrgCuePoint c;
        c.adrControl = e[0];
        c.track = e[1] == kLeadOutTrack ? kLeadOutTrack : FromBcd(e[1]);
        c.index = FromBcd(e[2]);
        if (cuex) {
            c.lba = int32_t(LoadBe32(e + 4));
        } else {
            c.lba = MsfToLba(FromBcd(e[5]), FromBcd(e[6]), FromBcd(e[7]));
        }
        if (c.track != 0 && c.index != 1)
            continue;
        if (c.track == kLeadOutTrack)
            disc->totalSectors = std::max<int64_t>(disc->totalSectors, c.lba);
        cues.push_back(c);
    }
    return true;
}

bool ReadDao(const uint8_t* p, size_t size, bool daox, NrgDisc* disc, size_t session) {
    const size_t entry = daox ? kDaoxEntry : kDaoiEntry;
    if (size < kDaoHeaderSize || (size - kDaoHeaderSize) % entry != 0)
        return false;
    if (session == 0)
        std::memcpy(disc->mcn, p + kDaoMcn, sizeof(disc->mcn));
    for (size_t at = kDaoHeaderSize; at < size; at += entry) {
        const uint8_t* e = p + at;
        NrgTrack t;
        std::memcpy(t.isrc, e, sizeof(t.isrc));
        t.session = uint32_t(session);
        t.sectorSize = LoadBe16(e + kDaoSectorSize);
        t.mode = e[kDaoMode];
        if (daox) {
            t.index0Offset = LoadBe64(e + kDaoOffsets);
            t.index1Offset = LoadBe64(e + kDaoOffsets + 8);
            t.endOffset = LoadBe64(e + kDaoOffsets + 16);
        } else {
            t.index0Offset = LoadBe32(e + kDaoOffsets);
            t.index1Offset = LoadBe32(e + kDaoOffsets + 4);
            t.endOffset = LoadBe32(e + kDaoOffsets + 8);
        }
        disc->tracks.push_back(t);
    }
    return true;
}

uint32_t TaoSectorSize(uint32_t mode) {
    switch (mode) {
    case 0:
    case 2:
        return 2048;
    case 3:
        return 2336;
    case 5:
    case 6:
    case 7:
        return kCdSectorSize;
    case 15:
    case 16:
    case 17:
        return kCdSectorSize + kSubchannelSize;
    default:
        return 0;
    }
}

// Track-at-once images describe each track by offset, size, mode and a start that leaves out
// the 150-sector gap written before every track after the first.
bool ReadTao(const uint8_t* p, size_t size, bool etn2, NrgDisc* disc, size_t session) {
    const size_t entry = etn2 ? kEtn2Entry : kEtnfEntry;
    if (size % entry != 0 || size == 0)
        return false;
    auto& cues = SessionCues(disc, session);
    if (!cues.empty())
        return false;
    const size_t taoBefore = disc->tracks.size();
    int64_t end = 0;
    for (size_t at = 0; at < size; at += entry) {
        const uint8_t* e = p + at;
        const uint64_t offset = etn2 ? LoadBe64(e) : LoadBe32(e);
        const uint64_t bytes = etn2 ? LoadBe64(e + 8) : LoadBe32(e + 4);
        const size_t tail = etn2 ? 16 : 8;
        const uint32_t mode = LoadBe32(e + tail);
        const int64_t lba = int64_t(LoadBe32(e + tail + 4));
        const uint32_t sectorSize = TaoSectorSize(mode);
        if (sectorSize == 0 || mode > 0xFF || UINT64_MAX - offset < bytes)
            return false;
        const int64_t start = lba + kTaoGap * int64_t(taoBefore + at / entry);
        end = start + int64_t(bytes / sectorSize);
        if (end > INT32_MAX)
            return false;
        const uint8_t control = (mode == 7 || mode == 16) ? 0x01 : 0x41;
        if (cues.empty())
            cues.push_back({control, 0, 0, int32_t(start - kMsfOffset)});
        cues.push_back({control, uint8_t(disc->tracks.size() + 1), 1, int32_t(start)});
        disc->tracks.push_back(
            {uint32_t(session), sectorSize, uint8_t(mode), offset, offset, offset + bytes});
    }
    cues.push_back({cues.front().adrControl, kLeadOutTrack, 1, int32_t(end)});
    disc->totalSectors = std::max(disc->totalSectors, end);
    return true;
}

} // namespace

uint8_t NrgSectorType(uint8_t mode) {
    switch (mode) {
    case 0:
    case 4:
    case 5:
    case 9:
    case 10:
    case 15:
        return kSectorMode1;
    case 1:
    case 2:
    case 3:
    case 6:
    case 11:
    case 17:
        return kSectorMode2Form1;
    case 14:
        return kSectorMode2Form2;
    default:
        return kSectorCdda;
    }
}

bool ParseNrgChunkList(const uint8_t* list, size_t size, NrgDisc* disc, ActivityLog* log) {
    *disc = NrgDisc{};
    size_t session = 0;
    size_t at = 0;
    while (size - at >= kChunkHeader) {
        const uint8_t* id = list + at;
        const uint32_t length = LoadBe32(list + at + 4);
        if (length > size - at - kChunkHeader)
            return false;
        const uint8_t* body = list + at + kChunkHeader;
        at += kChunkHeader + length;
        if (IsId(id, "END!"))
            return true;
        if (IsId(id, "CUES") || IsId(id, "CUEX")) {
            if (!ReadCues(body, length, IsId(id, "CUEX"), disc, session))
                return false;
        } else if (IsId(id, "DAOI") || IsId(id, "DAOX")) {
            if (!ReadDao(body, length, IsId(id, "DAOX"), disc, session))
                return false;
            ++session;
        } else if (IsId(id, "ETNF") || IsId(id, "ETN2")) {
            if (!ReadTao(body, length, IsId(id, "ETN2"), disc, session))
                return false;
            ++session;
        } else if (IsId(id, "CDTX")) {
            if (length % kCdTextPackSize != 0)
                return false;
            disc->cdTextPacks.assign(body, body + length);
            disc->hasCdText = true;
        } else if (IsId(id, "MTYP")) {
            if (length >= 4)
                disc->mediaType = LoadBe32(body);
        } else if (IsId(id, "SINF")) {
            ++disc->sinfCount;
        } else if (IsId(id, "AFNM") || IsId(id, "VOLM")) {
            // Source file names and the volume name are not needed for the layout.
        } else {
            char name[5];
            for (int i = 0; i < 4; ++i)
                name[i] = (id[i] >= 0x20 && id[i] < 0x7F) ? char(id[i]) : '?';
            name[4] = 0;
            LogLine(log, kLogWarning, "Unknown magic: %s", name);
        }
    }
    return at == size;
}

namespace {

struct TocWriter {
    uint8_t* d;
    void Put(uint8_t session, uint8_t adrControl, uint8_t point, Msf at, uint8_t zero, Msf p) {
        d[0] = session;
        d[1] = adrControl;
        d[2] = 0;
        d[3] = point;
        d[4] = at.minute;
        d[5] = at.second;
        d[6] = at.frame;
        d[7] = zero;
        d[8] = p.minute;
        d[9] = p.second;
        d[10] = p.frame;
        d += kTocDescriptorSize;
    }
};

uint8_t Control(const NrgCuePoint& c) {
    return uint8_t(c.adrControl >> 4);
}

bool ValidSessions(const NrgDisc& disc, uint32_t* trackCount) {
    uint32_t tracks = 0;
    for (const auto& cues : disc.sessions) {
        if (cues.size() < 2 || cues.front().track != 0 || cues.back().track != kLeadOutTrack)
            return false;
        for (size_t i = 1; i + 1 < cues.size(); ++i) {
            if (cues[i].track == 0 || cues[i].track == kLeadOutTrack)
                return false;
        }
        tracks += uint32_t(cues.size() - 2);
    }
    *trackCount = tracks;
    return !disc.sessions.empty() && tracks <= kMaxTracks && disc.sessions.size() <= kMaxTracks;
}

uint8_t* BuildToc(const NrgDisc& disc, uint32_t trackCount) {
    const uint32_t sessions = uint32_t(disc.sessions.size());
    const uint32_t count = sessions == 1 ? trackCount + 3 : trackCount + 4 * sessions;
    auto* toc = static_cast<uint8_t*>(AllocLayoutBlock(FullTocSize(count)));
    if (!toc)
        return nullptr;
    StoreBe16(toc, uint16_t(kTocDescriptorSize * count + 2));
    toc[2] = 1;
    toc[3] = uint8_t(sessions);
    TocWriter w{toc + kTocHeaderSize};
    const Msf zero{0, 0, 0};
    uint32_t number = 1;
    for (uint32_t s = 0; s < sessions; ++s) {
        const auto& cues = disc.sessions[s];
        const uint8_t session = uint8_t(s + 1);
        if (s > 0) {
            const auto& previous = disc.sessions[s - 1];
            w.Put(uint8_t(s), uint8_t(0x50 | Control(previous.front())), 0xB0,
                  LbaToMsf(cues.front().lba), 2, LbaToMsf(cues.back().lba));
            if (s == 1)
                w.Put(1, uint8_t(0x50 | Control(disc.sessions[0].front())), 0xC0, zero, 0,
                      Msf{0x5F, 0, 0});
        }
        const uint8_t c = Control(cues.front());
        const uint32_t tracks = uint32_t(cues.size() - 2);
        w.Put(session, uint8_t(0x10 | c), kTocPointFirstTrack, zero, 0,
              Msf{uint8_t(number), uint8_t(s ? 0x20 : 0), 0});
        w.Put(session, uint8_t(0x10 | c), kTocPointLastTrack, zero, 0,
              Msf{uint8_t(number + tracks - 1), 0, 0});
        w.Put(session, uint8_t(0x10 | c), kTocPointLeadOut, zero, 0, LbaToMsf(cues.back().lba));
        for (size_t i = 1; i + 1 < cues.size(); ++i)
            w.Put(session, uint8_t(0x10 | Control(cues[i])), uint8_t(number++), zero, 0,
                  LbaToMsf(cues[i].lba));
    }
    return toc;
}

uint8_t PartsForSize(uint32_t size) {
    if (size == 2336)
        return kPartSubheader | kPartEdcEcc;
    if (size == kUserDataSize)
        return 0;
    return kPartSync | kPartHeader | kPartSubheader | kPartEdcEcc;
}

// Runs of tracks stored back to back with no unstored sectors between them share an entry. A
// track's stored pregap (INDEX 00) is an entry of its own, marked as the pregap, so those
// sectors read from the file and the sub-channel gives them index 0.
NrgBuildResult BuildTrackTable(const NrgDisc& disc, MountRecord* record) {
    struct Placed {
        const NrgTrack* track;
        int64_t first;   // first stored sector: INDEX 00 when the pregap is stored, else 01
        uint64_t offset; // its place in the file
        int64_t index1;
        int64_t end;     // the cue point after the track's INDEX 01
    };
    std::vector<Placed> placed;
    std::vector<size_t> perSession(disc.sessions.size(), 0);
    for (const NrgTrack& t : disc.tracks) {
        if (t.session >= disc.sessions.size())
            return NrgBuildResult::kMalformed;
        const auto& cues = disc.sessions[t.session];
        const size_t k = perSession[t.session]++;
        if (k + 2 >= cues.size()) // every track needs its INDEX 01 cue point
            return NrgBuildResult::kMalformed;
        const int64_t index1 = cues[k + 1].lba;
        const int64_t end = cues[k + 2].lba;
        if (index1 < 0 || end < index1 || t.sectorSize == 0 || t.index1Offset < t.index0Offset ||
            t.endOffset < t.index1Offset)
            return NrgBuildResult::kMalformed;
        // The stored pregap, less any part before LBA 0 (track 1's first 150 sectors).
        const uint64_t pregap =
            std::min<uint64_t>((t.index1Offset - t.index0Offset) / t.sectorSize, uint64_t(index1));
        const int64_t first = index1 - int64_t(pregap);
        if (!placed.empty() && first < placed.back().first)
            return NrgBuildResult::kMalformed;
        placed.push_back({&t, first, t.index1Offset - pregap * t.sectorSize, index1, end});
    }
    if (placed.empty())
        return NrgBuildResult::kOk;

    std::vector<TrackEntry> entries;
    size_t g = 0;
    while (g < placed.size()) {
        size_t last = g;
        while (last + 1 < placed.size()) {
            const NrgTrack& a = *placed[g].track;
            const NrgTrack& next = *placed[last + 1].track;
            const uint64_t storedSectors = (placed[last + 1].offset - placed[g].offset) / a.sectorSize;
            const bool contiguous =
                placed[last + 1].first == placed[last + 1].index1 &&
                placed[last + 1].offset == placed[last].track->endOffset &&
                next.session == a.session && next.sectorSize == a.sectorSize &&
                NrgSectorType(next.mode) == NrgSectorType(a.mode) &&
                placed[last + 1].first - placed[g].first == int64_t(storedSectors);
            if (!contiguous)
                break;
            ++last;
        }
        TrackEntry e{};
        const NrgTrack& head = *placed[g].track;
        e.sectorType = NrgSectorType(head.mode);
        e.bytesPerSector = placed[last].track->sectorSize;
        e.parts = PartsForSize(e.bytesPerSector);
        e.firstLba = uint32_t(placed[g].first);
        e.fileOffset = placed[g].offset;
        if (!entries.empty() && entries.back().endLba > e.firstLba)
            return NrgBuildResult::kMalformed;
        if (entries.empty() && e.firstLba > 0) {
            // Before the first track: its pregap, which this image does not store.
            TrackEntry gap{};
            gap.endLba = e.firstLba;
            gap.flags = kRunPregap;
            entries.push_back(gap);
        }
        const int64_t pregap = placed[g].index1 - placed[g].first;
        if (pregap > 0) {
            TrackEntry stored = e;
            stored.endLba = uint32_t(placed[g].index1);
            stored.flags = kRunPregap;
            entries.push_back(stored);
            e.firstLba = stored.endLba;
            e.fileOffset += uint64_t(pregap) * head.sectorSize;
        }
        // Sectors the file does not hold read as zeros.
        const uint64_t stored = (placed[last].track->endOffset - e.fileOffset) / head.sectorSize;
        e.endLba = uint32_t(std::min<int64_t>(
            placed[last].end, int64_t(e.firstLba) + int64_t(std::min<uint64_t>(stored, INT32_MAX))));
        entries.push_back(e);
        if (last + 1 < placed.size()) {
            TrackEntry gap{};
            gap.firstLba = e.endLba;
            gap.endLba = uint32_t(placed[last + 1].first);
            if (gap.endLba < gap.firstLba)
                return NrgBuildResult::kMalformed;
            if (gap.endLba > gap.firstLba)
                entries.push_back(gap);
        }
        g = last + 1;
    }
    // One run of plain 2352-byte sectors from the start of the file is what the driver assumes
    // without a table.
    if (entries.size() == 1 && entries[0].fileOffset == 0 &&
        entries[0].bytesPerSector == kCdSectorSize)
        return NrgBuildResult::kOk;
    if (entries.size() > 0xFFFF)
        return NrgBuildResult::kMalformed;
    auto* table = static_cast<uint8_t*>(AllocLayoutBlock(TrackTableSize(uint32_t(entries.size()))));
    if (!table)
        return NrgBuildResult::kNoMemory;
    reinterpret_cast<TrackTableHeader*>(table)->count = uint16_t(entries.size());
    std::memcpy(table + sizeof(TrackTableHeader), entries.data(),
                entries.size() * sizeof(TrackEntry));
    record->trackTable = FieldOf(table);
    return NrgBuildResult::kOk;
}

} // namespace

NrgBuildResult BuildNrgLayout(const NrgDisc& disc, MountRecord* record) {
    uint32_t trackCount = 0;
    if (!ValidSessions(disc, &trackCount) || disc.totalSectors <= 0 ||
        disc.totalSectors > INT32_MAX)
        return NrgBuildResult::kMalformed;
    NrgBuildResult result = BuildTrackTable(disc, record);
    if (result != NrgBuildResult::kOk)
        return result;
    uint8_t* toc = BuildToc(disc, trackCount);
    if (!toc)
        return NrgBuildResult::kNoMemory;
    record->fullToc = FieldOf(toc);
    if (disc.hasCdText) {
        uint8_t* text =
            WrapCdTextPacks(disc.cdTextPacks.data(), uint32_t(disc.cdTextPacks.size()), false);
        if (!text)
            return NrgBuildResult::kMalformed;
        record->cdText = FieldOf(text);
    }
    // Catalogue number and ISRCs where the DAO chunks carry them (zeros or blanks: none).
    DiscIdentity codes{};
    SetCatalogue(&codes, disc.mcn, sizeof(disc.mcn));
    for (size_t i = 0; i < disc.tracks.size(); ++i)
        SetIsrc(&codes, uint32_t(i + 1), disc.tracks[i].isrc, sizeof(disc.tracks[i].isrc));
    record->readerKind = kReaderNrg;
    if (!AttachDiscIdentity(record, codes))
        return NrgBuildResult::kNoMemory;
    record->mediumKind = (disc.mediaType & kMtypBd)    ? kMediumBd
                         : (disc.mediaType & kMtypDvd) ? kMediumDvd
                                                       : kMediumCd;
    record->bytesPerSector =
        uint16_t(record->mediumKind == kMediumCd ? kCdSectorSize : kUserDataSize);
    record->readerKind = kReaderNrg;
    record->sessions = uint8_t(disc.sessions.size());
    record->totalSectors = uint32_t(disc.totalSectors);
    return NrgBuildResult::kOk;
}

int OpenNrgImage(MountRecord* record, const std::filesystem::path& path, const ParserIo& io) {
    uint32_t error = 0;
    platform::NativeFile file = platform::OpenForRead(path, &error);
    if (file == 0)
        return kParseFailed;
    record->imageHandle = file;
    uint64_t size = 0;
    uint8_t footer[kFooterSize];
    bool ok = platform::FileSize(file, &size) && size >= kFooterSize &&
              platform::ReadExactlyAt(file, size - kFooterSize, footer, sizeof(footer));
    uint64_t listStart = 0, listEnd = 0;
    if (ok) {
        if (IsId(footer, "NER5")) {
            listStart = LoadBe64(footer + 4);
            listEnd = size - kFooterSize;
        } else if (IsId(footer + 4, "NERO")) {
            listStart = LoadBe32(footer + 8);
            listEnd = size - 8;
        } else {
            ok = false;
        }
        ok = ok && listStart <= listEnd && listEnd - listStart <= kMaxChunkList;
    }
    std::vector<uint8_t> list;
    NrgDisc disc;
    if (ok) {
        list.resize(size_t(listEnd - listStart));
        ok = list.empty() || platform::ReadExactlyAt(file, listStart, list.data(), list.size());
        ok = ok && ParseNrgChunkList(list.data(), list.size(), &disc, io.log);
    }
    if (!ok) {
        ReleaseLayout(record);
        ReportError(io, "Failed to parse .nrg");
        return kParseFailed;
    }
    if (disc.totalSectors <= 0) {
        ReleaseLayout(record);
        ReportError(io, "TotalBlocks is 0");
        return kParseFailed;
    }
    LogLine(io.log, kLogInfo, "MediaType=%d", int(disc.mediaType));
    if (BuildNrgLayout(disc, record) != NrgBuildResult::kOk) {
        ReleaseLayout(record);
        ReportError(io, "Failed to parse .nrg");
        return kParseFailed;
    }
    LogLine(io.log, kLogInfo, "SessionCount=%d", record->sessions);
    LogLine(io.log, kLogInfo, "ImgBlockSize=%d", record->bytesPerSector);
    LogLine(io.log, kLogInfo, "TotalBlocks=%d", int(record->totalSectors));
    return kParseOk;
}

} // namespace vostrale
