#include "formats/ccd.h"

#include "common/bytes.h"
#include "common/disc.h"
#include "formats/cdtext.h"
#include "formats/companion.h"
#include "formats/disc_codes.h"
#include "formats/image_parsers.h"
#include "formats/layout.h"

#include <cstdlib>
#include <cstring>

namespace vostrale {

namespace {

constexpr uint32_t kMaxTocEntries = (0xFFFF - 2) / kTocDescriptorSize;
constexpr uint32_t kMaxSessions = 99;
constexpr size_t kMinPackText = 47; // 16 two-digit values and 15 spaces
constexpr size_t kMaxDescription = 16u << 20;
constexpr uint8_t kHintAudio = 1;
constexpr uint8_t kHintMode1 = 2;

// Descriptor byte offsets.
constexpr int kSession = 0, kAdrControl = 1, kTno = 2, kPoint = 3, kMin = 4, kSec = 5, kFrame = 6,
              kZero = 7, kPmin = 8, kPsec = 9, kPframe = 10;

bool Number(const IniFile& ini, const std::string& section, const char* key, int base, long* out) {
    const std::string text = ini.Get(section, key, "");
    if (text.empty())
        return false;
    *out = std::strtol(text.c_str(), nullptr, base);
    return true;
}

bool ParsePack(const std::string& text, uint8_t* pack) {
    if (text.size() < kMinPackText)
        return false;
    const char* p = text.c_str();
    for (int i = 0; i < 16; ++i) {
        char* end = nullptr;
        const unsigned long v = std::strtoul(p, &end, 16);
        if (end == p)
            return false;
        pack[i] = uint8_t(v);
        p = end;
    }
    SetPackCrc(pack);
    return true;
}

std::string EntrySection(uint32_t i) {
    return "Entry " + std::to_string(i);
}

} // namespace

bool ParseCcdDescription(const IniFile& ini, CcdDisc* disc) {
    *disc = CcdDisc{};
    long version = 0, entries = 0, sessions = 0, scrambled = 0, cdTextLength = 0;
    if (!Number(ini, "CloneCD", "Version", 10, &version) ||
        !Number(ini, "Disc", "TocEntries", 10, &entries) ||
        !Number(ini, "Disc", "Sessions", 10, &sessions))
        return false;
    // Counts come from the file: a TOC larger than its 16-bit length allows is not a disc.
    if (entries < 1 || uint64_t(entries) > kMaxTocEntries || sessions < 1 ||
        sessions > long(kMaxSessions))
        return false;
    disc->version = int(version);
    disc->sessions = uint8_t(sessions);
    if (version < 2) {
        scrambled = std::strtol(ini.Get("Disc", "DataTracksScrambled", "1").c_str(), nullptr, 10);
        disc->scrambled = uint8_t(scrambled);
    }
    cdTextLength = std::strtol(ini.Get("Disc", "CDTextLength", "0").c_str(), nullptr, 10);
    if (cdTextLength != 0) {
        if (cdTextLength < 0 || cdTextLength % kCdTextPackSize != 0 || cdTextLength > 0xFFFF - 2)
            return false;
        disc->cdTextPacks.resize(size_t(cdTextLength));
        for (long i = 0; i < cdTextLength / long(kCdTextPackSize); ++i) {
            if (!ParsePack(ini.Get("CDText", EntrySection(uint32_t(i)), ""),
                           &disc->cdTextPacks[kCdTextPackSize * i]))
                return false;
        }
    }
    // Codes that are not well formed are left out rather than failing the image.
    const std::string catalogue = ini.Get("Disc", "CATALOG", "");
    SetCatalogue(&disc->codes, catalogue.data(), catalogue.size());
    for (uint32_t track = 1; track <= 99; ++track) {
        const std::string isrc = ini.Get("TRACK " + std::to_string(track), "ISRC", "");
        SetIsrc(&disc->codes, track, isrc.data(), isrc.size());
    }
    disc->toc.assign(FullTocSize(uint32_t(entries)), 0);
    StoreBe16(disc->toc.data(), uint16_t(kTocDescriptorSize * entries + 2));
    disc->toc[2] = 1;
    disc->toc[3] = uint8_t(sessions);
    uint8_t hint = 0;
    for (uint32_t i = 0; i < uint32_t(entries); ++i) {
        const std::string section = EntrySection(i);
        long session, point, adr, control, tno, amin, asec, aframe, zero, pmin, psec, pframe;
        if (!Number(ini, section, "Session", 10, &session) ||
            !Number(ini, section, "Point", 16, &point) || !Number(ini, section, "ADR", 16, &adr) ||
            !Number(ini, section, "Control", 16, &control) ||
            !Number(ini, section, "TrackNo", 10, &tno) ||
            !Number(ini, section, "AMin", 10, &amin) || !Number(ini, section, "ASec", 10, &asec) ||
            !Number(ini, section, "AFrame", 10, &aframe) ||
            !Number(ini, section, "Zero", 10, &zero) || !Number(ini, section, "PMin", 10, &pmin) ||
            !Number(ini, section, "PSec", 10, &psec) ||
            !Number(ini, section, "PFrame", 10, &pframe))
            return false;
        uint8_t* d = disc->toc.data() + kTocHeaderSize + kTocDescriptorSize * i;
        d[kSession] = uint8_t(session);
        d[kAdrControl] = uint8_t((adr << 4) | (control & 0x0F));
        d[kTno] = uint8_t(tno);
        d[kPoint] = uint8_t(point);
        d[kMin] = uint8_t(amin);
        d[kSec] = uint8_t(asec);
        d[kFrame] = uint8_t(aframe);
        d[kZero] = uint8_t(zero);
        d[kPmin] = uint8_t(pmin);
        d[kPsec] = uint8_t(psec);
        d[kPframe] = uint8_t(pframe);
        if (version > 2) {
            // The TNO byte carries a sector-type hint for the track table builder.
            hint = control == 0 ? kHintAudio : 0;
            if (adr == 1 && point >= 0 && point <= 99) {
                long mode = 0;
                if (!Number(ini, "TRACK " + std::to_string(point), "MODE", 10, &mode))
                    return false;
                if (mode == 0)
                    hint = 1;
                else if (mode == 1)
                    hint = 2;
                else if (mode == 2)
                    hint = 3;
            }
            d[kTno] = hint;
        }
    }
    return true;
}

bool BuildCcdLayout(CcdDisc* disc, platform::NativeFile img, MountRecord* record) {
    struct Session {
        int64_t first, leadOut;
        uint8_t hint;
    };
    std::vector<Session> sessions;
    const uint32_t count = (uint32_t(disc->toc.size()) - kTocHeaderSize) / kTocDescriptorSize;
    uint8_t* base = disc->toc.data() + kTocHeaderSize;
    int64_t total = 0;
    bool haveTotal = false;
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t* d = base + kTocDescriptorSize * i;
        if (d[kPoint] == kTocPointLeadOut) {
            const int64_t leadOut =
                int64_t(d[kPmin]) * 4500 + int64_t(d[kPsec]) * 75 + d[kPframe] - kMsfOffset;
            total = leadOut;
            haveTotal = true;
            if (i + 1 >= count)
                return false; // a session needs its first track after the lead-out entry
            const uint8_t* next = d + kTocDescriptorSize;
            const int64_t first = int64_t(next[kPmin]) * 4500 + int64_t(next[kPsec]) * 75 +
                                  next[kPframe] - kMsfOffset;
            sessions.push_back({first, leadOut, next[kTno]});
        }
    }
    for (uint32_t i = 0; i < count; ++i)
        base[kTocDescriptorSize * i + kTno] = 0;
    // A description without a lead-out describes no disc.
    if (!haveTotal || total <= 0 || total > INT32_MAX)
        return false;

    std::vector<TrackEntry> entries;
    if (sessions.size() > 1) {
        uint64_t offset = 0;
        size_t g = 0;
        while (g < sessions.size()) {
            size_t last = g;
            while (last + 1 < sessions.size() && sessions[last + 1].first == sessions[last].leadOut)
                ++last;
            const int64_t first = sessions[g].first, end = sessions[last].leadOut;
            if (first < 0 || end < first || end > INT32_MAX ||
                (!entries.empty() && int64_t(entries.back().endLba) > first))
                return false;
            if (!entries.empty()) {
                TrackEntry gap{};
                gap.firstLba = entries.back().endLba;
                gap.endLba = uint32_t(first);
                entries.push_back(gap);
            }
            TrackEntry e{};
            e.firstLba = uint32_t(first);
            e.endLba = uint32_t(end);
            e.bytesPerSector = kCdSectorSize;
            e.parts = kPartSync | kPartHeader | kPartSubheader | kPartEdcEcc;
            e.fileOffset = offset;
            const uint8_t hint = sessions[last].hint;
            if (hint == kHintAudio || hint == kHintMode1) {
                e.sectorType = hint;
            } else {
                uint8_t head[32] = {};
                if (img != 0 && platform::ReadExactlyAt(img, offset, head, sizeof(head)))
                    e.sectorType = SectorTypeOf(head);
            }
            entries.push_back(e);
            offset += uint64_t(end - first) * kCdSectorSize;
            g = last + 1;
        }
    }
    if (entries.size() > 1) {
        auto* table =
            static_cast<uint8_t*>(AllocLayoutBlock(TrackTableSize(uint32_t(entries.size()))));
        if (!table)
            return false;
        reinterpret_cast<TrackTableHeader*>(table)->count = uint16_t(entries.size());
        std::memcpy(table + sizeof(TrackTableHeader), entries.data(),
                    entries.size() * sizeof(TrackEntry));
        record->trackTable = FieldOf(table);
    }
    auto* toc = static_cast<uint8_t*>(AllocLayoutBlock(disc->toc.size()));
    if (!toc)
        return false;
    std::memcpy(toc, disc->toc.data(), disc->toc.size());
    record->fullToc = FieldOf(toc);
    if (!disc->cdTextPacks.empty()) {
        uint8_t* text =
            WrapCdTextPacks(disc->cdTextPacks.data(), uint32_t(disc->cdTextPacks.size()), false);
        if (!text)
            return false;
        record->cdText = FieldOf(text);
    }
    record->bytesPerSector = uint16_t(kCdSectorSize);
    record->mediumKind = kMediumCd;
    record->readerKind = kReaderCcd;
    if (!AttachDiscIdentity(record, disc->codes))
        return false;
    record->sessions = disc->sessions;
    record->scrambled = disc->scrambled;
    record->totalSectors = uint32_t(total);
    return true;
}

int OpenCcdImage(MountRecord* record, const std::filesystem::path& path, const ParserIo& io) {
    std::filesystem::path imgPath = path, subPath = path;
    imgPath.replace_extension(".img");
    subPath.replace_extension(".sub");
    uint32_t error = 0;
    platform::NativeFile file = platform::OpenForRead(path, &error);
    if (file == 0)
        return kParseFailed;
    uint64_t size = 0;
    std::vector<char> text;
    bool read = platform::FileSize(file, &size) && size <= kMaxDescription;
    if (read) {
        text.resize(size_t(size));
        read = text.empty() || platform::ReadExactlyAt(file, 0, text.data(), text.size());
    }
    platform::CloseFile(file);
    IniFile ini;
    CcdDisc disc;
    if (!read)
        return kParseFailed;
    ini.Load(text.data(), text.size());
    if (!ParseCcdDescription(ini, &disc))
        return kParseFailed;
    record->imageHandle = OpenCompanion(imgPath, &error);
    if (record->imageHandle == 0)
        return kParseFailed;
    // The sub-channel file is optional; its handle is released with the layout.
    record->readerKind = kReaderCcd;
    record->kindPointer = OpenCompanion(subPath, &error);
    if (!BuildCcdLayout(&disc, record->imageHandle, record)) {
        ReleaseLayout(record);
        return kParseFailed;
    }
    return kParseOk;
}

} // namespace vostrale
