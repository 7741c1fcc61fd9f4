#include "formats/image_parsers.h"

#include "common/disc.h"
#include "formats/layout.h"
#include "formats/probe.h"

#include <algorithm>
#include <cstring>

namespace vostrale {

static const uint8_t kSyncPattern[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                         0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

ImageFormat ImageFormatOf(const std::filesystem::path& path) {
    const auto& text = path.native();
    const size_t dot = text.rfind('.');
    if (dot == text.npos || text.size() - dot != 4)
        return ImageFormat::Plain;
    char ext[4] = {};
    for (int i = 0; i < 3; ++i) {
        auto c = text[dot + 1 + i];
        if (c == 0 || uint32_t(c) > 0x7F)
            return ImageFormat::Plain;
        if (c >= 'A' && c <= 'Z')
            c = decltype(c)(c + 32);
        ext[i] = char(c);
    }
    struct Entry {
        const char* ext;
        ImageFormat format;
    } static const kTable[] = {{"ccd", ImageFormat::Ccd},
                               {"cue", ImageFormat::Cue},
                               {"isz", ImageFormat::Isz},
                               {"mds", ImageFormat::Mds},
                               {"nrg", ImageFormat::Nrg}};
    for (const Entry& e : kTable) {
        if (std::strcmp(ext, e.ext) == 0)
            return e.format;
    }
    return ImageFormat::Plain;
}

void PresetMountRecord(MountRecord* record) {
    std::memset(static_cast<void*>(record), 0, sizeof(*record));
    record->presetOne = 1;
    record->readerKind = kReaderPlainFile;
    record->sessions = 1;
}

int OpenImage(MountRecord* record, const std::filesystem::path& path, const ParserIo& io,
              OpenFailure* failure) {
    int result = kParseFailed;
    switch (ImageFormatOf(path)) {
    case ImageFormat::Plain:
        return OpenPlainImage(record, path, io, failure);
    case ImageFormat::Ccd:
        result = OpenCcdImage(record, path, io);
        break;
    case ImageFormat::Cue:
        result = OpenCueImage(record, path, io);
        break;
    case ImageFormat::Isz:
        result = OpenIszImage(record, path, io);
        break;
    case ImageFormat::Mds:
        result = OpenMdsImage(record, path, io);
        break;
    case ImageFormat::Nrg:
        result = OpenNrgImage(record, path, io);
        break;
    }
    if (failure)
        failure->kind = result == kParseFailed ? OpenFailure::kParser : OpenFailure::kNone;
    return result;
}

// A raw-sector image is mounted with one track-table entry so that the driver strides 2352
// bytes and finds the user data after the sector's own header. Null when done, else the reason.
static const char* AttachRawTrack(MountRecord* record, platform::NativeFile file) {
    uint8_t first[32] = {};
    if (!platform::ReadExactlyAt(file, 0, first, sizeof(first)))
        return "Cannot read the first raw sector of the image";
    auto* table = static_cast<uint8_t*>(AllocLayoutBlock(TrackTableSize(1)));
    if (!table)
        return "Not enough memory for the track table";
    auto* header = reinterpret_cast<TrackTableHeader*>(table);
    auto* entry = reinterpret_cast<TrackEntry*>(table + sizeof(TrackTableHeader));
    header->count = 1;
    entry->sectorType = SectorTypeOf(first);
    entry->parts = kPartSync | kPartHeader | kPartSubheader | kPartEdcEcc;
    entry->firstLba = 0;
    entry->endLba = record->totalSectors;
    entry->bytesPerSector = kCdSectorSize;
    entry->fileOffset = 0;
    record->trackTable = FieldOf(table);
    return nullptr;
}

int OpenPlainImage(MountRecord* record, const std::filesystem::path& path, const ParserIo& io,
                   OpenFailure* failure, ImageFileOpener openFile) {
    OpenFailure local;
    OpenFailure& why = failure ? *failure : local;
    why = OpenFailure{};
    uint32_t error = 0;
    platform::NativeFile sniff = openFile(path, &error);
    if (sniff == 0) {
        why.kind = OpenFailure::kOpenError;
        why.systemError = error;
        return kParseFailed;
    }
    uint8_t head[sizeof(kSyncPattern)];
    uint64_t size = 0;
    bool recognised =
        platform::ReadExactlyAt(sniff, 0, head, sizeof(head)) && platform::FileSize(sniff, &size);
    if (recognised) {
        record->bytesPerSector = uint16_t(
            std::memcmp(head, kSyncPattern, sizeof(head)) == 0 ? kCdSectorSize : kUserDataSize);
        recognised = size >= record->bytesPerSector;
    }
    if (recognised && record->mediumKind == kMediumNone) {
        // The probe parses untrusted file-system structures; any fault means "not recognised".
        try {
            record->mediumKind =
                ProbeVolume(sniff, size, record->bytesPerSector, &record->regionByte);
        } catch (...) {
            record->mediumKind = kMediumNone;
        }
    }
    if (!recognised || record->mediumKind == kMediumNone) {
        platform::CloseFile(sniff);
        record->mediumKind = kMediumNone;
        why.kind = OpenFailure::kUnsupportedFormat;
        return kParseFailed;
    }
    // Past this point the image is recognised: a failure is the mount failure dialog's, with
    // its reason, never the open-error box (whose system text would be "success" here).
    error = 0;
    record->imageHandle = openFile(path, &error);
    record->totalSectors = uint32_t(std::min<uint64_t>(size / record->bytesPerSector, UINT32_MAX));
    const bool reopened = record->imageHandle != 0;
    const char* reason = nullptr;
    if (!reopened)
        ReportError(io, "Cannot open the image a second time, error %u", unsigned(error));
    else if (record->bytesPerSector == kCdSectorSize)
        reason = AttachRawTrack(record, sniff);
    if (reason)
        ReportError(io, "%s", reason);
    platform::CloseFile(sniff);
    if (!reopened || reason) {
        ReleaseLayout(record);
        why.kind = OpenFailure::kParser;
        why.systemError = reopened ? 0 : error;
        return kParseFailed;
    }
    return kParseOk;
}

} // namespace vostrale
