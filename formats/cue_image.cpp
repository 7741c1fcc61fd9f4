// Mounting a CUE sheet. One BINARY file becomes a track table (and a TOC); one WAVE file is
// handed to its audio source and gets an audio TOC; a sheet of several files (or gaps that
// no file stores around one WAVE file) becomes a multi-file disc whose runs name their files.
// Every kind gets CD-Text from the sheet's titles, and its catalogue number and ISRCs.
#include "common/bytes.h"
#include "common/disc.h"
#include "formats/audio_source.h"
#include "formats/cdtext.h"
#include "formats/companion.h"
#include "formats/cue.h"
#include "formats/cue_layout.h"
#include "formats/image_parsers.h"
#include "formats/layout.h"
#include "formats/probe.h"
#include "formats/wav.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace vostrale {

namespace {

constexpr size_t kMaxSheetBytes = 4u << 20; // far beyond any real sheet; bounds the read
constexpr size_t kMaxDataPath = 259;
constexpr uint32_t kAudioHeadBytes = 44;
constexpr uint32_t kId3HeaderSize = 10;
constexpr uint16_t kWavePcm = 1;
constexpr uint16_t kWaveExtensible = 0xFFFE;
constexpr uint8_t kDiscTypeCdRom = 0x00;
constexpr uint8_t kDiscTypeCdi = 0x10;
constexpr uint8_t kDiscTypeXa = 0x20;
#ifdef _WIN32
constexpr uint32_t kNameTooLong = 206; // ERROR_FILENAME_EXCED_RANGE
#else
constexpr uint32_t kNameTooLong = ENAMETOOLONG;
#endif

bool ReadWholeFile(const std::filesystem::path& path, size_t limit, std::vector<char>* out) {
    uint32_t error = 0;
    platform::NativeFile file = platform::OpenForRead(path, &error);
    if (file == 0)
        return false;
    uint64_t size = 0;
    bool ok = platform::FileSize(file, &size) && size <= limit;
    if (ok) {
        out->resize(size_t(size));
        ok = size == 0 || platform::ReadExactlyAt(file, 0, out->data(), size_t(size));
    }
    platform::CloseFile(file);
    return ok;
}

std::vector<uint32_t> TrackStarts(const CueSheet& sheet) {
    std::vector<uint32_t> starts;
    for (const CueTrack& t : sheet.tracks)
        starts.push_back(t.index01);
    return starts;
}

// Audio files may carry an ID3v2 tag in front of their own signature.
uint64_t SkipId3(platform::NativeFile file, const uint8_t* head) {
    if (std::memcmp(head, "ID3", 3) != 0)
        return 0;
    uint32_t size = (uint32_t(head[6] & 0x7F) << 21) | (uint32_t(head[7] & 0x7F) << 14) |
                    (uint32_t(head[8] & 0x7F) << 7) | uint32_t(head[9] & 0x7F);
    return kId3HeaderSize + size;
}

int OpenWav(MountRecord* record, const std::string& dataPath, const ParserIo& io) {
    uint64_t size = 0;
    platform::FileSize(record->imageHandle, &size);
    WavInfo wav;
    WavResult r = ReadWavInfo(record->imageHandle, size, &wav);
    if (r == WavResult::kNotWave)
        return kParseFailed;
    if (r == WavResult::kIncomplete) {
        ReportError(io, "Invalid WAV file: no fmt or data chunk: %s", dataPath.c_str());
        return kParseFailed;
    }
    if ((wav.formatTag != kWavePcm && wav.formatTag != kWaveExtensible) || wav.channels != 2 ||
        wav.sampleRate != 44100 || wav.bitsPerSample != 16) {
        ReportError(io, "Unsupported format: channels=%d samplerate=%d bps=%d", wav.channels,
                    int(wav.sampleRate), wav.bitsPerSample);
        return kParseFailed;
    }
    record->totalSectors = uint32_t(std::min<uint64_t>(wav.dataSize / kCdSectorSize, UINT32_MAX));
    record->readerKind = kReaderWav;
    // The driver reads samples from here; a RIFF file's header is not always 44 bytes.
    record->param84 = uint32_t(wav.dataOffset);
    return kParseOk;
}

// Reads the audio file's stream parameters into `record` (reader kind 7, 8 or 9, the disc
// length, the source's fields).
int OpenAudioFile(MountRecord* record, const std::filesystem::path& data,
                  const std::string& dataPath, const ParserIo& io) {
    uint8_t head[kAudioHeadBytes];
    size_t got = 0;
    platform::ReadAt(record->imageHandle, 0, head, sizeof(head), &got);
    if (got < sizeof(head)) {
        ReportError(io, "Read file error (%d,%d), errorcode=%d", int(got), int(kAudioHeadBytes), 0);
        return kParseFailed;
    }
    uint8_t magic[4];
    std::memcpy(magic, head, 4);
    if (uint64_t skip = SkipId3(record->imageHandle, head)) {
        if (!platform::ReadExactlyAt(record->imageHandle, skip, magic, 4))
            std::memset(magic, 0, 4);
        if (std::memcmp(magic, "fLaC", 4) != 0 && std::memcmp(magic, "MAC ", 4) != 0)
            std::memcpy(magic, head, 4);
    }
    int result;
    if (std::memcmp(magic, "fLaC", 4) == 0) {
        LogLine(io.log, kLogInfo, "Open flac: %s", dataPath.c_str());
        result = OpenFlacSource(record->imageHandle, record, data, io);
        if (result == kParseOk)
            record->totalSectors = uint32_t(std::min<uint64_t>(
                AudioSourceTotalSamples(*record) / kSamplesPerSector, UINT32_MAX));
    } else if (std::memcmp(magic, "MAC ", 4) == 0) {
        LogLine(io.log, kLogInfo, "Open ape: %s", dataPath.c_str());
        result = OpenApeSource(record->imageHandle, record, data, io);
        if (result == kParseOk)
            record->totalSectors = uint32_t(std::min<uint64_t>(
                AudioSourceTotalSamples(*record) / kSamplesPerSector, UINT32_MAX));
    } else if (std::memcmp(magic, "RIFF", 4) == 0) {
        LogLine(io.log, kLogInfo, "Open wav: %s", dataPath.c_str());
        result = OpenWav(record, dataPath, io);
    } else {
        ReportError(io, "Unknown format, file signature=%08X", LoadLe32(head));
        return kParseFailed;
    }
    return result;
}

// The sheet's FLAGS in a built TOC: A0 carries the first track's control, A1 and the lead-out
// the last track's, each track its own.
void SetTocControls(uint8_t* toc, const CuePlan& plan) {
    const uint32_t count = uint32_t(plan.tracks.size());
    uint8_t* d = toc + kTocHeaderSize;
    d[1] = plan.tracks.front().adrControl;
    d[kTocDescriptorSize + 1] = plan.tracks.back().adrControl;
    d[2 * kTocDescriptorSize + 1] = plan.tracks.back().adrControl;
    for (uint32_t k = 0; k < count; ++k)
        d[(3 + k) * kTocDescriptorSize + 1] = plan.tracks[k].adrControl;
}

bool SheetHasText(const CueSheet& sheet) {
    if (!sheet.title.empty() || !sheet.performer.empty())
        return true;
    for (const CueTrack& t : sheet.tracks) {
        if (!t.title.empty() || !t.performer.empty())
            return true;
    }
    return false;
}

bool AttachCdText(MountRecord* record, const CueSheet& sheet) {
    CdTextStrings album{sheet.title, sheet.performer};
    std::vector<CdTextStrings> tracks;
    for (const CueTrack& t : sheet.tracks)
        tracks.push_back({t.title, t.performer});
    uint32_t cdTextSize = 0;
    uint8_t* cdText = BuildCdTextBlock(album, tracks, &cdTextSize);
    if (!cdText)
        return false;
    record->cdText = FieldOf(cdText);
    return true;
}

// CATALOG and ISRC lines travel to the drive in their own block.
bool AttachIdentity(MountRecord* record, const CueSheet& sheet) {
    bool any = !sheet.catalog.empty();
    for (const CueTrack& t : sheet.tracks)
        any = any || !t.isrc.empty();
    if (!any)
        return true;
    auto* identity = static_cast<DiscIdentity*>(AllocLayoutBlock(sizeof(DiscIdentity)));
    if (!identity)
        return false;
    if (sheet.catalog.size() == sizeof(identity->mcn))
        std::memcpy(identity->mcn, sheet.catalog.data(), sizeof(identity->mcn));
    for (size_t k = 0; k < sheet.tracks.size() && k < kCueMaxTracks; ++k) {
        const std::string& isrc = sheet.tracks[k].isrc;
        if (isrc.size() == sizeof(identity->isrc[k]))
            std::memcpy(identity->isrc[k], isrc.data(), sizeof(identity->isrc[k]));
    }
    record->discIdentity = FieldOf(identity);
    return true;
}

constexpr uint8_t kRawParts = kPartSync | kPartHeader | kPartSubheader | kPartEdcEcc;
constexpr uint8_t kRawMode1Parts = kPartSync | kPartHeader | kPartEdcEcc;
constexpr uint8_t kFormlessParts = kPartSubheader | kPartEdcEcc;
// The last address whose MSF fits a TOC entry (99:59:74).
constexpr uint64_t kMaxCdSectors = 99 * 4500 + 59 * 75 + 74 - 150;

uint8_t PartsOf(uint32_t mode) {
    switch (mode) {
    case kCueModeMode1_2352:
        return kRawMode1Parts;
    case kCueModeMode2_2352:
    case kCueModeCdi_2352:
        return kRawParts;
    case kCueModeMode2_2336:
    case kCueModeCdi_2336:
        return kFormlessParts;
    default:
        return 0; // audio, and MODE1/2048 user data
    }
}

uint8_t DiscTypeOf(uint32_t mode) {
    switch (mode) {
    case kCueModeMode2_2352:
    case kCueModeMode2_2336:
        return kDiscTypeXa;
    case kCueModeCdi_2352:
    case kCueModeCdi_2336:
        return kDiscTypeCdi;
    default:
        return kDiscTypeCdRom;
    }
}

// One opened FILE of the sheet and how the driver reaches its sectors.
struct SheetFile {
    platform::NativeFile handle = 0;
    uint8_t kind = kDiscFileRaw;
    uint64_t dataOffset = 0; // WAV: the first sample byte
    MountRecord source{};    // FLAC/APE: what the audio source filled (owns the seek table)
    uint32_t wireIndex = 0;
};

// Sector type of a run's stored sectors, read from the first one as the single-file sheet
// always has: raw sectors by their own header, 2336-byte ones by their subheader.
uint8_t StoredSectorType(platform::NativeFile file, uint32_t mode, uint64_t offset) {
    if (CueModeIsAudio(mode))
        return kSectorCdda;
    if (mode == kCueModeMode1_2048)
        return kSectorMode1;
    uint8_t first[32] = {};
    if (CueModeStride(mode) == kCdSectorSize) {
        if (platform::ReadExactlyAt(file, offset, first, sizeof(first)))
            return SectorTypeOf(first);
    } else if (platform::ReadExactlyAt(file, offset, first, 8)) {
        return Mode2TypeOfSubheader(first);
    }
    return kSectorUnknown;
}

// Sectors no file stores still have the track's layout: a data gap reads as sectors of the
// track's type, an audio gap as silence.
uint8_t GapSectorType(uint32_t mode, uint8_t storedType) {
    if (CueModeIsAudio(mode))
        return kSectorCdda;
    if (storedType >= kSectorMode1 && storedType <= kSectorMode2Form2)
        return storedType;
    return mode == kCueModeMode1_2048 || mode == kCueModeMode1_2352 ? kSectorMode1
                                                                    : kSectorMode2Form1;
}

// The track table of a planned disc; `files` by the sheet's file index. Runs that continue one
// another in the same file with the same layout are joined, so an audio-only file stays one run.
bool AttachTrackTable(MountRecord* record, const CuePlan& plan, const std::vector<SheetFile>& files) {
    std::vector<TrackEntry> entries;
    std::vector<uint8_t> storedTypes(plan.tracks.size(), kSectorUnknown);
    for (const CueRun& r : plan.runs) {
        // The track's own type is that of its INDEX 01 sector (where its run after the stored
        // pregap starts), not of a pregap before it.
        if (r.file != kCueNoFile && !r.pregap && storedTypes[r.track] == kSectorUnknown) {
            const SheetFile& f = files[r.file];
            const uint64_t offset = f.dataOffset + r.offset;
            storedTypes[r.track] = f.kind == kDiscFileRaw
                                       ? StoredSectorType(f.handle, r.mode, offset)
                                       : uint8_t(kSectorCdda);
        }
    }
    for (const CueRun& r : plan.runs) {
        TrackEntry e{};
        e.firstLba = r.firstLba;
        e.endLba = r.firstLba + r.sectors;
        if (r.file == kCueNoFile) {
            e.sectorType = GapSectorType(r.mode, storedTypes[r.track]);
        } else {
            const SheetFile& f = files[r.file];
            e.sectorType = storedTypes[r.track];
            e.parts = PartsOf(r.mode);
            e.fileIndex = uint8_t(f.wireIndex);
            e.bytesPerSector = r.stride;
            e.fileOffset = f.dataOffset + r.offset;
            // A stored INDEX 00 span is a run of its own, so the sub-channel gives it index 0.
            e.flags = r.pregap ? uint8_t(kRunPregap) : uint8_t(0);
        }
        if (!entries.empty()) {
            TrackEntry& p = entries.back();
            bool joins = p.endLba == e.firstLba && p.sectorType == e.sectorType &&
                         p.sectorType == kSectorCdda && p.parts == e.parts && p.flags == e.flags &&
                         p.fileIndex == e.fileIndex && p.bytesPerSector == e.bytesPerSector &&
                         (e.bytesPerSector == 0 ||
                          p.fileOffset + uint64_t(p.endLba - p.firstLba) * p.bytesPerSector ==
                              e.fileOffset);
            if (joins) {
                p.endLba = e.endLba;
                continue;
            }
        }
        entries.push_back(e);
    }
    auto* table = static_cast<uint8_t*>(AllocLayoutBlock(TrackTableSize(uint32_t(entries.size()))));
    if (!table)
        return false;
    record->trackTable = FieldOf(table);
    reinterpret_cast<TrackTableHeader*>(table)->count = uint16_t(entries.size());
    std::memcpy(table + sizeof(TrackTableHeader), entries.data(), entries.size() * sizeof(TrackEntry));
    return true;
}

// A disc of several sessions: each session's tracks, lead-out and disc type, and the points
// that tie the sessions together.
bool AttachSessionToc(MountRecord* record, const CuePlan& plan) {
    std::vector<SessionTocTrack> tracks;
    for (const CueTrackPlace& t : plan.tracks)
        tracks.push_back({uint8_t(t.session), t.adrControl, t.index01});
    std::vector<SessionTocSession> sessions;
    for (const CueSessionPlace& s : plan.sessions)
        sessions.push_back(
            {s.programStart, s.leadOut, DiscTypeOf(plan.tracks[s.firstTrack].mode)});
    uint32_t size = 0;
    uint8_t* toc = BuildSessionToc(tracks.data(), uint32_t(tracks.size()), sessions.data(),
                                   uint32_t(sessions.size()), &size);
    if (!toc)
        return false;
    record->fullToc = FieldOf(toc);
    record->sessions = uint8_t(sessions.size());
    return true;
}

bool AttachToc(MountRecord* record, const CuePlan& plan) {
    if (plan.sessions.size() > 1)
        return AttachSessionToc(record, plan);
    std::vector<uint32_t> starts;
    for (const CueTrackPlace& t : plan.tracks)
        starts.push_back(t.index01);
    uint8_t* toc = BuildTocData(starts.data(), uint32_t(starts.size()), plan.totalSectors,
                                DiscTypeOf(plan.tracks.front().mode));
    if (!toc)
        return false;
    SetTocControls(toc, plan);
    record->fullToc = FieldOf(toc);
    return true;
}

int AudioBranch(MountRecord* record, const CueSheet& sheet, const std::filesystem::path& data,
                const std::string& dataPath, const ParserIo& io) {
    int result = OpenAudioFile(record, data, dataPath, io);
    if (result != kParseOk)
        return result;
    if (sheet.tracks.empty())
        return kParseFailed;

    // The tracks must lie inside the file.
    std::vector<CueFileFacts> facts(sheet.files.size());
    facts[sheet.tracks[0].file] = {true, true, uint64_t(record->totalSectors) * kCdSectorSize};
    CuePlan plan;
    std::string why;
    if (!PlanCueDisc(sheet, facts, UINT32_MAX, &plan, &why)) {
        if (!why.empty())
            ReportError(io, "%s", why.c_str());
        return kParseFailed;
    }
    const std::vector<uint32_t> starts = TrackStarts(sheet);
    const uint32_t total = record->totalSectors;
    uint8_t* toc = BuildTocAudio(record, starts.data(), uint32_t(starts.size()), total);
    if (!toc)
        return kParseFailed;
    record->fullToc = FieldOf(toc);
    SetTocControls(toc, plan);
    // Pregaps the file stores get runs of their own, so the sub-channel gives them index 0.
    // WAV samples are read through the runs; a FLAC or APE stream is decoded as a whole and
    // its runs count decoded bytes.
    const bool storedPregaps = std::any_of(plan.runs.begin(), plan.runs.end(),
                                           [](const CueRun& r) { return r.pregap; });
    if (storedPregaps) {
        std::vector<SheetFile> files(sheet.files.size());
        SheetFile& f = files[sheet.tracks[0].file];
        f.handle = record->imageHandle;
        if (record->readerKind == kReaderWav)
            f.dataOffset = record->param84;
        else
            f.kind = record->readerKind == kReaderFlac ? kDiscFileFlac : kDiscFileApe;
        if (!AttachTrackTable(record, plan, files))
            return kParseFailed;
    }
    return AttachCdText(record, sheet) ? kParseOk : kParseFailed;
}

// A sheet holding only an ISO's user data (one MODE1/2048 track from the file's start) is the
// plain image: probed for its medium, read without tables.
bool IsPlainUserDataSheet(const CueSheet& sheet) {
    if (sheet.tracks.size() != 1)
        return false;
    const CueTrack& t = sheet.tracks[0];
    return t.mode == kCueModeMode1_2048 && t.index01 == 0 && t.pregap == 0 && t.postgap == 0;
}

int PlainUserDataBranch(MountRecord* record, const std::string& dataPath, const ParserIo& io) {
    uint64_t size = 0;
    platform::FileSize(record->imageHandle, &size);
    record->bytesPerSector = uint16_t(kUserDataSize);
    record->totalSectors = uint32_t(std::min<uint64_t>(size / kUserDataSize, UINT32_MAX));
    if (record->totalSectors == 0) {
        ReportError(io, "Track %d lies beyond the end of %s", 1, dataPath.c_str());
        return kParseFailed;
    }
    uint8_t medium = kMediumNone;
    try {
        medium = ProbeVolume(record->imageHandle, size, kUserDataSize, &record->regionByte);
    } catch (...) {
        medium = kMediumNone;
    }
    // The sheet says it is a CD's data track even where the probe knows no file system.
    record->mediumKind = medium != kMediumNone ? medium : uint8_t(kMediumCd);
    return kParseOk;
}

int BinaryBranch(MountRecord* record, const CueSheet& sheet, const std::string& dataPath,
                 const ParserIo& io) {
    if (sheet.tracks.empty())
        return kParseFailed;
    const uint32_t firstMode = sheet.tracks[0].mode;
    LogLine(io.log, kLogInfo, "Open bin %s: %s", CueModeLogName(firstMode), dataPath.c_str());
    if (IsPlainUserDataSheet(sheet))
        return PlainUserDataBranch(record, dataPath, io);

    uint64_t size = 0;
    platform::FileSize(record->imageHandle, &size);
    std::vector<CueFileFacts> facts(sheet.files.size());
    facts[sheet.tracks[0].file] = {true, false, size};
    CuePlan plan;
    std::string why;
    if (!PlanCueDisc(sheet, facts, 0x7FFFFFFFu, &plan, &why)) {
        if (!why.empty())
            ReportError(io, "%s", why.c_str());
        return kParseFailed;
    }
    std::vector<SheetFile> files(sheet.files.size());
    files[sheet.tracks[0].file].handle = record->imageHandle;
    if (!AttachTrackTable(record, plan, files))
        return kParseFailed;
    // One audio track from the file's start, without flags, is the plain audio file it always
    // was: no TOC.
    const bool plainAudio = plan.tracks.size() == 1 && CueModeIsAudio(plan.tracks[0].mode) &&
                            plan.tracks[0].index01 == 0 &&
                            plan.tracks[0].adrControl == kAdrControlAudio;
    if (!plainAudio && !AttachToc(record, plan))
        return kParseFailed;
    if (SheetHasText(sheet) && !AttachCdText(record, sheet))
        return kParseFailed;
    record->bytesPerSector =
        uint16_t(firstMode == kCueModeMode1_2048 ? kUserDataSize : kCdSectorSize);
    record->totalSectors = plan.totalSectors;
    record->mediumKind = kMediumCd;
    return kParseOk;
}

// Opens FILE `index` of the sheet: a readable regular file in (or named relative to) the
// sheet's folder, never a device and never the sheet itself.
int OpenSheetFile(const std::filesystem::path& sheetPath, const std::filesystem::path& folder,
                  const CueFile& entry, platform::NativeFile* handle, std::filesystem::path* data,
                  std::string* dataPath, const ParserIo& io) {
    *data = JoinDescribedName(folder, entry.name);
    *dataPath = platform::NarrowPath(*data);
    std::error_code ec;
    auto status = std::filesystem::status(*data, ec);
    if (!ec && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        ReportError(io, "Open file: %s failure, not a file", dataPath->c_str());
        return kParseFailed;
    }
    if (!ec && std::filesystem::exists(status) && std::filesystem::equivalent(sheetPath, *data, ec)) {
        ReportError(io, "The sheet names itself as a data file: %s", dataPath->c_str());
        return kParseFailed;
    }
    uint32_t error = kNameTooLong;
    *handle = 0;
    if (dataPath->size() <= kMaxDataPath)
        *handle = OpenCompanion(*data, &error);
    if (*handle == 0) {
        ReportError(io, "Open file: %s failure, ErrorCode=%d", dataPath->c_str(), int(error));
        return kParseFailed;
    }
    return kParseOk;
}

void ReleaseSheetFiles(std::vector<SheetFile>* files) {
    for (SheetFile& f : *files) {
        f.source.imageHandle = 0; // the same handle, closed once below
        ReleaseLayout(&f.source); // a source's seek table
        platform::CloseFile(f.handle);
        f = SheetFile{};
    }
}

// Several files (or gaps around one audio file): each run names its file.
int MultiFileBranch(MountRecord* record, const CueSheet& sheet, const std::filesystem::path& sheetPath,
                    const std::filesystem::path& folder, const ParserIo& io) {
    std::vector<SheetFile> files(sheet.files.size());
    std::vector<CueFileFacts> facts(sheet.files.size());
    std::vector<uint32_t> order; // sheet file indexes in wire order
    for (const CueTrack& t : sheet.tracks) {
        if (!facts[t.file].used) {
            facts[t.file].used = true;
            order.push_back(t.file);
        }
    }
    int result = kParseOk;
    for (uint32_t w = 0; w < order.size(); ++w) {
        const uint32_t index = order[w];
        const CueFile& entry = sheet.files[index];
        SheetFile& f = files[index];
        f.wireIndex = w;
        if (entry.type != kCueFileBinary && entry.type != kCueFileWave) {
            ReportError(io, "Unknown CUE file type:%s", CueFileTypeName(entry.type));
            result = kParseFailed;
            break;
        }
        std::filesystem::path data;
        std::string dataPath;
        result = OpenSheetFile(sheetPath, folder, entry, &f.handle, &data, &dataPath, io);
        if (result != kParseOk)
            break;
        if (entry.type == kCueFileBinary) {
            LogLine(io.log, kLogInfo, "Open bin %s: %s", CueModeLogName(sheet.tracks[0].mode),
                    dataPath.c_str());
            platform::FileSize(f.handle, &facts[index].streamBytes);
            continue;
        }
        facts[index].audio = true;
        MountRecord& source = f.source;
        PresetMountRecord(&source);
        source.imageHandle = f.handle;
        result = OpenAudioFile(&source, data, dataPath, io);
        if (result != kParseOk)
            break;
        if (source.readerKind == kReaderWav) {
            f.dataOffset = source.param84;
            facts[index].streamBytes = uint64_t(source.totalSectors) * kCdSectorSize;
        } else {
            f.kind = source.readerKind == kReaderFlac ? kDiscFileFlac : kDiscFileApe;
            // The stream's last sector may be partly silence.
            uint64_t samples = AudioSourceTotalSamples(source);
            facts[index].streamBytes =
                (samples + kSamplesPerSector - 1) / kSamplesPerSector * kCdSectorSize;
        }
    }

    CuePlan plan;
    if (result == kParseOk) {
        std::string why;
        if (!PlanCueDisc(sheet, facts, kMaxCdSectors, &plan, &why)) {
            if (!why.empty())
                ReportError(io, "%s", why.c_str());
            result = kParseFailed;
        }
    }
    // From here the record owns the files: a failure releases them with the layout.
    auto* table = result == kParseOk ? static_cast<DiscFileEntry*>(AllocLayoutBlock(
                                           sizeof(DiscFileEntry) * order.size()))
                                     : nullptr;
    if (!table) {
        ReleaseSheetFiles(&files);
        return result == kParseCancelled ? kParseCancelled : kParseFailed;
    }
    record->readerKind = kReaderMultiFile;
    record->kindPointer = FieldOf(table);
    record->kindCount = uint32_t(order.size());
    for (uint32_t w = 0; w < order.size(); ++w) {
        SheetFile& f = files[order[w]];
        DiscFileEntry& e = table[w];
        e.handle = f.handle;
        e.kind = f.kind;
        if (f.kind != kDiscFileRaw) {
            e.seekTable = f.source.kindPointer;
            e.seekCount = f.source.kindCount;
            e.totalSamples = AudioSourceTotalSamples(f.source);
            e.param0 = f.source.param96;
            e.param1 = f.kind == kDiscFileFlac ? f.source.param92 : f.source.param100;
            f.source.kindPointer = 0;
        }
    }
    record->imageHandle = table[0].handle;
    if (!AttachTrackTable(record, plan, files) || !AttachToc(record, plan) ||
        (SheetHasText(sheet) && !AttachCdText(record, sheet)))
        return kParseFailed;
    record->bytesPerSector = uint16_t(
        plan.tracks.front().mode == kCueModeMode1_2048 ? kUserDataSize : kCdSectorSize);
    record->totalSectors = plan.totalSectors;
    record->mediumKind = kMediumCd;
    return kParseOk;
}

// Sheets whose disc only the multi-file kind can describe: tracks in several files, or sectors
// no file stores (gaps, sessions) around a WAVE file (the audio kinds map the file straight
// onto the disc).
bool NeedsMultiFile(const CueSheet& sheet) {
    if (sheet.tracks.empty())
        return false;
    for (const CueTrack& t : sheet.tracks) {
        if (t.file != sheet.tracks[0].file)
            return true;
    }
    if (sheet.tracks[0].file >= sheet.files.size() ||
        sheet.files[sheet.tracks[0].file].type != kCueFileWave)
        return false;
    // Gaps, and the gaps between sessions, are sectors no file stores.
    for (const CueTrack& t : sheet.tracks) {
        if (t.pregap || t.postgap || t.session > 1)
            return true;
    }
    return false;
}

int OpenCueSheet(MountRecord* record, const std::filesystem::path& path, const ParserIo& io,
                 CueSheet* parsed) {
    std::error_code ec;
    const std::filesystem::path sheetPath = std::filesystem::absolute(path, ec);
    std::vector<char> text;
    if (ec || !ReadWholeFile(sheetPath, kMaxSheetBytes, &text))
        return kParseFailed;
    const std::filesystem::path folder = sheetPath.parent_path();
    if (folder.empty())
        return kParseFailed;
    CueSheet& sheet = *parsed;
    if (!ParseCueSheet(text.data(), text.size(), &sheet)) {
        if (sheet.problem.empty())
            ReportError(io, "Failed to parse .cue file");
        else
            ReportError(io, "Failed to parse .cue file: %s", sheet.problem.c_str());
        return kParseFailed;
    }
    if (NeedsMultiFile(sheet))
        return MultiFileBranch(record, sheet, sheetPath, folder, io);

    // One file: the one the tracks name, or the last FILE line of a sheet without tracks.
    CueFile entry{sheet.fileName, sheet.fileType};
    if (!sheet.tracks.empty() && sheet.tracks[0].file < sheet.files.size())
        entry = sheet.files[sheet.tracks[0].file];
    std::filesystem::path data;
    std::string dataPath;
    platform::NativeFile handle = 0;
    int result = OpenSheetFile(sheetPath, folder, entry, &handle, &data, &dataPath, io);
    if (result != kParseOk)
        return result;
    record->imageHandle = handle;
    if (entry.type == kCueFileWave) {
        result = AudioBranch(record, sheet, data, dataPath, io);
    } else if (entry.type == kCueFileBinary) {
        result = BinaryBranch(record, sheet, dataPath, io);
    } else {
        ReportError(io, "Unknown CUE file type:%s", CueFileTypeName(entry.type));
        result = kParseFailed;
    }
    return result;
}

} // namespace

int OpenCueImage(MountRecord* record, const std::filesystem::path& path, const ParserIo& io) {
    CueSheet sheet;
    int result = OpenCueSheet(record, path, io, &sheet);
    // Catalogue number and ISRCs, whatever kind the disc became.
    if (result == kParseOk && !AttachIdentity(record, sheet))
        result = kParseFailed;
    if (result != kParseOk)
        ReleaseLayout(record);
    return result;
}

} // namespace vostrale
