#include "tools/vostrale-img/image_info.h"
#include "tools/vostrale-img/cd_text_decode.h"

#include "common/bytes.h"
#include "common/disc.h"
#include "common/wire.h"
#include "formats/cdtext.h"
#include "formats/image_parsers.h"
#include "formats/layout.h"
#include "formats/trace.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace vostrale {

namespace {

const char* kUsage = "usage: vostrale-img info [--json] IMAGE\n";

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

std::string Json(const std::string& raw) {
    std::string s = Latin1ToUtf8(raw);
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(char(c));
        } else if (c < 0x20) {
            out += Format("\\u%04x", c);
        } else {
            out.push_back(char(c));
        }
    }
    return out + "\"";
}

bool DecodeCdText(const MountRecord& r, CdTextDecoded* out) {
    // The parsers' block: its length field covers it.
    const uint8_t* block = PointerOf<uint8_t>(r.cdText);
    return block && DecodeCdTextBlock(block, size_t(LoadBe16(block)) + 2, out);
}

uint32_t TrackCount(const MountRecord& r) {
    const auto* header = PointerOf<TrackTableHeader>(r.trackTable);
    return header ? header->count : 0;
}
const TrackEntry* Tracks(const MountRecord& r) {
    return reinterpret_cast<const TrackEntry*>(PointerOf<uint8_t>(r.trackTable) +
                                               sizeof(TrackTableHeader));
}
uint32_t TocCount(const MountRecord& r) {
    const uint8_t* toc = PointerOf<uint8_t>(r.fullToc);
    if (!toc)
        return 0;
    const uint32_t length = LoadBe16(toc);
    return length >= 2 ? (length - 2) / kTocDescriptorSize : 0;
}

bool HasSeekPoints(const MountRecord& r) {
    return r.readerKind == kReaderFlac || r.readerKind == kReaderApe;
}
bool HasChunks(const MountRecord& r) {
    return r.readerKind == kReaderIsz;
}

const DiscFileEntry* Files(const MountRecord& r) {
    return r.readerKind == kReaderMultiFile ? PointerOf<DiscFileEntry>(r.kindPointer) : nullptr;
}
const char* FileKindName(uint8_t kind) {
    return kind == kDiscFileFlac ? "FLAC" : kind == kDiscFileApe ? "APE" : "stored sectors";
}

// Catalogue number and ISRCs (by track number) of the record's identity block.
void IdentityOf(const MountRecord& r, std::string* mcn,
                std::vector<std::pair<uint32_t, std::string>>* isrcs) {
    const auto* identity = PointerOf<DiscIdentity>(r.discIdentity);
    if (!identity)
        return;
    if (identity->mcn[0])
        mcn->assign(identity->mcn, sizeof(identity->mcn));
    for (uint32_t t = 0; t < 99; ++t) {
        if (identity->isrc[t][0])
            isrcs->push_back({t + 1, std::string(identity->isrc[t], sizeof(identity->isrc[t]))});
    }
}

std::string JsonReport(bool ok, const std::string& message, const MountRecord& r) {
    std::string o = "{";
    o += Format("\"ok\":%s,\"message\":%s,", ok ? "true" : "false", Json(message).c_str());
    o += Format("\"mediumKind\":%u,\"readerKind\":%u,\"sessions\":%u,\"totalSectors\":%u,"
                "\"bytesPerSector\":%u,"
                "\"regionByte\":%u,\"scrambled\":%u,",
                r.mediumKind, r.readerKind, r.sessions, r.totalSectors, r.bytesPerSector,
                r.regionByte, r.scrambled);
    o += "\"tracks\":[";
    for (uint32_t i = 0; i < TrackCount(r); ++i) {
        const TrackEntry& e = Tracks(r)[i];
        o += Format("%s{\"type\":%u,\"parts\":%u,\"first\":%u,\"end\":%u,\"bytesPerSector\":%u,"
                    "\"offset\":%llu}",
                    i ? "," : "", e.sectorType, e.parts, e.firstLba, e.endLba, e.bytesPerSector,
                    static_cast<unsigned long long>(e.fileOffset));
    }
    o += "],\"toc\":[";
    const uint8_t* toc = PointerOf<uint8_t>(r.fullToc);
    for (uint32_t i = 0; i < TocCount(r); ++i) {
        const uint8_t* d = toc + kTocHeaderSize + i * kTocDescriptorSize;
        o += Format("%s{\"session\":%u,\"adrControl\":%u,\"point\":%u,\"min\":%u,\"sec\":%u,"
                    "\"frame\":%u,\"zero\":%u,"
                    "\"pmin\":%u,\"psec\":%u,\"pframe\":%u}",
                    i ? "," : "", d[0], d[1], d[3], d[4], d[5], d[6], d[7], d[8], d[9], d[10]);
    }
    o += "],\"cdText\":";
    CdTextDecoded text;
    if (DecodeCdText(r, &text)) {
        o += "{\"album\":{\"title\":" + Json(text.albumTitle) +
             ",\"performer\":" + Json(text.albumPerformer) + "},\"tracks\":[";
        for (size_t i = 0; i < text.titles.size(); ++i)
            o += std::string(i ? "," : "") + "{\"title\":" + Json(text.titles[i]) +
                 ",\"performer\":" + Json(text.performers[i]) + "}";
        o += "]}";
    } else {
        o += "null";
    }
    o +=
        ",\"seekPoints\":" + (HasSeekPoints(r) ? std::to_string(r.kindCount) : std::string("null"));
    o += ",\"chunks\":" + (HasChunks(r) ? std::to_string(r.kindCount) : std::string("null"));
    if (const DiscFileEntry* files = Files(r)) {
        o += ",\"files\":[";
        for (uint32_t i = 0; i < r.kindCount; ++i)
            o += Format("%s{\"kind\":%u,\"seekPoints\":%u}", i ? "," : "", files[i].kind,
                        files[i].seekCount);
        o += "]";
    }
    std::string mcn;
    std::vector<std::pair<uint32_t, std::string>> isrcs;
    IdentityOf(r, &mcn, &isrcs);
    if (!mcn.empty())
        o += ",\"catalog\":" + Json(mcn);
    if (!isrcs.empty()) {
        o += ",\"isrc\":[";
        for (size_t i = 0; i < isrcs.size(); ++i)
            o += Format("%s{\"track\":%u,\"isrc\":%s}", i ? "," : "", isrcs[i].first,
                        Json(isrcs[i].second).c_str());
        o += "]";
    }
    return o + "}\n";
}

const char* MediumName(uint8_t kind) {
    static const char* kNames[] = {"none", "CD", "DVD", "HD DVD", "BD"};
    return kind < 5 ? kNames[kind] : "?";
}
const char* ReaderName(uint8_t kind) {
    static const char* kNames[] = {"?",   "plain file", "file list", "CCD", "MDS",
                                   "NRG", "ISZ",        "FLAC",      "APE", "WAV",
                                   "multi-file"};
    return kind < 11 ? kNames[kind] : "?";
}
const char* SectorTypeName(uint8_t type) {
    static const char* kNames[] = {"unknown",         "CD-DA",         "Mode 1",
                                   "Mode 2 formless", "Mode 2 Form 1", "Mode 2 Form 2"};
    return type < 6 ? kNames[type] : "?";
}

std::string TextReport(bool ok, const std::string& message, const MountRecord& r) {
    std::string o = ok ? "Image accepted\n" : "Image refused\n";
    if (!message.empty())
        o += "Message: " + message + "\n";
    if (!ok)
        return o;
    o += Format(
        "Medium: %s (%u)\nReader: %s (%u)\nSessions: %u\nTotal sectors: %u\nBytes per sector: %u\n"
        "Region byte: 0x%02X\n",
        MediumName(r.mediumKind), r.mediumKind, ReaderName(r.readerKind), r.readerKind, r.sessions,
        r.totalSectors, r.bytesPerSector, r.regionByte);
    switch (r.readerKind) {
    case kReaderCcd:
        o += Format("Scrambled data tracks: %u\nSub-channel file: %s\n", r.scrambled,
                    r.kindPointer ? "yes" : "no");
        break;
    case kReaderIsz:
        o += Format("Chunks: %u of %u bytes, largest stored %u bytes\n", r.kindCount, r.param80,
                    r.param84);
        break;
    case kReaderWav:
        o += Format("Audio data offset: %u\n", r.param84);
        break;
    case kReaderFlac:
        o += Format("Seek points: %u (%u frames each), %u Hz, %u channels, %u bits, block %u, "
                    "largest frame %u, "
                    "%llu samples\n",
                    r.kindCount, r.param80, r.param84, r.param88, r.param92, r.param96, r.param100,
                    static_cast<unsigned long long>(r.param104));
        break;
    case kReaderApe:
        o += Format("Seek points: %u, %u samples, first frame at %u, %u samples per frame, version "
                    "%u, %u bits, "
                    "%u channels, level index %u\n",
                    r.kindCount, r.param80, r.param84, r.param88, r.param96 & 0xFFFF,
                    r.param96 >> 16, r.param100 & 0xFFFF, r.param100 >> 16);
        break;
    case kReaderMultiFile:
        o += Format("Files: %u\n", r.kindCount);
        for (uint32_t i = 0; Files(r) && i < r.kindCount; ++i) {
            const DiscFileEntry& f = Files(r)[i];
            o += Format("  file %u: %s", i, FileKindName(f.kind));
            if (f.kind != kDiscFileRaw)
                o += Format(", %u seek points, %llu samples", f.seekCount,
                            static_cast<unsigned long long>(f.totalSamples));
            o += "\n";
        }
        break;
    default:
        break;
    }
    std::string mcn;
    std::vector<std::pair<uint32_t, std::string>> isrcs;
    IdentityOf(r, &mcn, &isrcs);
    if (!mcn.empty())
        o += "Catalogue number: " + mcn + "\n";
    for (const auto& [track, isrc] : isrcs)
        o += Format("ISRC of track %u: %s\n", track, isrc.c_str());
    if (TrackCount(r)) {
        o += "Track table:\n";
        for (uint32_t i = 0; i < TrackCount(r); ++i) {
            const TrackEntry& e = Tracks(r)[i];
            o += Format("  %2u: %-15s parts 0x%X  LBA %u-%u  %u bytes/sector  offset %llu", i,
                        SectorTypeName(e.sectorType), e.parts, e.firstLba, e.endLba,
                        e.bytesPerSector, static_cast<unsigned long long>(e.fileOffset));
            if (r.readerKind == kReaderMultiFile)
                o += Format("  file %u", e.fileIndex);
            if (e.flags & kRunPregap)
                o += "  pregap";
            o += "\n";
        }
    }
    if (TocCount(r)) {
        o += "Full TOC:\n  sess ADR/C point   MSF        PMSF\n";
        const uint8_t* toc = PointerOf<uint8_t>(r.fullToc);
        for (uint32_t i = 0; i < TocCount(r); ++i) {
            const uint8_t* d = toc + kTocHeaderSize + i * kTocDescriptorSize;
            o += Format("  %4u  0x%02X  0x%02X   %02u:%02u:%02u z%u  %02u:%02u:%02u\n", d[0], d[1],
                        d[3], d[4], d[5], d[6], d[7], d[8], d[9], d[10]);
        }
    }
    CdTextDecoded text;
    if (DecodeCdText(r, &text)) {
        o += "CD-Text:\n  Album: \"" + text.albumTitle + "\" by \"" + text.albumPerformer + "\"\n";
        for (size_t i = 0; i < text.titles.size(); ++i)
            o += Format("  Track %zu: \"%s\" by \"%s\"\n", i + 1, text.titles[i].c_str(),
                        text.performers[i].c_str());
    }
    return o;
}

} // namespace

int RunImgTool(const std::vector<std::string>& args, std::string* out, std::string* err) {
    bool json = false;
    std::string image;
    if (args.empty() || args[0] != "info") {
        *err = kUsage;
        return kImgToolUsage;
    }
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--json" && !json) {
            json = true;
        } else if (image.empty() && !args[i].empty() && args[i][0] != '-') {
            image = args[i];
        } else {
            *err = kUsage;
            return kImgToolUsage;
        }
    }
    if (image.empty()) {
        *err = kUsage;
        return kImgToolUsage;
    }

    SetParserTraceStream(nullptr);
    MountRecord record;
    PresetMountRecord(&record);
    std::wstring message;
    ParserIo io;
    io.message = &message;
    OpenFailure failure;
    const int result = OpenImage(&record, image, io, &failure);
    const bool ok = result == kParseOk;
    std::string text = platform::NarrowText(message);
    if (!ok && text.empty()) {
        if (failure.kind == OpenFailure::kUnsupportedFormat)
            text = kUnsupportedFormatText;
        else if (failure.kind == OpenFailure::kOpenError)
            text = Format("Cannot open %s, ErrorCode=%u", image.c_str(), failure.systemError);
        else if (result == kParseCancelled)
            text = "Cancelled";
        else
            text = "Mount failed";
    }
    *out = json ? JsonReport(ok, text, record) : TextReport(ok, text, record);
    if (ok)
        ReleaseLayout(&record);
    return ok ? kImgToolOk : kImgToolRefused;
}

} // namespace vostrale
