#include "tools/vostrale-img/engine_commands.h"

#include "common/bytes.h"
#include "common/disc.h"
#include "common/wire.h"
#include "driver/host/host_adapter.h"
#include "formats/image_parsers.h"
#include "formats/layout.h"
#include "formats/trace.h"
#include "tools/vostrale-img/cd_text_decode.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>

namespace vostrale {
namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

constexpr const char* kUsageText =
    "usage: vostrale-img scsi [--json] IMAGE CDB-HEX [CDB-HEX ...] [--alloc N]\n"
    "       vostrale-img read IMAGE --lba N --count K [--raw] --out FILE\n"
    "       vostrale-img rip IMAGE --track T --out FILE.wav\n"
    "       vostrale-img toc IMAGE\n";

std::string Hex(const uint8_t* p, size_t n, bool spaced) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        if (spaced && i)
            s += (i % 16) ? ' ' : '\n';
        s += kDigits[p[i] >> 4];
        s += kDigits[p[i] & 15];
    }
    return s;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>* bytes) {
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == '-')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
        digits += c;
    }
    if (digits.empty() || digits.size() % 2 || digits.size() > 32)
        return false;
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes->push_back(uint8_t(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return true;
}

bool ParseNumber(const std::string& text, uint64_t* value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (*end)
        return false;
    *value = v;
    return true;
}

// The data buffer a command asks for: its allocation or transfer length.
uint32_t DefaultLength(const std::vector<uint8_t>& c) {
    auto at = [&](size_t i) -> uint32_t { return i < c.size() ? c[i] : 0; };
    auto be16 = [&](size_t i) { return (at(i) << 8) | at(i + 1); };
    auto be24 = [&](size_t i) { return (at(i) << 16) | (at(i + 1) << 8) | at(i + 2); };
    auto be32 = [&](size_t i) { return (at(i) << 24) | be24(i + 1); };
    switch (at(0)) {
    case 0x03:
    case 0x1A:
        return at(4);
    case 0x12:
        return be16(3);
    case 0x25:
        return 8;
    case 0x28:
        return be16(7) * kUserDataSize;
    case 0xA8:
        return uint32_t(std::min<uint64_t>(uint64_t(be32(6)) * kUserDataSize, 64u << 20));
    case 0xBE: {
        uint32_t c2 = (at(9) >> 1) & 3;
        uint32_t sub = at(10) & 7;
        uint32_t record = kCdSectorSize +
                          (c2 == 1   ? 294
                           : c2 == 2 ? 296
                                     : 0) +
                          (sub == 1   ? 96
                           : sub == 2 ? 16
                                      : 0);
        return uint32_t(std::min<uint64_t>(uint64_t(be24(6)) * record, 64u << 20));
    }
    case 0x42:
    case 0x43:
    case 0x46:
    case 0x4A:
    case 0x51:
    case 0x52:
    case 0x5A:
        return be16(7);
    case 0x15:
        return at(4); // MODE SELECT(6): a zero-filled parameter list of that length
    case 0x55:
        return be16(7);
    case 0xA4:
    case 0xAD:
        return be16(8);
    case 0xAC:
        return 8 + 16 * be16(8); // GET PERFORMANCE: header and the descriptors asked for
    case 0xA0:
        return std::min<uint32_t>(be32(6), 1u << 16);
    default:
        return 0;
    }
}

// An image mounted on drive 0 of an adapter of its own.
class MountedImage {
  public:
    bool Open(const std::string& path, std::string* err) {
        MountRecord record;
        PresetMountRecord(&record);
        std::wstring message;
        ParserIo io;
        io.message = &message;
        OpenFailure failure;
        if (OpenImage(&record, path, io, &failure) != kParseOk) {
            std::string text = platform::NarrowText(message);
            *err = "cannot mount " + path + ": " +
                   (text.empty() ? std::string(kUnsupportedFormatText) : text) + "\n";
            return false;
        }
        std::vector<uint8_t> buffer(sizeof(ControlHeader) + sizeof(MountRecord));
        StoreLe32(buffer.data(), kControlMagic);
        StoreLe32(buffer.data() + 4, kCtlMount);
        StoreLe32(buffer.data() + 8, sizeof(MountRecord));
        std::memcpy(buffer.data() + sizeof(ControlHeader), &record, sizeof(record));
        bool ok = m_adapter.Control(buffer.data(), buffer.size());
        ReleaseLayout(&record); // the engine keeps its own copies
        if (!ok)
            *err = "the drive refused the disc layout of " + path + "\n";
        return ok;
    }

    ScsiOutcome Run(const std::vector<uint8_t>& cdb, std::vector<uint8_t>* data, uint32_t length) {
        data->assign(length, 0);
        ScsiOutcome o = m_adapter.Scsi(0, 0, 0, cdb.data(), cdb.size(),
                                       length ? data->data() : nullptr, length);
        data->resize(o.bytes);
        return o;
    }

    // Past the unit attention of the first mount.
    bool Settle() {
        std::vector<uint8_t> data;
        for (int i = 0; i < 2; ++i) {
            if (Run(std::vector<uint8_t>(6, 0), &data, 0).scsiStatus == kScsiStatusGood)
                return true;
        }
        return false;
    }

  private:
    HostAdapter m_adapter;
};

std::string SenseText(const ScsiOutcome& o) {
    if (o.sense.size() < 14)
        return "";
    char text[64];
    std::snprintf(text, sizeof(text), " (key %X, ASC %02X, ASCQ %02X)", o.sense[2] & 15,
                  o.sense[12], o.sense[13]);
    return text;
}

int Scsi(const std::vector<std::string>& args, std::string* out, std::string* err) {
    bool json = false;
    std::optional<uint32_t> alloc;
    std::string image;
    std::vector<std::vector<uint8_t>> cdbs;
    for (size_t i = 1; i < args.size(); ++i) {
        uint64_t n = 0;
        if (args[i] == "--json") {
            json = true;
        } else if (args[i] == "--alloc" && i + 1 < args.size() && ParseNumber(args[i + 1], &n) &&
                   n <= (64u << 20)) {
            alloc = uint32_t(n);
            ++i;
        } else if (image.empty()) {
            image = args[i];
        } else {
            std::vector<uint8_t> cdb;
            if (!ParseHex(args[i], &cdb)) {
                *err = "not a CDB: " + args[i] + "\n" + kUsageText;
                return kUsage;
            }
            cdbs.push_back(cdb);
        }
    }
    if (image.empty() || cdbs.empty()) {
        *err = kUsageText;
        return kUsage;
    }
    MountedImage disc;
    if (!disc.Open(image, err))
        return kFailed;
    std::string text = json ? "[" : "";
    for (size_t i = 0; i < cdbs.size(); ++i) {
        std::vector<uint8_t> data;
        ScsiOutcome o = disc.Run(cdbs[i], &data, alloc ? *alloc : DefaultLength(cdbs[i]));
        if (json) {
            char status[16];
            std::snprintf(status, sizeof(status), "%u", o.scsiStatus);
            text += std::string(i ? "," : "") + "\n  {\"status\": " + status + ", \"sense\": \"" +
                    Hex(o.sense.data(), o.sense.size(), false) + "\", \"data\": \"" +
                    Hex(data.data(), data.size(), false) + "\"}";
        } else {
            char status[16];
            std::snprintf(status, sizeof(status), "0x%02X", o.scsiStatus);
            text += "CDB " + Hex(cdbs[i].data(), cdbs[i].size(), true) + "\nstatus " + status +
                    (o.scsiStatus ? " CHECK CONDITION" : " GOOD") + SenseText(o) + "\n";
            if (!o.sense.empty())
                text += "sense " + Hex(o.sense.data(), o.sense.size(), true) + "\n";
            text += "data " + std::to_string(data.size()) + " bytes\n";
            if (!data.empty())
                text += Hex(data.data(), data.size(), true) + "\n";
            text += "\n";
        }
    }
    if (json)
        text += "\n]\n";
    *out = text;
    return kOk;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string* err) {
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!file) {
        *err = "cannot write " + path + "\n";
        return false;
    }
    return true;
}

std::string Failure(const char* what, uint32_t lba, const ScsiOutcome& o) {
    return std::string(what) + " failed at LBA " + std::to_string(lba) + SenseText(o) + "\n";
}

int Read(const std::vector<std::string>& args, std::string* out, std::string* err) {
    std::string image, output;
    uint64_t lba = 0, count = 0;
    bool haveLba = false, haveCount = false, raw = false, bad = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const bool hasValue = i + 1 < args.size();
        if (args[i] == "--lba" && hasValue && ParseNumber(args[i + 1], &lba)) {
            haveLba = true;
            ++i;
        } else if (args[i] == "--count" && hasValue && ParseNumber(args[i + 1], &count)) {
            haveCount = true;
            ++i;
        } else if (args[i] == "--out" && hasValue) {
            output = args[++i];
        } else if (args[i] == "--raw") {
            raw = true;
        } else if (image.empty()) {
            image = args[i];
        } else {
            bad = true;
        }
    }
    if (bad || image.empty() || output.empty() || !haveLba || !haveCount || lba > UINT32_MAX ||
        count > UINT32_MAX - lba) {
        *err = kUsageText;
        return kUsage;
    }
    MountedImage disc;
    if (!disc.Open(image, err))
        return kFailed;
    disc.Settle();
    constexpr uint32_t kBatch = 16;
    std::vector<uint8_t> all, data;
    for (uint64_t done = 0; done < count; done += kBatch) {
        uint32_t at = uint32_t(lba + done);
        uint32_t n = uint32_t(std::min<uint64_t>(kBatch, count - done));
        std::vector<uint8_t> cdb(raw ? 12 : 10, 0);
        cdb[0] = raw ? 0xBE : 0x28;
        StoreBe32(cdb.data() + 2, at);
        if (raw) {
            StoreBe24(cdb.data() + 6, n);
            cdb[9] = 0xF8;
        } else {
            StoreBe16(cdb.data() + 7, uint16_t(n));
        }
        ScsiOutcome o = disc.Run(cdb, &data, n * (raw ? kCdSectorSize : kUserDataSize));
        if (o.scsiStatus != kScsiStatusGood) {
            *err = Failure(raw ? "READ CD" : "READ(10)", at, o);
            return kFailed;
        }
        all.insert(all.end(), data.begin(), data.end());
    }
    if (!WriteFile(output, all, err))
        return kFailed;
    *out = std::to_string(all.size()) + " bytes written to " + output + "\n";
    return kOk;
}

// One entry of the formatted TOC (READ TOC format 0, LBA); the last one is the lead-out.
struct TocEntry {
    uint8_t number;
    bool audio;
    uint32_t lba;
};

// The mounted disc's formatted TOC, as far as the reply's length field and bytes go.
bool ReadFormattedToc(MountedImage& disc, std::vector<TocEntry>* entries, std::string* err) {
    std::vector<uint8_t> toc;
    ScsiOutcome o = disc.Run({0x43, 0, 0, 0, 0, 0, 0, 0x10, 0x00, 0}, &toc, 0x1000);
    if (o.scsiStatus != kScsiStatusGood || toc.size() < 4) {
        *err = Failure("READ TOC", 0, o);
        return false;
    }
    size_t end = std::min<size_t>(toc.size(), 2 + size_t(LoadBe16(toc.data())));
    for (size_t off = 4; off + 8 <= end; off += 8)
        entries->push_back(
            {toc[off + 2], (toc[off + 1] & 0x04) == 0, LoadBe32(toc.data() + off + 4)});
    return true;
}

// A track's length as the drive reports it (READ TRACK INFORMATION): a session's last track
// ends at that session's lead-out, not at the next session's first track. `fallback` when the
// drive gives none.
uint32_t TrackSectors(MountedImage& disc, uint8_t number, uint32_t fallback) {
    std::vector<uint8_t> info;
    ScsiOutcome o = disc.Run({0x52, 0x01, 0, 0, 0, number, 0, 0, 36, 0}, &info, 36);
    if (o.scsiStatus == kScsiStatusGood && info.size() >= 28)
        return LoadBe32(info.data() + 24);
    return fallback;
}

int Rip(const std::vector<std::string>& args, std::string* out, std::string* err) {
    std::string image, output;
    uint64_t track = 0;
    bool bad = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const bool hasValue = i + 1 < args.size();
        if (args[i] == "--track" && hasValue && ParseNumber(args[i + 1], &track))
            ++i;
        else if (args[i] == "--out" && hasValue)
            output = args[++i];
        else if (image.empty())
            image = args[i];
        else
            bad = true;
    }
    if (bad || image.empty() || output.empty() || track < 1 || track > 99) {
        *err = kUsageText;
        return kUsage;
    }
    MountedImage disc;
    if (!disc.Open(image, err))
        return kFailed;
    disc.Settle();
    // The track's start and the next start (or the lead-out) from the formatted TOC.
    std::vector<TocEntry> entries;
    if (!ReadFormattedToc(disc, &entries, err))
        return kFailed;
    std::optional<uint32_t> start, end;
    bool audio = false;
    for (const TocEntry& e : entries) {
        if (start && !end)
            end = e.lba;
        if (e.number == track) {
            start = e.lba;
            audio = e.audio;
        }
    }
    if (!start || !end || *end <= *start) {
        *err = "no track " + std::to_string(track) + " on " + image + "\n";
        return kFailed;
    }
    if (!audio) {
        *err = "track " + std::to_string(track) + " is a data track\n";
        return kFailed;
    }
    uint32_t sectors = TrackSectors(disc, uint8_t(track), *end - *start);
    std::vector<uint8_t> wav(44, 0), data;
    constexpr uint32_t kBatch = 27;
    for (uint32_t done = 0; done < sectors; done += kBatch) {
        uint32_t n = std::min(kBatch, sectors - done);
        std::vector<uint8_t> cdb = {0xBE, uint8_t(kSectorCdda << 2), 0, 0, 0, 0, 0, 0, 0, 0xF0, 0,
                                    0};
        StoreBe32(cdb.data() + 2, *start + done);
        StoreBe24(cdb.data() + 6, n);
        ScsiOutcome o = disc.Run(cdb, &data, n * kCdSectorSize);
        if (o.scsiStatus != kScsiStatusGood) {
            *err = Failure("READ CD", *start + done, o);
            return kFailed;
        }
        wav.insert(wav.end(), data.begin(), data.end());
    }
    // Canonical 44-byte header: PCM, 2 channels, 44100 Hz, 16 bits.
    uint32_t bytes = uint32_t(wav.size() - 44);
    std::memcpy(wav.data(), "RIFF", 4);
    StoreLe32(wav.data() + 4, 36 + bytes);
    std::memcpy(wav.data() + 8, "WAVEfmt ", 8);
    StoreLe32(wav.data() + 16, 16);
    StoreLe16(wav.data() + 20, 1);
    StoreLe16(wav.data() + 22, 2);
    StoreLe32(wav.data() + 24, 44100);
    StoreLe32(wav.data() + 28, 44100 * 4);
    StoreLe16(wav.data() + 32, 4);
    StoreLe16(wav.data() + 34, 16);
    std::memcpy(wav.data() + 36, "data", 4);
    StoreLe32(wav.data() + 40, bytes);
    if (!WriteFile(output, wav, err))
        return kFailed;
    *out = "track " + std::to_string(track) + ": " + std::to_string(sectors) +
           " sectors written to " + output + "\n";
    return kOk;
}

std::string MsfText(uint32_t lba) {
    Msf m = LbaToMsf(int32_t(lba));
    char text[16];
    std::snprintf(text, sizeof(text), "%02u:%02u:%02u", m.minute, m.second, m.frame);
    return text;
}

// The disc as a program sees it: the formatted TOC and the CD-Text the drive returns.
int Toc(const std::vector<std::string>& args, std::string* out, std::string* err) {
    if (args.size() != 2) {
        *err = kUsageText;
        return kUsage;
    }
    const std::string& image = args[1];
    MountedImage disc;
    if (!disc.Open(image, err))
        return kFailed;
    disc.Settle();
    std::vector<TocEntry> entries;
    if (!ReadFormattedToc(disc, &entries, err))
        return kFailed;
    if (entries.size() < 2 || entries.back().number != 0xAA) {
        *err = "READ TOC returned no lead-out\n";
        return kFailed;
    }
    std::vector<uint8_t> packs;
    CdTextDecoded text;
    ScsiOutcome o = disc.Run({0x43, 0, 0x05, 0, 0, 0, 0, 0xFF, 0xFE, 0}, &packs, 0xFFFE);
    bool hasText =
        o.scsiStatus == kScsiStatusGood && DecodeCdTextBlock(packs.data(), packs.size(), &text);

    const TocEntry& leadOut = entries.back();
    size_t audio = std::count_if(entries.begin(), entries.end() - 1,
                                 [](const TocEntry& e) { return e.audio; });
    size_t tracks = entries.size() - 1;
    std::string report = "Disc: " + std::to_string(tracks) +
                         (tracks == 1 ? " track (" : " tracks (") + std::to_string(audio) +
                         " audio), lead-out at LBA " + std::to_string(leadOut.lba) + " (" +
                         MsfText(leadOut.lba) + ")\n";
    // Several sessions: how many, and where the last begins (READ TOC format 1).
    std::vector<uint8_t> session;
    o = disc.Run({0x43, 0, 0x01, 0, 0, 0, 0, 0, 12, 0}, &session, 12);
    if (o.scsiStatus == kScsiStatusGood && session.size() >= 12 && session[3] > 1)
        report += "Sessions: " + std::to_string(session[3]) + ", the last from track " +
                  std::to_string(session[6]) + "\n";
    if (hasText)
        report += "CD-Text: \"" + Latin1ToUtf8(text.albumTitle) + "\" by \"" +
                  Latin1ToUtf8(text.albumPerformer) + "\"\n";
    else
        report += "CD-Text: none\n";
    report += "Track  Type    Start LBA  Start MSF  Sectors  Title / Performer\n";
    for (size_t i = 0; i + 1 < entries.size(); ++i) {
        const TocEntry& e = entries[i];
        uint32_t next = entries[i + 1].lba;
        uint32_t sectors = TrackSectors(disc, e.number, next > e.lba ? next - e.lba : 0);
        char line[96];
        std::snprintf(line, sizeof(line), "%5u  %-5s  %10u  %9s  %7u", e.number,
                      e.audio ? "audio" : "data", e.lba, MsfText(e.lba).c_str(), sectors);
        report += line;
        size_t t = size_t(e.number) - 1;
        if (hasText && e.number >= 1 && t < text.titles.size() &&
            !(text.titles[t].empty() && text.performers[t].empty()))
            report += "  \"" + Latin1ToUtf8(text.titles[t]) + "\" by \"" +
                      Latin1ToUtf8(text.performers[t]) + "\"";
        report += "\n";
    }
    *out = report;
    return kOk;
}
} // namespace

bool IsEngineCommand(const std::string& name) {
    return name == "scsi" || name == "read" || name == "rip" || name == "toc";
}

int RunEngineCommand(const std::vector<std::string>& args, std::string* out, std::string* err) {
    SetParserTraceStream(nullptr); // the report alone on standard output
    if (args.empty()) {
        *err = kUsageText;
        return kUsage;
    }
    if (args[0] == "scsi")
        return Scsi(args, out, err);
    if (args[0] == "read")
        return Read(args, out, err);
    if (args[0] == "rip")
        return Rip(args, out, err);
    if (args[0] == "toc")
        return Toc(args, out, err);
    *err = kUsageText;
    return kUsage;
}

} // namespace vostrale
