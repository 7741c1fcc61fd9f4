// Mounting a CUE sheet: a BINARY file becomes a track table (and a TOC), a WAVE file is handed
// to its audio source and gets an audio TOC and CD-Text from the sheet.
#include "common/bytes.h"
#include "common/disc.h"
#include "formats/audio_source.h"
#include "formats/cdtext.h"
#include "formats/companion.h"
#include "formats/cue.h"
#include "formats/image_parsers.h"
#include "formats/layout.h"
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

int AudioBranch(MountRecord* record, const CueSheet& sheet, const std::filesystem::path& data,
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
    if (result != kParseOk)
        return result;
    if (sheet.tracks.empty())
        return kParseFailed;

    const std::vector<uint32_t> starts = TrackStarts(sheet);
    const uint32_t total = record->totalSectors;
    uint8_t* toc = BuildTocAudio(record, starts.data(), uint32_t(starts.size()), total);
    if (!toc)
        return kParseFailed;
    record->fullToc = FieldOf(toc);

    CdTextStrings album{sheet.title, sheet.performer};
    std::vector<CdTextStrings> tracks;
    for (const CueTrack& t : sheet.tracks)
        tracks.push_back({t.title, t.performer});
    uint32_t cdTextSize = 0;
    uint8_t* cdText = BuildCdTextBlock(album, tracks, &cdTextSize);
    if (!cdText)
        return kParseFailed;
    record->cdText = FieldOf(cdText);
    return kParseOk;
}

struct RawLayout {
    uint32_t stride;
    uint8_t parts;
    uint8_t discType;
};

bool RawLayoutOf(uint32_t mode, RawLayout* layout) {
    constexpr uint8_t kRaw = kPartSync | kPartHeader | kPartSubheader | kPartEdcEcc;
    constexpr uint8_t kRawMode1 = kPartSync | kPartHeader | kPartEdcEcc;
    constexpr uint8_t kFormless = kPartSubheader | kPartEdcEcc;
    switch (mode) {
    case kCueModeMode1_2352:
        *layout = {kCdSectorSize, kRawMode1, kDiscTypeCdRom};
        return true;
    case kCueModeMode2_2352:
        *layout = {kCdSectorSize, kRaw, kDiscTypeXa};
        return true;
    case kCueModeCdi_2352:
        *layout = {kCdSectorSize, kRaw, kDiscTypeCdi};
        return true;
    case kCueModeMode2_2336:
        *layout = {2336, kFormless, kDiscTypeXa};
        return true;
    case kCueModeCdi_2336:
        *layout = {2336, kFormless, kDiscTypeCdi};
        return true;
    default:
        return false;
    }
}

int BinaryBranch(MountRecord* record, const CueSheet& sheet, const std::string& dataPath,
                 const ParserIo& io) {
    if (sheet.tracks.empty())
        return kParseFailed;
    uint64_t size = 0;
    platform::FileSize(record->imageHandle, &size);
    const uint32_t count = uint32_t(sheet.tracks.size());
    const uint32_t firstMode = sheet.tracks[0].mode;
    LogLine(io.log, kLogInfo, "Open bin %s: %s", CueModeLogName(firstMode), dataPath.c_str());

    RawLayout raw{};
    const bool isRaw = RawLayoutOf(firstMode, &raw);
    if (!isRaw && firstMode != kCueModeAudio && firstMode != kCueModeMode1_2048)
        return kParseFailed;

    auto* table = static_cast<uint8_t*>(AllocLayoutBlock(TrackTableSize(count)));
    if (!table)
        return kParseFailed;
    record->trackTable = FieldOf(table);
    auto* header = reinterpret_cast<TrackTableHeader*>(table);
    auto* entries = reinterpret_cast<TrackEntry*>(table + sizeof(TrackTableHeader));
    header->count = 1;

    const std::vector<uint32_t> starts = TrackStarts(sheet);
    uint32_t total;
    if (firstMode == kCueModeAudio) {
        total = uint32_t(std::min<uint64_t>(size / kCdSectorSize, UINT32_MAX));
        entries[0].sectorType = kSectorCdda;
        entries[0].endLba = total;
        entries[0].bytesPerSector = kCdSectorSize;
        // Several audio tracks in one file need a TOC to be seen as tracks at all.
        if (count > 1 || starts[0] != 0) {
            uint8_t* toc = BuildTocData(starts.data(), count, total, kDiscTypeCdRom);
            if (!toc)
                return kParseFailed;
            for (uint32_t d = 0; d < count + 3; ++d)
                toc[kTocHeaderSize + d * kTocDescriptorSize + 1] = kAdrControlAudio;
            record->fullToc = FieldOf(toc);
        }
    } else if (firstMode == kCueModeMode1_2048) {
        total = uint32_t(std::min<uint64_t>(size / kUserDataSize, UINT32_MAX));
    } else {
        total = uint32_t(std::min<uint64_t>(size / raw.stride, UINT32_MAX));
        for (uint32_t k = 0; k < count; ++k) {
            TrackEntry& e = entries[k];
            e.firstLba = k == 0 ? 0 : starts[k];
            e.endLba = k + 1 < count ? starts[k + 1] : total;
            // Tracks out of order or past the end of the file cannot be mapped.
            if (e.endLba < e.firstLba || e.endLba > total)
                return kParseFailed;
            e.bytesPerSector = raw.stride;
            e.fileOffset = uint64_t(e.firstLba) * raw.stride;
            e.parts = raw.parts;
            uint8_t first[32] = {};
            if (raw.stride == kCdSectorSize) {
                if (platform::ReadExactlyAt(record->imageHandle, e.fileOffset, first,
                                            sizeof(first)))
                    e.sectorType = SectorTypeOf(first);
            } else if (platform::ReadExactlyAt(record->imageHandle, e.fileOffset, first, 8)) {
                e.sectorType = Mode2TypeOfSubheader(first);
            }
        }
        header->count = uint16_t(count);
        uint8_t* toc = BuildTocData(starts.data(), count, total, raw.discType);
        if (!toc)
            return kParseFailed;
        record->fullToc = FieldOf(toc);
    }
    record->bytesPerSector =
        uint16_t(firstMode == kCueModeMode1_2048 ? kUserDataSize : kCdSectorSize);
    record->totalSectors = total;
    record->mediumKind = firstMode == kCueModeMode1_2048 ? kMediumDvd : kMediumCd;
    return kParseOk;
}

} // namespace

int OpenCueImage(MountRecord* record, const std::filesystem::path& path, const ParserIo& io) {
    std::error_code ec;
    const std::filesystem::path sheetPath = std::filesystem::absolute(path, ec);
    std::vector<char> text;
    if (ec || !ReadWholeFile(sheetPath, kMaxSheetBytes, &text))
        return kParseFailed;
    const std::filesystem::path folder = sheetPath.parent_path();
    if (folder.empty())
        return kParseFailed;
    CueSheet sheet;
    if (!ParseCueSheet(text.data(), text.size(), &sheet)) {
        ReportError(io, "Failed to parse .cue file");
        return kParseFailed;
    }
    const std::filesystem::path data = JoinDescribedName(folder, sheet.fileName);
    const std::string dataPath = platform::NarrowPath(data);
    uint32_t error = kNameTooLong;
    if (dataPath.size() <= kMaxDataPath)
        record->imageHandle = OpenCompanion(data, &error);
    if (record->imageHandle == 0) {
        ReportError(io, "Open file: %s failure, ErrorCode=%d", dataPath.c_str(), int(error));
        return kParseFailed;
    }
    int result;
    if (sheet.fileType == kCueFileWave) {
        result = AudioBranch(record, sheet, data, dataPath, io);
    } else if (sheet.fileType == kCueFileBinary) {
        result = BinaryBranch(record, sheet, dataPath, io);
    } else {
        ReportError(io, "Unknown CUE file type:%s", CueFileTypeName(sheet.fileType));
        result = kParseFailed;
    }
    if (result != kParseOk)
        ReleaseLayout(record);
    return result;
}

} // namespace vostrale
