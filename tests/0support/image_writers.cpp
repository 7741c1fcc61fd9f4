#include "tests/0support/image_writers.h"

#include <bzlib.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>

namespace vostrale::testing {

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kRaw = 2352;
constexpr uint32_t kSub = 96;

void Be16(Bytes& b, uint16_t v) {
    b.push_back(uint8_t(v >> 8));
    b.push_back(uint8_t(v));
}
void Be32(Bytes& b, uint32_t v) {
    Be16(b, uint16_t(v >> 16));
    Be16(b, uint16_t(v));
}
void Be64(Bytes& b, uint64_t v) {
    Be32(b, uint32_t(v >> 32));
    Be32(b, uint32_t(v));
}
void Le16(Bytes& b, uint16_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void Le32(Bytes& b, uint32_t v) {
    Le16(b, uint16_t(v));
    Le16(b, uint16_t(v >> 16));
}
void PutLe16(Bytes& b, size_t at, uint16_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
void PutLe32(Bytes& b, size_t at, uint32_t v) {
    PutLe16(b, at, uint16_t(v));
    PutLe16(b, at + 2, uint16_t(v >> 16));
}
void PutLe64(Bytes& b, size_t at, uint64_t v) {
    PutLe32(b, at, uint32_t(v));
    PutLe32(b, at + 4, uint32_t(v >> 32));
}
void Append(Bytes& b, const Bytes& more) {
    b.insert(b.end(), more.begin(), more.end());
}
void AppendText(Bytes& b, const char* s) {
    b.insert(b.end(), s, s + std::strlen(s));
}

uint8_t Bcd(uint32_t v) {
    return uint8_t(((v / 10) << 4) | (v % 10));
}

void Msf(int32_t lba, uint32_t* m, uint32_t* s, uint32_t* f) {
    int32_t v = lba + 150;
    if (v < 0)
        v = 0;
    *m = uint32_t(v) / 4500;
    *s = (uint32_t(v) / 75) % 60;
    *f = uint32_t(v) % 75;
}

std::string MsfText(uint32_t sectors) {
    char text[16];
    std::snprintf(text, sizeof(text), "%02u:%02u:%02u", sectors / 4500, (sectors / 75) % 60,
                  sectors % 75);
    return text;
}

bool IsData(Mode m) {
    return m != Mode::Audio;
}

// The stored form of one sector for a given stride.
Bytes StoredSector(Mode mode, int32_t lba, uint32_t stride) {
    Bytes raw = RawSector(mode, lba);
    if (stride == kRaw + kSub) {
        raw.resize(kRaw + kSub, 0xA5);
        return raw;
    }
    if (mode == Mode::Audio || stride == kRaw)
        return raw;
    if (stride == 2336)
        return Bytes(raw.begin() + 16, raw.end());
    // 2048: user data only.
    size_t at = mode == Mode::Mode1 ? 16 : 24;
    return Bytes(raw.begin() + at, raw.begin() + at + 2048);
}

uint16_t CrcXmodem(const uint8_t* p, size_t n) {
    uint16_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= uint16_t(p[i] << 8);
        for (int b = 0; b < 8; ++b)
            crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
    }
    return crc;
}

std::filesystem::path WithExtension(const std::filesystem::path& p, const char* ext) {
    auto copy = p;
    copy.replace_extension(ext);
    return copy;
}

} // namespace

uint8_t PatternByte(int32_t lba, uint32_t index) {
    return uint8_t(uint32_t(lba) * 131u + index * 7u + (index >> 8) + 1u);
}

std::vector<uint8_t> RawSector(Mode mode, int32_t lba) {
    Bytes s(kRaw, 0);
    if (mode == Mode::Audio) {
        for (uint32_t i = 0; i < kRaw; ++i)
            s[i] = PatternByte(lba, i);
        return s;
    }
    std::memset(&s[1], 0xFF, 10);
    uint32_t m, sec, f;
    Msf(lba, &m, &sec, &f);
    s[12] = Bcd(m);
    s[13] = Bcd(sec);
    s[14] = Bcd(f);
    size_t user = 16;
    if (mode == Mode::Mode1) {
        s[15] = 1;
    } else {
        s[15] = 2;
        const uint8_t submode = mode == Mode::Mode2Form2 ? 0x20 : 0x08;
        s[18] = s[22] = submode;
        user = 24;
    }
    for (uint32_t i = 0; i < 2048; ++i)
        s[user + i] = PatternByte(lba, i);
    return s;
}

Placement Place(const DiscSpec& disc) {
    Placement p;
    int32_t next = 0;
    uint32_t number = 1;
    for (size_t s = 0; s < disc.sessions.size(); ++s) {
        if (s > 0)
            next = p.sessionLeadOut.back() + kSessionGap;
        for (size_t i = 0; i < disc.sessions[s].tracks.size(); ++i) {
            PlacedTrack t;
            t.spec = disc.sessions[s].tracks[i];
            t.session = uint32_t(s);
            t.number = number++;
            t.index0 = next;
            t.index1 = next + int32_t(t.spec.pregap);
            t.end = t.index1 + int32_t(t.spec.sectors);
            if (i == 0)
                p.sessionStart.push_back(t.index1);
            next = t.end;
            p.tracks.push_back(t);
        }
        p.sessionLeadOut.push_back(next);
    }
    return p;
}

bool WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(out);
}

bool WriteText(const std::filesystem::path& path, const std::string& text) {
    return WriteFile(path, Bytes(text.begin(), text.end()));
}

std::filesystem::path MakeTempFolder(const std::string& prefix) {
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto p = std::filesystem::temp_directory_path() / (prefix + "-" + std::to_string(rd()));
        std::error_code ec;
        if (std::filesystem::create_directory(p, ec))
            return p;
    }
    return {};
}

// ---- CUE ----

namespace {

// PCM samples as a RIFF WAVE file, with the header variants the options ask for.
Bytes WaveFile(const Bytes& data, const CueOptions& o) {
    Bytes wav;
    AppendText(wav, "RIFF");
    Le32(wav, 0);
    AppendText(wav, "WAVE");
    const uint16_t blockAlign = uint16_t(o.wavChannels * o.wavBits / 8);
    AppendText(wav, "fmt ");
    Le32(wav, o.wavExtensible ? 40 : 16);
    Le16(wav, o.wavExtensible ? 0xFFFE : 1);
    Le16(wav, o.wavChannels);
    Le32(wav, o.wavRate);
    Le32(wav, o.wavRate * blockAlign);
    Le16(wav, blockAlign);
    Le16(wav, o.wavBits);
    if (o.wavExtensible) {
        Le16(wav, 22);
        Le16(wav, o.wavBits);
        Le32(wav, 3);
        static const uint8_t kPcmGuid[16] = {1,    0, 0, 0,    0, 0,    0x10, 0,
                                             0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
        wav.insert(wav.end(), kPcmGuid, kPcmGuid + 16);
    }
    if (o.wavExtraChunks) {
        AppendText(wav, "LIST");
        Le32(wav, 12);
        AppendText(wav, "INFOISFT");
        Le32(wav, 0);
        AppendText(wav, "JUNK");
        Le32(wav, 3);
        AppendText(wav, "abc");
        wav.push_back(0); // pad to even
    }
    AppendText(wav, "data");
    Le32(wav, uint32_t(data.size()));
    Append(wav, data);
    PutLe32(wav, 4, uint32_t(wav.size() - 8));
    return wav;
}

} // namespace

std::string TrackFileName(const CueOptions& o, uint32_t number) {
    std::filesystem::path name(o.fileName);
    char suffix[32];
    std::snprintf(suffix, sizeof(suffix), " (Track %02u)", number);
    return name.stem().string() + suffix + name.extension().string();
}

bool WriteCueImage(const std::filesystem::path& cuePath, const CueOptions& o) {
    Placement p = Place(o.disc);
    std::string sheet;
    if (!o.disc.title.empty())
        sheet += "TITLE \"" + o.disc.title + "\"\r\n";
    if (!o.disc.performer.empty())
        sheet += "PERFORMER \"" + o.disc.performer + "\"\r\n";
    const std::string type = o.wave ? "WAVE" : "BINARY";
    if (!o.filePerTrack)
        sheet += "FILE \"" + o.fileName + "\" " + type + "\r\n";
    Bytes data;
    bool ok = true;
    for (const PlacedTrack& t : p.tracks) {
        const char* word = "AUDIO";
        uint32_t stride = kRaw;
        if (IsData(t.spec.mode)) {
            stride = o.dataStride;
            if (t.spec.mode == Mode::Mode1)
                word = stride == 2048 ? "MODE1/2048" : "MODE1/2352";
            else
                word = stride == 2336 ? "MODE2/2336" : "MODE2/2352";
        }
        // One file per track holds the track's stored pregap too: its positions count from
        // the track's INDEX 00.
        const int32_t base = o.filePerTrack ? t.index0 : 0;
        if (o.filePerTrack)
            sheet += "FILE \"" + TrackFileName(o, t.number) + "\" " + type + "\r\n";
        char line[64];
        std::snprintf(line, sizeof(line), "  TRACK %02u %s\r\n", t.number, word);
        sheet += line;
        if (!t.spec.title.empty())
            sheet += "    TITLE \"" + t.spec.title + "\"\r\n";
        if (!t.spec.performer.empty())
            sheet += "    PERFORMER \"" + t.spec.performer + "\"\r\n";
        if (t.index0 != t.index1)
            sheet += "    INDEX 00 " + MsfText(uint32_t(t.index0 - base)) + "\r\n";
        sheet += "    INDEX 01 " + MsfText(uint32_t(t.index1 - base)) + "\r\n";
        for (int32_t lba = t.index0; lba < t.end; ++lba)
            Append(data, StoredSector(t.spec.mode, lba, stride));
        if (o.filePerTrack) {
            Bytes file = o.wave ? WaveFile(data, o) : data;
            ok = ok && WriteFile(cuePath.parent_path() / TrackFileName(o, t.number), file);
            data.clear();
        }
    }
    if (o.filePerTrack)
        return ok && WriteText(cuePath, sheet);
    if (o.wave)
        data = WaveFile(data, o);
    return WriteText(cuePath, sheet) && WriteFile(cuePath.parent_path() / o.fileName, data);
}

// ---- NRG ----

namespace {

struct NrgTrackForm {
    uint32_t size;
    uint8_t code;
};

NrgTrackForm NrgFormOf(Mode mode, const NrgOptions& o) {
    if (o.subchannel)
        return {kRaw + kSub, uint8_t(mode == Mode::Audio ? 16 : mode == Mode::Mode1 ? 15 : 17)};
    switch (mode) {
    case Mode::Audio:
        return {kRaw, 7};
    case Mode::Mode1:
        return o.rawData ? NrgTrackForm{kRaw, 5} : NrgTrackForm{2048, 0};
    case Mode::Mode2Form1:
        return o.rawData ? NrgTrackForm{kRaw, 6} : NrgTrackForm{2048, 2};
    case Mode::Mode2Form2:
        return o.rawData ? NrgTrackForm{kRaw, 6} : NrgTrackForm{2336, 3};
    }
    return {kRaw, 7};
}

void Chunk(Bytes& out, const char* id, const Bytes& body) {
    AppendText(out, id);
    Be32(out, uint32_t(body.size()));
    Append(out, body);
}

void CuePoint(Bytes& b, bool cuex, uint8_t adrControl, uint8_t track, uint8_t index, int32_t lba) {
    b.push_back(adrControl);
    b.push_back(track == 0xAA ? 0xAA : Bcd(track));
    b.push_back(Bcd(index));
    b.push_back(0);
    if (cuex) {
        Be32(b, uint32_t(lba));
    } else {
        uint32_t m, s, f;
        Msf(lba, &m, &s, &f);
        b.push_back(0);
        b.push_back(Bcd(m));
        b.push_back(Bcd(s));
        b.push_back(Bcd(f));
    }
}

} // namespace

bool WriteNrgImage(const std::filesystem::path& path, const NrgOptions& o) {
    Placement p = Place(o.disc);
    Bytes image;
    Bytes chunks;
    if (o.tao) {
        // Track-at-once: tracks back to back, each later one 150 sectors after the last.
        uint32_t lba = 0;
        for (size_t s = 0; s < o.disc.sessions.size(); ++s) {
            Bytes body;
            for (const TrackSpec& t : o.disc.sessions[s].tracks) {
                const uint32_t size = t.mode == Mode::Audio   ? kRaw
                                      : t.mode == Mode::Mode1 ? 2048
                                                              : 2336;
                const uint32_t code = t.mode == Mode::Audio ? 7 : t.mode == Mode::Mode1 ? 0 : 3;
                const uint64_t offset = image.size();
                for (uint32_t k = 0; k < t.sectors; ++k)
                    Append(image, StoredSector(t.mode, int32_t(lba + k), size));
                if (o.ner5) {
                    Be64(body, offset);
                    Be64(body, uint64_t(t.sectors) * size);
                    Be32(body, code);
                    Be32(body, lba);
                    Be32(body, 0);
                    Be32(body, t.sectors);
                } else {
                    Be32(body, uint32_t(offset));
                    Be32(body, t.sectors * size);
                    Be32(body, code);
                    Be32(body, lba);
                    Be32(body, 0);
                }
                lba += t.sectors;
            }
            Chunk(chunks, o.ner5 ? "ETN2" : "ETNF", body);
            Bytes sinf;
            Be32(sinf, uint32_t(o.disc.sessions[s].tracks.size()));
            Chunk(chunks, "SINF", sinf);
        }
    } else {
        for (size_t s = 0; s < o.disc.sessions.size(); ++s) {
            Bytes cues, dao;
            uint8_t first = 0, last = 0;
            const PlacedTrack* firstTrack = nullptr;
            for (const PlacedTrack& t : p.tracks) {
                if (t.session != s)
                    continue;
                if (!firstTrack)
                    firstTrack = &t;
                first = first ? first : uint8_t(t.number);
                last = uint8_t(t.number);
            }
            if (!firstTrack)
                continue;
            const uint8_t leadInControl = IsData(firstTrack->spec.mode) ? 0x41 : 0x01;
            CuePoint(cues, o.cuex, leadInControl, 0, 0, firstTrack->index0 - 150);
            for (const PlacedTrack& t : p.tracks) {
                if (t.session != s)
                    continue;
                const uint8_t adr = IsData(t.spec.mode) ? 0x41 : 0x01;
                CuePoint(cues, o.cuex, adr, uint8_t(t.number), 0,
                         &t == firstTrack ? t.index0 - 150 : t.index0);
                CuePoint(cues, o.cuex, adr, uint8_t(t.number), 1, t.index1);
                const NrgTrackForm form = NrgFormOf(t.spec.mode, o);
                const uint64_t index0 = image.size();
                for (int32_t lba = t.index0; lba < t.index1; ++lba)
                    Append(image, StoredSector(t.spec.mode, lba, form.size));
                const uint64_t index1 = image.size();
                for (int32_t lba = t.index1; lba < t.end; ++lba)
                    Append(image, StoredSector(t.spec.mode, lba, form.size));
                const uint64_t end = image.size();
                Bytes entry(12, 0);
                if (t.number - 1 < o.isrc.size())
                    std::memcpy(entry.data(), o.isrc[t.number - 1].data(),
                                std::min<size_t>(12, o.isrc[t.number - 1].size()));
                Be16(entry, uint16_t(form.size));
                entry.push_back(form.code);
                entry.push_back(0);
                Be16(entry, 1);
                if (o.daox) {
                    Be64(entry, index0);
                    Be64(entry, index1);
                    Be64(entry, end);
                } else {
                    Be32(entry, uint32_t(index0));
                    Be32(entry, uint32_t(index1));
                    Be32(entry, uint32_t(end));
                }
                Append(dao, entry);
            }
            CuePoint(cues, o.cuex, leadInControl, 0xAA, 1, p.sessionLeadOut[s]);
            Chunk(chunks, o.cuex ? "CUEX" : "CUES", cues);
            Bytes daoBody;
            Be32(daoBody, uint32_t(22 + dao.size()));
            daoBody.resize(18, 0);
            std::memcpy(daoBody.data() + 4, o.mcn.data(), std::min<size_t>(13, o.mcn.size()));
            Be16(daoBody, IsData(firstTrack->spec.mode) ? 1 : 0);
            daoBody.push_back(first);
            daoBody.push_back(last);
            Append(daoBody, dao);
            Chunk(chunks, o.daox ? "DAOX" : "DAOI", daoBody);
            Bytes sinf;
            Be32(sinf, uint32_t(last - first + 1));
            Chunk(chunks, "SINF", sinf);
        }
    }
    if (!o.cdTextPacks.empty())
        Chunk(chunks, "CDTX", o.cdTextPacks);
    Bytes mtyp;
    Be32(mtyp, o.mediaType);
    Chunk(chunks, "MTYP", mtyp);
    Chunk(chunks, "END!", {});
    const uint64_t listOffset = image.size();
    Append(image, chunks);
    if (o.ner5) {
        AppendText(image, "NER5");
        Be64(image, listOffset);
    } else {
        Be32(image, 0);
        AppendText(image, "NERO");
        Be32(image, uint32_t(listOffset));
    }
    return WriteFile(path, image);
}

// ---- MDS ----

namespace {
constexpr size_t kMdsHeader = 88;
constexpr size_t kMdsSession = 24;
constexpr size_t kMdsBlock = 80;
constexpr size_t kMdsExtra = 8;
constexpr size_t kMdsName = 16;

uint8_t MdsModeByte(Mode m) {
    switch (m) {
    case Mode::Audio:
        return 0xA9;
    case Mode::Mode1:
        return 0xAA;
    case Mode::Mode2Form1:
        return 0xEC;
    case Mode::Mode2Form2:
        return 0xED;
    }
    return 0;
}
} // namespace

bool WriteMdsImage(const std::filesystem::path& mdsPath, const MdsOptions& o) {
    Placement p = Place(o.disc);
    const bool dvd = o.mediumType >= 0x10;
    const size_t sessions = o.disc.sessions.size();
    size_t blocks = 0;
    for (const auto& s : o.disc.sessions)
        blocks += dvd ? s.tracks.size() : s.tracks.size() + 3;
    const size_t trackCount = p.tracks.size();
    const size_t blocksAt = kMdsHeader + kMdsSession * sessions;
    const size_t extraAt = blocksAt + kMdsBlock * blocks;
    const size_t nameEntryAt = extraAt + kMdsExtra * trackCount;
    const size_t nameAt = nameEntryAt + kMdsName;
    Bytes mds(nameAt, 0);
    std::memcpy(mds.data(), "MEDIA DESCRIPTOR", 16);
    mds[16] = o.major;
    mds[17] = o.minor;
    PutLe16(mds, 18, o.mediumType);
    PutLe16(mds, 20, uint16_t(sessions));
    PutLe32(mds, 80, uint32_t(kMdsHeader));
    PutLe32(mds, nameEntryAt, uint32_t(nameAt));
    PutLe32(mds, nameEntryAt + 4, o.wideName ? 1 : 0);
    for (char c : o.dataName) {
        mds.push_back(uint8_t(c));
        if (o.wideName)
            mds.push_back(0);
    }
    mds.push_back(0);
    if (o.wideName)
        mds.push_back(0);

    Bytes data;
    size_t block = 0;
    size_t trackIndex = 0;
    for (size_t s = 0; s < sessions; ++s) {
        const size_t at = kMdsHeader + kMdsSession * s;
        const size_t sessionBlocks =
            dvd ? o.disc.sessions[s].tracks.size() : o.disc.sessions[s].tracks.size() + 3;
        PutLe32(mds, at, uint32_t(p.sessionStart[s] - 150));
        PutLe32(mds, at + 4, uint32_t(p.sessionLeadOut[s]));
        PutLe16(mds, at + 8, uint16_t(s + 1));
        mds[at + 10] = uint8_t(sessionBlocks);
        mds[at + 11] = dvd ? 0 : 3;
        uint16_t firstTrack = 0, lastTrack = 0;
        for (const PlacedTrack& t : p.tracks) {
            if (t.session == s) {
                firstTrack = firstTrack ? firstTrack : uint16_t(t.number);
                lastTrack = uint16_t(t.number);
            }
        }
        PutLe16(mds, at + 12, firstTrack);
        PutLe16(mds, at + 14, lastTrack);
        PutLe32(mds, at + 20, uint32_t(blocksAt + kMdsBlock * block));
        auto blockAt = [&](size_t i) { return blocksAt + kMdsBlock * i; };
        if (!dvd) {
            const PlacedTrack* first = nullptr;
            for (const PlacedTrack& t : p.tracks) {
                if (t.session == s && !first)
                    first = &t;
            }
            const uint8_t control = IsData(first->spec.mode) ? 0x14 : 0x10;
            uint32_t m, sec, f;
            size_t b = blockAt(block++);
            mds[b + 2] = control;
            mds[b + 4] = 0xA0;
            mds[b + 9] = uint8_t(firstTrack);
            mds[b + 10] =
                first->spec.mode == Mode::Mode1 || first->spec.mode == Mode::Audio ? 0x00 : 0x20;
            b = blockAt(block++);
            mds[b + 2] = control;
            mds[b + 4] = 0xA1;
            mds[b + 9] = uint8_t(lastTrack);
            b = blockAt(block++);
            mds[b + 2] = control;
            mds[b + 4] = 0xA2;
            Msf(p.sessionLeadOut[s], &m, &sec, &f);
            mds[b + 9] = uint8_t(m);
            mds[b + 10] = uint8_t(sec);
            mds[b + 11] = uint8_t(f);
        }
        for (const PlacedTrack& t : p.tracks) {
            if (t.session != s)
                continue;
            const size_t b = blockAt(block++);
            const uint32_t stride = dvd ? 2048 : o.subchannel ? kRaw + kSub : kRaw;
            mds[b] = dvd ? 0x02 : MdsModeByte(t.spec.mode);
            mds[b + 1] = o.subchannel ? 0x08 : 0x00;
            mds[b + 2] = IsData(t.spec.mode) ? 0x14 : 0x10;
            mds[b + 4] = uint8_t(t.number);
            uint32_t m, sec, f;
            Msf(t.index1, &m, &sec, &f);
            if (dvd) {
                PutLe32(mds, b + 8, 0);
            } else {
                mds[b + 9] = uint8_t(m);
                mds[b + 10] = uint8_t(sec);
                mds[b + 11] = uint8_t(f);
                const size_t extra = extraAt + kMdsExtra * trackIndex;
                PutLe32(mds, b + 12, uint32_t(extra));
                PutLe32(mds, extra, t.spec.pregap);
                PutLe32(mds, extra + 4, t.spec.sectors);
            }
            PutLe16(mds, b + 16, uint16_t(stride));
            PutLe32(mds, b + 36, uint32_t(t.index1));
            PutLe64(mds, b + 40, data.size());
            PutLe32(mds, b + 48, 1);
            PutLe32(mds, b + 52, uint32_t(nameEntryAt));
            // Pregaps are not stored: the data file holds each track from INDEX 01.
            for (int32_t lba = t.index1; lba < t.end; ++lba)
                Append(data, StoredSector(dvd ? Mode::Mode1 : t.spec.mode, lba, stride));
            ++trackIndex;
        }
    }
    std::filesystem::path dataPath;
    if (!o.dataName.empty() && o.dataName[0] == '*')
        dataPath = WithExtension(mdsPath, o.dataName.substr(1).c_str());
    else
        dataPath = mdsPath.parent_path() / o.dataName;
    return WriteFile(mdsPath, mds) && WriteFile(dataPath, data);
}

// ---- CCD ----

bool WriteCcdImage(const std::filesystem::path& ccdPath, const CcdOptions& o) {
    Placement p = Place(o.disc);
    std::string entries;
    int entry = 0;
    auto addEntry = [&](uint32_t session, uint32_t point, uint32_t control, int32_t plba,
                        uint32_t pmin, uint32_t psec, uint32_t pframe) {
        char text[512];
        std::snprintf(
            text, sizeof(text),
            "[Entry "
            "%d]\nSession=%u\nPoint=0x%02x\nADR=0x01\nControl=0x%02x\nTrackNo=0\nAMin=0\nASec=0\n"
            "AFrame=0\nALBA=-150\nZero=0\nPMin=%u\nPSec=%u\nPFrame=%u\nPLBA=%d\n",
            entry++, session, point, control, pmin, psec, pframe, plba);
        entries += text;
    };
    std::string tracks;
    Bytes img, sub;
    for (size_t s = 0; s < o.disc.sessions.size(); ++s) {
        const PlacedTrack* first = nullptr;
        const PlacedTrack* last = nullptr;
        for (const PlacedTrack& t : p.tracks) {
            if (t.session == s) {
                first = first ? first : &t;
                last = &t;
            }
        }
        const uint32_t control = IsData(first->spec.mode) ? 4 : 0;
        uint32_t m, sec, f;
        addEntry(uint32_t(s + 1), 0xA0, control, 0, first->number,
                 first->spec.mode == Mode::Mode1 ? 0 : 0x20, 0);
        addEntry(uint32_t(s + 1), 0xA1, control, 0, last->number, 0, 0);
        Msf(p.sessionLeadOut[s], &m, &sec, &f);
        addEntry(uint32_t(s + 1), 0xA2, control, p.sessionLeadOut[s], m, sec, f);
        for (const PlacedTrack& t : p.tracks) {
            if (t.session != s)
                continue;
            Msf(t.index1, &m, &sec, &f);
            addEntry(uint32_t(s + 1), t.number, IsData(t.spec.mode) ? 4 : 0, t.index1, m, sec, f);
            char text[128];
            const int mode = t.spec.mode == Mode::Audio ? 0 : t.spec.mode == Mode::Mode1 ? 1 : 2;
            std::snprintf(text, sizeof(text), "[TRACK %u]\nMODE=%d\nINDEX 1=%d\n", t.number, mode,
                          t.index1);
            tracks += text;
            if (t.number - 1 < o.isrc.size() && !o.isrc[t.number - 1].empty())
                tracks += "ISRC=" + o.isrc[t.number - 1] + "\n";
            for (int32_t lba = t.index0; lba < t.end; ++lba) {
                Append(img, RawSector(t.spec.mode, lba));
                sub.insert(sub.end(), kSub, uint8_t(lba));
            }
        }
    }
    std::string ccd = "[CloneCD]\nVersion=" + std::to_string(o.version) +
                      "\n[Disc]\nTocEntries=" + std::to_string(entry) +
                      "\nSessions=" + std::to_string(o.disc.sessions.size()) + "\n";
    if (o.writeScrambledKey)
        ccd += "DataTracksScrambled=" + std::to_string(o.scrambled) + "\n";
    ccd += "CDTextLength=" + std::to_string(o.cdTextPacks.size()) + "\n" + o.extraDiscLines;
    if (!o.cdTextPacks.empty()) {
        ccd += "[CDText]\nEntries=" + std::to_string(o.cdTextPacks.size() / 18) + "\n";
        for (size_t i = 0; i + 18 <= o.cdTextPacks.size(); i += 18) {
            ccd += "Entry " + std::to_string(i / 18) + "=";
            for (size_t k = 0; k < 16; ++k) {
                char hex[4];
                std::snprintf(hex, sizeof(hex), "%02x", o.cdTextPacks[i + k]);
                ccd += hex;
                ccd += k + 1 < 16 ? " " : "\n";
            }
        }
    }
    ccd += entries + tracks;
    bool ok = WriteText(ccdPath, ccd) && WriteFile(WithExtension(ccdPath, ".img"), img);
    if (ok && o.writeSub)
        ok = WriteFile(WithExtension(ccdPath, ".sub"), sub);
    return ok;
}

// ---- ISZ ----

bool WriteIszImage(const std::filesystem::path& path, const IszOptions& o,
                   std::vector<uint8_t>* plainOut) {
    const uint64_t imageBytes = uint64_t(o.sectors) * o.sectorSize;
    const uint32_t chunks = uint32_t((imageBytes + o.chunkSize - 1) / o.chunkSize);
    Bytes plain(imageBytes, 0);
    Bytes stored;
    Bytes table;
    for (uint32_t c = 0; c < chunks; ++c) {
        const IszChunk kind = o.noTable ? IszChunk::Stored : o.kinds[c % o.kinds.size()];
        const uint64_t start = uint64_t(c) * o.chunkSize;
        const uint32_t length = uint32_t(std::min<uint64_t>(o.chunkSize, imageBytes - start));
        if (kind != IszChunk::Zero) {
            for (uint32_t i = 0; i < length; ++i) {
                const uint64_t at = start + i;
                plain[at] = PatternByte(int32_t(at / o.sectorSize), uint32_t(at % o.sectorSize));
            }
        }
        Bytes piece;
        switch (kind) {
        case IszChunk::Zero:
            break;
        case IszChunk::Stored:
            piece.assign(plain.begin() + start, plain.begin() + start + length);
            break;
        case IszChunk::Zlib: {
            uLongf size = compressBound(length);
            piece.resize(size);
            compress2(piece.data(), &size, plain.data() + start, length, 6);
            piece.resize(size);
            break;
        }
        case IszChunk::Bzip2: {
            unsigned size = length + length / 100 + 600;
            piece.resize(size);
            BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(piece.data()), &size,
                                     reinterpret_cast<char*>(plain.data() + start), length, 9, 0,
                                     0);
            piece.resize(size);
            // Real files have the stream's "BZh" magic overwritten.
            std::memset(piece.data(), 0, 3);
            break;
        }
        }
        const uint32_t value =
            (uint32_t(kind) << 22) | (kind == IszChunk::Zero ? length : uint32_t(piece.size()));
        table.push_back(uint8_t(value));
        table.push_back(uint8_t(value >> 8));
        table.push_back(uint8_t(value >> 16));
        Append(stored, piece);
    }
    static const uint8_t kMask[4] = {0xB6, 0x8C, 0xA5, 0xDE};
    for (size_t i = 0; i < table.size(); ++i)
        table[i] ^= kMask[i % 4];
    Bytes out(64, 0);
    std::memcpy(out.data(), "IsZ!", 4);
    out[4] = 64;
    out[5] = 1;
    PutLe16(out, 10, uint16_t(o.sectorSize));
    PutLe32(out, 12, o.sectors);
    out[16] = o.encryption;
    PutLe64(out, 17, imageBytes);
    PutLe32(out, 25, chunks);
    PutLe32(out, 29, o.chunkSize);
    out[33] = o.pointerLength;
    PutLe32(out, 35, o.noTable ? 0 : 64);
    PutLe32(out, 39, o.segmentTableOffset);
    PutLe32(out, 43, uint32_t(64 + (o.noTable ? 0 : table.size())));
    if (!o.noTable)
        Append(out, table);
    Append(out, stored);
    if (plainOut)
        *plainOut = plain;
    return WriteFile(path, out);
}

std::vector<uint8_t> SampleCdTextPacks(const std::string& album,
                                       const std::vector<std::string>& titles) {
    Bytes packs;
    std::vector<std::string> strings = {album};
    strings.insert(strings.end(), titles.begin(), titles.end());
    Bytes text;
    std::vector<uint8_t> owner;
    for (size_t i = 0; i < strings.size(); ++i) {
        for (char c : strings[i]) {
            text.push_back(uint8_t(c));
            owner.push_back(uint8_t(i));
        }
        text.push_back(0);
        owner.push_back(uint8_t(i));
    }
    uint8_t sequence = 0;
    for (size_t at = 0; at < text.size(); at += 12) {
        Bytes pack(18, 0);
        pack[0] = 0x80;
        pack[1] = owner[at];
        pack[2] = sequence++;
        for (size_t k = 0; k < 12 && at + k < text.size(); ++k)
            pack[4 + k] = text[at + k];
        const uint16_t crc = uint16_t(~CrcXmodem(pack.data(), 16));
        pack[16] = uint8_t(crc >> 8);
        pack[17] = uint8_t(crc);
        Append(packs, pack);
    }
    return packs;
}

} // namespace vostrale::testing
