#include "formats/mds.h"

#include "common/bytes.h"
#include "common/disc.h"
#include "formats/companion.h"
#include "formats/image_parsers.h"
#include "formats/layout.h"
#include "formats/trace.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace vostrale {

namespace {

constexpr size_t kSignatureSize = 16;
constexpr size_t kMajorAt = 16;
constexpr size_t kMinorAt = 17;
constexpr size_t kMediumAt = 18;
constexpr size_t kSessionCountAt = 20;
constexpr size_t kSessionOffsetAt = 80;
constexpr size_t kHeaderNeed = 84;
constexpr size_t kSessionSize = 24;
constexpr size_t kBlockSize = 80;
constexpr size_t kNameEntrySize = 16;
constexpr size_t kExtraSize = 8;
constexpr uint16_t kFirstDvdFormMedium = 16;
constexpr uint16_t kFirstDvdMedium = 3;
constexpr size_t kMaxDescription = 16u << 20;
constexpr size_t kMaxName = 1024;

bool Fits(size_t size, uint64_t offset, uint64_t count, uint64_t itemSize) {
    return offset <= size && (itemSize == 0 || (size - offset) / itemSize >= count);
}

// The file name text at `offset`: 8-bit or 16-bit characters up to a terminator inside the file.
bool ReadName(const uint8_t* data, size_t size, uint32_t offset, bool wide, MdsDisc* disc) {
    if (offset >= size)
        return false;
    std::u16string wideName;
    std::string narrow;
    size_t at = offset;
    for (;;) {
        if (wide ? size - at < 2 : size - at < 1)
            return false;
        const uint16_t c = wide ? LoadLe16(data + at) : data[at];
        at += wide ? 2 : 1;
        if (c == 0)
            break;
        if (wideName.size() >= kMaxName)
            return false;
        wideName.push_back(char16_t(c));
        narrow.push_back(char(c));
    }
    if (wide) {
        ParserTrace("\t  FileName = %s\n", narrow.c_str());
        try {
            disc->dataName = std::filesystem::path(wideName);
        } catch (...) {
            return false;
        }
    } else {
        ParserTrace("\t  FileName = %s\n", narrow.c_str());
        disc->dataName = platform::PathFromNarrow(narrow);
    }
    return true;
}

} // namespace

bool ParseMdsDescription(const uint8_t* data, size_t size, MdsDisc* disc, ActivityLog* log) {
    *disc = MdsDisc{};
    if (size < kHeaderNeed || std::memcmp(data, "MEDIA DESCRIPTOR", kSignatureSize) != 0) {
        LogLine(log, kLogError, "Invalid signature");
        return false;
    }
    const int major = data[kMajorAt], minor = data[kMinorAt];
    if (major >= 2 || minor >= 6) {
        LogLine(log, kLogError, "Unsupported MDS version: %d.%d", major, minor);
        return false;
    }
    disc->mediumType = LoadLe16(data + kMediumAt);
    LogLine(log, kLogInfo, "MediaType=0x%X", disc->mediumType);
    const bool cdForm = disc->mediumType < kFirstDvdFormMedium;
    const uint32_t sessions = LoadLe16(data + kSessionCountAt);
    const uint32_t sessionOffset = LoadLe32(data + kSessionOffsetAt);
    if (sessions == 0 || sessions > 0xFF || !Fits(size, sessionOffset, sessions, kSessionSize))
        return false;
    for (uint32_t s = 0; s < sessions; ++s) {
        const uint8_t* p = data + sessionOffset + kSessionSize * s;
        MdsSession session;
        session.start = int32_t(LoadLe32(p));
        session.end = int32_t(LoadLe32(p + 4));
        session.number = LoadLe16(p + 8);
        const uint32_t blocks = p[10];
        session.firstTrack = LoadLe16(p + 12);
        session.lastTrack = LoadLe16(p + 14);
        const uint32_t blockOffset = LoadLe32(p + 20);
        LogLine(log, kLogInfo, "Start=0x%X", uint32_t(session.start));
        LogLine(log, kLogInfo, "LeadOut=0x%X", uint32_t(session.end));
        LogLine(log, kLogInfo, "NumberOfTracks=%d", int(blocks));
        LogLine(log, kLogInfo, "FirstTrack=%d", session.firstTrack);
        LogLine(log, kLogInfo, "LastTrack=%d", session.lastTrack);
        if (!Fits(size, blockOffset, blocks, kBlockSize))
            return false;
        for (uint32_t b = 0; b < blocks; ++b) {
            const uint8_t* t = data + blockOffset + kBlockSize * b;
            MdsBlock block{};
            std::memcpy(block.head, t, sizeof(block.head));
            block.zero = t[8];
            std::memcpy(block.pmsf, t + 9, 3);
            block.sectorSize = LoadLe16(t + 16);
            block.startSector = int32_t(LoadLe32(t + 36));
            block.fileOffset = LoadLe64(t + 40);
            const uint32_t files = LoadLe32(t + 48);
            const uint32_t nameOffset = LoadLe32(t + 52);
            LogLine(log, kLogInfo, "  Track=%d", int(b));
            if (cdForm) {
                LogLine(log, kLogInfo, "  FileBlockSize=%d", int(block.sectorSize));
                const uint32_t extra = LoadLe32(t + 12);
                if (extra != 0 && Fits(size, extra, 1, kExtraSize)) {
                    LogLine(log, kLogInfo, "  Indexe00=%d", int(LoadLe32(data + extra)));
                    LogLine(log, kLogInfo, "  Indexe01=%d", int(LoadLe32(data + extra + 4)));
                    // The extra block holds the pregap and the track length in sectors.
                    block.trackLength = LoadLe32(data + extra + 4);
                }
            } else {
                LogLine(log, kLogInfo, "  Start=%d", int(LoadLe32(t + 8)));
                LogLine(log, kLogInfo, "  FileBlockSize=%d", int(block.sectorSize));
            }
            LogLine(log, kLogInfo, "  OffsetLBA=%d", int(block.startSector));
            LogLine(log, kLogInfo, "  Offset=%lld", static_cast<long long>(block.fileOffset));
            LogLine(log, kLogInfo, "  NumberOfFiles=%d", int(files));
            if (files != 0) {
                if (!Fits(size, nameOffset, files, kNameEntrySize))
                    return false;
                for (uint32_t f = 0; f < files && f < 16; ++f) {
                    const uint8_t* e = data + nameOffset + kNameEntrySize * f;
                    const uint32_t flags = LoadLe32(e + 4);
                    ParserTrace("\t  FileFlag = %d\n", int(flags));
                    MdsDisc named;
                    if (!ReadName(data, size, LoadLe32(e), (flags & 0x0F) == 1, &named))
                        return false;
                    if (!disc->hasDataName) {
                        disc->dataName = named.dataName;
                        disc->hasDataName = true;
                    }
                }
            }
            session.blocks.push_back(block);
        }
        disc->sessions.push_back(std::move(session));
    }
    return true;
}

namespace {

bool IsTrackBlock(const MdsBlock& b, bool cdForm) {
    return !cdForm || (b.head[4] >= 1 && b.head[4] <= 99);
}

uint8_t PartsOf(const MdsBlock& b) {
    const uint8_t mode = b.head[0];
    uint8_t parts = 0;
    if (mode & kMdsModeSync)
        parts |= kPartSync;
    if (mode & kMdsModeHeader)
        parts |= kPartHeader;
    if (mode & kMdsModeSubheader)
        parts |= kPartSubheader;
    if (mode & kMdsModeEdcEcc)
        parts |= kPartEdcEcc;
    if (parts == 0 && b.sectorSize >= kCdSectorSize)
        parts = kPartSync | kPartHeader | kPartSubheader | kPartEdcEcc;
    else if (parts == 0 && b.sectorSize == 2336)
        parts = kPartSubheader | kPartEdcEcc;
    return parts;
}

uint8_t* BuildToc(const MdsDisc& disc) {
    uint32_t count = 0;
    for (const MdsSession& s : disc.sessions)
        count += uint32_t(s.blocks.size());
    if (count == 0 || FullTocSize(count) - 2 > 0xFFFF)
        return nullptr;
    auto* toc = static_cast<uint8_t*>(AllocLayoutBlock(FullTocSize(count)));
    if (!toc)
        return nullptr;
    StoreBe16(toc, uint16_t(kTocDescriptorSize * count + 2));
    toc[2] = 1;
    toc[3] = uint8_t(disc.sessions.size());
    uint8_t* d = toc + kTocHeaderSize;
    for (size_t s = 0; s < disc.sessions.size(); ++s) {
        for (const MdsBlock& b : disc.sessions[s].blocks) {
            d[0] = uint8_t(s + 1);
            d[1] = uint8_t((b.head[2] & 0xF0) | (b.head[2] & 0x04));
            d[2] = 0;
            std::memcpy(d + 3, b.head + 4, 4);
            d[7] = b.zero;
            std::memcpy(d + 8, b.pmsf, 3);
            d += kTocDescriptorSize;
        }
    }
    return toc;
}

} // namespace

bool BuildMdsLayout(const MdsDisc& disc, MountRecord* record) {
    const bool cdForm = disc.mediumType < kFirstDvdFormMedium;
    // Each track is mapped from its own start sector and file offset: pregaps are often not
    // stored, so a session cannot be mapped from its first track alone.
    std::vector<TrackEntry> entries;
    for (const MdsSession& session : disc.sessions) {
        std::vector<const MdsBlock*> tracks;
        for (const MdsBlock& b : session.blocks) {
            if (IsTrackBlock(b, cdForm))
                tracks.push_back(&b);
        }
        for (size_t i = 0; i < tracks.size(); ++i) {
            const MdsBlock& b = *tracks[i];
            int64_t end = i + 1 < tracks.size() ? tracks[i + 1]->startSector : session.end;
            if (b.trackLength != 0)
                end = std::min<int64_t>(end, int64_t(b.startSector) + b.trackLength);
            if (b.startSector < 0 || end < b.startSector || b.sectorSize == 0)
                return false;
            TrackEntry e{};
            const uint8_t type = b.head[0] & 0x07;
            e.sectorType = type <= kSectorMode2Form2 ? type : uint8_t(kSectorUnknown);
            e.parts = PartsOf(b);
            e.firstLba = uint32_t(b.startSector);
            e.endLba = uint32_t(end);
            e.bytesPerSector = b.sectorSize;
            e.fileOffset = b.fileOffset;
            if (!entries.empty()) {
                if (entries.back().endLba > e.firstLba)
                    return false;
                if (entries.back().endLba < e.firstLba) {
                    TrackEntry gap{};
                    gap.firstLba = entries.back().endLba;
                    gap.endLba = e.firstLba;
                    entries.push_back(gap);
                }
            }
            entries.push_back(e);
        }
    }
    const int32_t total = disc.sessions.back().end;
    if (entries.empty() || entries.size() > 0xFFFF || total <= 0 ||
        uint32_t(total) < entries.back().endLba)
        return false;
    auto* table = static_cast<uint8_t*>(AllocLayoutBlock(TrackTableSize(uint32_t(entries.size()))));
    if (!table)
        return false;
    reinterpret_cast<TrackTableHeader*>(table)->count = uint16_t(entries.size());
    std::memcpy(table + sizeof(TrackTableHeader), entries.data(),
                entries.size() * sizeof(TrackEntry));
    record->trackTable = FieldOf(table);

    const bool cd = disc.mediumType < kFirstDvdMedium;
    const bool singleBlock = disc.sessions.size() == 1 && disc.sessions[0].blocks.size() == 1;
    if (cd && !singleBlock) {
        uint8_t* toc = BuildToc(disc);
        if (!toc)
            return false;
        record->fullToc = FieldOf(toc);
    }
    record->bytesPerSector = uint16_t(cd ? kCdSectorSize : kUserDataSize);
    record->mediumKind = cd ? kMediumCd : kMediumDvd;
    record->readerKind = kReaderMds;
    record->sessions = uint8_t(disc.sessions.size());
    record->totalSectors = uint32_t(total);
    return true;
}

int OpenMdsImage(MountRecord* record, const std::filesystem::path& path, const ParserIo& io) {
    uint32_t error = 0;
    platform::NativeFile file = platform::OpenForRead(path, &error);
    if (file == 0)
        return kParseFailed;
    uint64_t size = 0;
    std::vector<uint8_t> data;
    bool read = platform::FileSize(file, &size) && size <= kMaxDescription;
    if (read) {
        data.resize(size_t(size));
        read = platform::ReadExactlyAt(file, 0, data.data(), data.size());
    }
    platform::CloseFile(file);
    if (!read)
        return kParseFailed;
    MdsDisc disc;
    if (!ParseMdsDescription(data.data(), data.size(), &disc, io.log)) {
        ReportError(io, "Failed to parse .mds");
        return kParseFailed;
    }
    if (!disc.hasDataName) {
        ReportError(io, "no .mdf file found");
        return kParseFailed;
    }
    std::filesystem::path dataPath;
    const std::string name = platform::NarrowPath(disc.dataName);
    if (!name.empty() && name[0] == '*') {
        const std::string description = platform::NarrowPath(path);
        const size_t slash = description.find_last_of("/\\");
        const size_t dot = description.rfind('.');
        if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
            ReportError(io, "Invalid mdf file: %s", description.c_str());
            return kParseFailed;
        }
        dataPath = platform::PathFromNarrow(description.substr(0, dot) + name.substr(1));
    } else {
        dataPath = JoinDescribedName(path.parent_path(), name);
    }
    record->imageHandle = OpenCompanion(dataPath, &error);
    if (record->imageHandle == 0) {
        ReportError(io, "Open mdf file:%s failure, ErrorCode=%d",
                    platform::NarrowPath(dataPath).c_str(), int(error));
        return kParseFailed;
    }
    if (!BuildMdsLayout(disc, record)) {
        ReleaseLayout(record);
        ReportError(io, "Failed to parse .mds");
        return kParseFailed;
    }
    LogLine(io.log, kLogInfo, "SessionCount=%d", record->sessions);
    LogLine(io.log, kLogInfo, "ImgBlockSize=%d", record->bytesPerSector);
    LogLine(io.log, kLogInfo, "TotalBlocks=%d", int(record->totalSectors));
    return kParseOk;
}

} // namespace vostrale
