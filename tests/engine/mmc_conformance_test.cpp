// The drive as programs that talk MMC see it: for each conformance rule a table of command
// blocks and the replies a drive must give (status, sense, length, the bytes that matter),
// over images written at test time and mounted through the parsers.
#include "codecs/sector.h"
#include "common/disc.h"
#include "formats/trace.h"
#include "tests/0support/image_writers.h"
#include "tests/engine/engine_fixture.h"

#include <utility>

namespace vostrale::test {
namespace {

namespace w = vostrale::testing;
using M = w::Mode;

Bytes Cdb(std::initializer_list<int> bytes) {
    Bytes b;
    for (int v : bytes)
        b.push_back(uint8_t(v));
    return b;
}

struct Row {
    const char* what;
    Bytes cdb;
    uint32_t length;                                // transfer length
    uint32_t sense;                                 // 0: GOOD
    int32_t bytes;                                  // delivered; -1: not checked
    std::vector<std::pair<uint32_t, uint32_t>> at;  // (offset, byte) that matter
};

w::DiscSpec Disc(std::vector<std::vector<w::TrackSpec>> sessions) {
    w::DiscSpec d;
    for (auto& tracks : sessions)
        d.sessions.push_back({tracks});
    return d;
}

// ---- An independent Q sub-channel, computed from the placement the writers used ----------

uint8_t Bcd(uint32_t v) {
    return uint8_t((v / 10) << 4 | (v % 10));
}

// CRC-16/CCITT bit by bit (polynomial 0x1021, initial 0), stored inverted.
uint16_t QCrc(const uint8_t* q) {
    uint16_t crc = 0;
    for (int i = 0; i < 10; ++i) {
        for (int bit = 7; bit >= 0; --bit) {
            bool top = ((crc >> 15) & 1) != (((q[i] >> bit) & 1) != 0);
            crc = uint16_t(crc << 1);
            if (top)
                crc ^= 0x1021;
        }
    }
    return uint16_t(~crc);
}

void PutMsf(uint8_t* p, uint32_t frames) {
    p[0] = Bcd(frames / 4500);
    p[1] = Bcd(frames / 75 % 60);
    p[2] = Bcd(frames % 75);
}

Bytes WithCrc(Bytes q) {
    uint16_t crc = QCrc(q.data());
    q[10] = uint8_t(crc >> 8);
    q[11] = uint8_t(crc);
    return q;
}

// ADR 1 at `lba` of a disc laid out by `placed`: a track's pregap (index 0) counts down to 0.
Bytes PositionQ(const w::Placement& placed, int32_t lba) {
    const w::PlacedTrack* t = &placed.tracks.front();
    for (const w::PlacedTrack& p : placed.tracks) {
        if (p.index0 <= lba)
            t = &p;
    }
    bool pregap = lba < t->index1;
    uint8_t control = t->spec.mode == M::Audio ? 0x0 : 0x4;
    Bytes q(12, 0);
    q[0] = uint8_t(control << 4 | 1);
    q[1] = Bcd(t->number);
    q[2] = pregap ? 0 : 1;
    PutMsf(&q[3], uint32_t(pregap ? t->index1 - 1 - lba : lba - t->index1));
    PutMsf(&q[7], uint32_t(lba + 150));
    return WithCrc(q);
}

Bytes CatalogueQ(uint8_t control, const std::string& mcn, int32_t lba) {
    Bytes q(12, 0);
    q[0] = uint8_t(control << 4 | 2);
    for (size_t i = 0; i < 13; ++i)
        q[1 + i / 2] |= uint8_t((mcn[i] - '0') << (i % 2 ? 0 : 4));
    q[9] = Bcd(uint32_t(lba + 150) % 75);
    return WithCrc(q);
}

// Five 6-bit characters ('0'-'9' = 0..9, 'A'-'Z' = 17..42), 2 zero bits, seven BCD digits,
// 4 zero bits, the absolute frame.
Bytes IsrcQ(uint8_t control, const std::string& isrc, int32_t lba) {
    std::vector<int> bits;
    auto put = [&](uint32_t value, int width) {
        for (int b = width - 1; b >= 0; --b)
            bits.push_back(int((value >> b) & 1));
    };
    for (int i = 0; i < 5; ++i) {
        char c = isrc[size_t(i)];
        put(c <= '9' ? uint32_t(c - '0') : uint32_t(c - 'A' + 17), 6);
    }
    put(0, 2);
    for (int i = 5; i < 12; ++i)
        put(uint32_t(isrc[size_t(i)] - '0'), 4);
    put(0, 4);
    Bytes q(12, 0);
    q[0] = uint8_t(control << 4 | 3);
    for (size_t i = 0; i < bits.size(); ++i)
        q[1 + i / 8] |= uint8_t(bits[i] << (7 - i % 8));
    q[9] = Bcd(uint32_t(lba + 150) % 75);
    return WithCrc(q);
}

class MmcConformanceTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        SetParserTraceStream(nullptr);
    }
    void MountWritten(const std::filesystem::path& path) {
        std::string message;
        ASSERT_TRUE(MountParsedImage(path, &message)) << path << ": " << message;
    }
    // A plain 2048-byte image of `sectors` sectors, mounted as `medium`.
    void MountPlain(uint8_t medium, uint32_t sectors, const DiscIdentity* codes = nullptr) {
        m_plain = std::make_unique<OpenFile>(m_dir.Write(
            "plain" + std::to_string(m_plainCount++) + ".iso",
            Bytes(size_t(std::min<uint32_t>(sectors, 512)) * 2048, 0)));
        MountRecord r = BaseRecord(m_plain->Handle(), medium, kReaderPlainFile, sectors);
        if (codes)
            r.discIdentity = Ptr(codes);
        ASSERT_TRUE(Mount(0, r));
        host::AdvanceClock(4000);
        Send(A(), 0, Bytes(6, 0), 0);
    }
    void Check(const char* rule, const std::vector<Row>& rows) {
        for (const Row& row : rows) {
            Reply r = Send(A(), 0, row.cdb, row.length);
            EXPECT_EQ(r.SenseTriple(), row.sense) << rule << ": " << row.what;
            EXPECT_EQ(r.Good(), row.sense == 0) << rule << ": " << row.what;
            if (row.bytes >= 0) {
                EXPECT_EQ(r.data.size(), size_t(row.bytes)) << rule << ": " << row.what;
            }
            for (const auto& [offset, value] : row.at) {
                ASSERT_LT(offset, r.data.size()) << rule << ": " << row.what;
                EXPECT_EQ(r.data[offset], value)
                    << rule << ": " << row.what << " byte " << offset;
            }
        }
    }
    std::filesystem::path WriteCue(const std::string& name, const w::DiscSpec& disc) {
        w::CueOptions o;
        o.disc = disc;
        o.fileName = name + ".bin";
        std::filesystem::path p = m_dir.Path(name + ".cue");
        EXPECT_TRUE(w::WriteCueImage(p, o));
        return p;
    }
    std::filesystem::path WriteCcd(const std::string& name, const w::CcdOptions& o) {
        std::filesystem::path p = m_dir.Path(name + ".ccd");
        EXPECT_TRUE(w::WriteCcdImage(p, o));
        return p;
    }
    std::filesystem::path WriteNrg(const std::string& name, const w::NrgOptions& o) {
        std::filesystem::path p = m_dir.Path(name + ".nrg");
        EXPECT_TRUE(w::WriteNrgImage(p, o));
        return p;
    }
    std::unique_ptr<OpenFile> m_plain;
    int m_plainCount = 0;
};

Bytes ReadToc(uint8_t format, bool msf, uint8_t control, uint16_t allocation = 1000) {
    Bytes c = Cdb({0x43, msf ? 2 : 0, format, 0, 0, 0, 0, 0, 0, control});
    StoreBe16(c.data() + 7, allocation);
    return c;
}

Bytes SubChannel(uint8_t format, uint8_t track, bool subQ = true, bool msf = false) {
    return Cdb({0x42, msf ? 2 : 0, subQ ? 0x40 : 0, format, 0, 0, track, 0, 24, 0});
}

TEST_F(MmcConformanceTest, ReadTocFormatInTheControlByte) {
    w::CcdOptions o;
    o.disc = Disc({{w::Track(M::Audio, 30)}, {w::Track(M::Mode1, 30)}});
    MountWritten(WriteCcd("two", o));
    w::Placement placed = w::Place(o.disc);
    uint32_t second = uint32_t(placed.tracks[1].index1);
    Msf secondMsf = LbaToMsf(int32_t(second));
    Reply full = Send(A(), 0, ReadToc(2, false, 0), 1000);
    ASSERT_TRUE(full.Good());
    Check("format in the control byte",
          {
              {"0x40: last session", ReadToc(0, false, 0x40), 1000, 0, 12,
               {{1, 10}, {3, 2}, {6, 2}, {8, second >> 24}, {9, (second >> 16) & 0xFF},
                {10, (second >> 8) & 0xFF}, {11, second & 0xFF}}},
              {"0x40 in MSF form", ReadToc(0, true, 0x40), 1000, 0, 12,
               {{6, 2}, {9, secondMsf.minute}, {10, secondMsf.second}, {11, secondMsf.frame}}},
              {"0x80: full TOC", ReadToc(0, false, 0x80), 1000, 0, int32_t(full.data.size()),
               {{2, 1}, {3, 2}}},
              {"0xC0: format 3 is not meant, format 0", ReadToc(0, false, 0xC0), 1000, 0,
               4 + 8 * 3, {{3, 2}}},
              {"byte 2 wins over the control byte", ReadToc(1, false, 0x80), 1000, 0, 12, {{6, 2}}},
              {"no control bits: format 0", ReadToc(0, false, 0), 1000, 0, 4 + 8 * 3,
               {{6, 1}, {14, 2}, {22, 0xAA}}},
          });
}

TEST_F(MmcConformanceTest, SynthesisedQFollowsTheToc) {
    // Data, then audio: track starts from the TOC, control from the track kind.
    w::NrgOptions mixed;
    mixed.disc = Disc({{w::Track(M::Mode1, 40), w::Track(M::Audio, 30), w::Track(M::Audio, 35)}});
    mixed.rawData = true;
    MountWritten(WriteNrg("mixed", mixed));
    w::Placement placed = w::Place(mixed.disc);
    for (int32_t lba : {0, 1, 39, 40, 41, 69, 70, 104}) {
        Reply q = Send(A(), 0, ReadCd(uint32_t(lba), 1, 0xF8, 2), 2368);
        ASSERT_TRUE(q.Good()) << lba;
        ASSERT_EQ(q.data.size(), 2368u);
        EXPECT_EQ(Slice(q.data, 2352, 12), PositionQ(placed, lba)) << "lba " << lba;
        EXPECT_EQ(Slice(q.data, 2364, 4), Bytes(4, 0)) << "no pause inside a track";
        // Raw P-W carries the same Q in channel 2, nothing in P or R-W.
        Reply raw = Send(A(), 0, ReadCd(uint32_t(lba), 1, 0x10, 1), 2448);
        ASSERT_TRUE(raw.Good());
        uint8_t linear[96];
        DeinterleaveSubchannel(raw.data.data() + raw.data.size() - 96, linear);
        EXPECT_EQ(Bytes(linear + 12, linear + 24), PositionQ(placed, lba)) << lba;
        EXPECT_EQ(Bytes(linear, linear + 12), Bytes(12, 0));
        EXPECT_EQ(Bytes(linear + 24, linear + 96), Bytes(72, 0));
    }
    // Several sectors: each record carries its own Q.
    Reply run = Send(A(), 0, ReadCd(38, 4, 0xF8, 2), 4 * 2368);
    ASSERT_TRUE(run.Good());
    for (int32_t i = 0; i < 4; ++i)
        EXPECT_EQ(Slice(run.data, size_t(i) * 2368 + 2352, 12), PositionQ(placed, 38 + i));

    // Stored pregaps (a first track that starts after one, and a later track's): index 0
    // counting down, P set.
    w::NrgOptions n;
    n.disc = Disc({{w::Track(M::Audio, 40, 150), w::Track(M::Audio, 20, 10)}});
    MountWritten(WriteNrg("pregap", n));
    placed = w::Place(n.disc);
    for (int32_t lba : {0, 75, 149, 150, 151, 189, 190, 199, 200, 219}) {
        Reply q = Send(A(), 0, ReadCd(uint32_t(lba), 1, 0, 2), 16);
        ASSERT_TRUE(q.Good()) << lba;
        ASSERT_EQ(q.data.size(), 16u);
        EXPECT_EQ(Slice(q.data, 0, 12), PositionQ(placed, lba)) << "lba " << lba;
        bool pause = lba < 150 || (lba >= 190 && lba < 200);
        EXPECT_EQ(q.data[15], pause ? 0x80 : 0x00) << "pause flag at " << lba;
    }
    // READ SUB-CHANNEL at a pregap position says index 0 of the coming track.
    ASSERT_TRUE(Send(A(), 0, Cdb({0x2B, 0, 0, 0, 0, 195, 0, 0, 0, 0}), 0).Good());
    Reply position = Send(A(), 0, SubChannel(1, 0), 24);
    ASSERT_TRUE(position.Good());
    EXPECT_EQ(position.data[6], 2);
    EXPECT_EQ(position.data[7], 0);
    EXPECT_EQ(int32_t(LoadBe32(position.data.data() + 12)), -5);
}

TEST_F(MmcConformanceTest, CatalogueAndIsrcFrames) {
    DiscIdentity codes{};
    std::memcpy(codes.mcn, "0724384260224", 13);
    std::memcpy(codes.isrc[0], "USABC9912345", 12);
    MountPlain(kMediumCd, 300, &codes);
    w::DiscSpec one = Disc({{w::Track(M::Mode1, 300)}});
    w::Placement placed = w::Place(one);
    // One frame in a hundred carries the catalogue number, another the ISRC; the rest ADR 1.
    int catalogue = 0;
    int isrc = 0;
    for (int32_t lba = 0; lba < 300; ++lba) {
        Reply q = Send(A(), 0, ReadCd(uint32_t(lba), 1, 0, 2), 16);
        ASSERT_TRUE(q.Good()) << lba;
        Bytes got = Slice(q.data, 0, 12);
        switch (got[0] & 0x0F) {
        case 2:
            ++catalogue;
            EXPECT_EQ(got, CatalogueQ(4, "0724384260224", lba)) << lba;
            break;
        case 3:
            ++isrc;
            EXPECT_EQ(got, IsrcQ(4, "USABC9912345", lba)) << lba;
            break;
        default:
            EXPECT_EQ(got, PositionQ(placed, lba)) << lba;
            break;
        }
    }
    EXPECT_EQ(catalogue, 3);
    EXPECT_EQ(isrc, 3);
    // The current position report stays a position.
    ASSERT_TRUE(Send(A(), 0, Cdb({0x2B, 0, 0, 0, 0, 50, 0, 0, 0, 0}), 0).Good());
    Reply position = Send(A(), 0, SubChannel(1, 0), 24);
    ASSERT_TRUE(position.Good());
    EXPECT_EQ(position.data[5], 0x14);
    EXPECT_EQ(position.data[7], 1);

    // Codes that are not codes refuse the record.
    DiscIdentity bad = codes;
    bad.isrc[0][7] = 'X';
    MountRecord r = BaseRecord(m_plain->Handle(), kMediumCd, kReaderPlainFile, 300);
    r.discIdentity = Ptr(&bad);
    EXPECT_FALSE(Mount(0, r));
}

TEST_F(MmcConformanceTest, SubChannelCatalogueAndIsrcFormats) {
    const std::string kIsrc = "GBAYE0000351";
    const std::string kMcn = "5012345678900";
    MountPlain(kMediumCd, 64);
    Check("a disc without codes",
          {
              {"MCN, none", SubChannel(2, 0), 24, 0, 24, {{3, 20}, {4, 2}, {8, 0x00}, {9, 0}}},
              {"ISRC of track 1, none", SubChannel(3, 1), 24, 0, 24,
               {{3, 20}, {4, 3}, {6, 1}, {8, 0x00}, {9, 0}}},
              {"ISRC of track 0", SubChannel(3, 0), 24, 0x052400, 0, {}},
              {"ISRC of track 2 of a one-track disc", SubChannel(3, 2), 24, 0x052400, 0, {}},
              {"header only without SubQ", SubChannel(2, 0, false), 24, 0, 4, {}},
              {"format 4", SubChannel(4, 0), 24, 0x052400, 0, {}},
          });
    // Codes stored in the images: CCD ([Disc] CATALOG, [TRACK n] ISRC) and NRG (DAO chunk).
    w::CcdOptions c;
    c.disc = Disc({{w::Track(M::Audio, 60), w::Track(M::Audio, 60)}});
    c.writeSub = false;
    c.extraDiscLines = "CATALOG=" + kMcn + "\n";
    c.isrc = {"", kIsrc};
    w::NrgOptions n;
    n.disc = c.disc;
    n.mcn = kMcn;
    n.isrc = {std::string(12, '\0'), kIsrc};
    for (const std::filesystem::path& image : {WriteCcd("codes", c), WriteNrg("codes", n)}) {
        MountWritten(image);
        std::vector<std::pair<uint32_t, uint32_t>> mcnBytes = {{4, 2}, {8, 0x80}};
        for (uint32_t i = 0; i < 13; ++i)
            mcnBytes.push_back({9 + i, uint8_t(kMcn[i])});
        std::vector<std::pair<uint32_t, uint32_t>> isrcBytes = {{4, 3}, {5, 0x30}, {6, 2}, {8, 0x80}};
        for (uint32_t i = 0; i < 12; ++i)
            isrcBytes.push_back({9 + i, uint8_t(kIsrc[i])});
        Check(image.extension().string().c_str(),
              {
                  {"MCN", SubChannel(2, 0), 24, 0, 24, mcnBytes},
                  {"ISRC of track 2", SubChannel(3, 2), 24, 0, 24, isrcBytes},
                  {"track 1 has none", SubChannel(3, 1), 24, 0, 24, {{8, 0x00}}},
              });
        // And the sub-channel carries them: the ISRC frame of track 2 (starts at 60).
        Reply q = Send(A(), 0, ReadCd(80, 1, 0, 2), 16);
        ASSERT_TRUE(q.Good());
        EXPECT_EQ(Slice(q.data, 0, 12), IsrcQ(0, kIsrc, 80)) << image;
        q = Send(A(), 0, ReadCd(50, 1, 0, 2), 16);
        EXPECT_EQ(Slice(q.data, 0, 12), CatalogueQ(0, kMcn, 50)) << image;
    }
}

TEST_F(MmcConformanceTest, ReadsNeverGoodWithoutTheirData) {
    w::DiscSpec disc = Disc({{w::Track(M::Mode1, 40), w::Track(M::Audio, 30)}});
    MountWritten(WriteCue("audio", disc));
    Check("data reads of audio sectors (BIN)",
          {
              {"READ CD Mode 1, user data", Cdb({0xBE, 0x08, 0, 0, 0, 50, 0, 0, 1, 0x10, 0, 0}),
               2352, 0x056400, 0, {}},
              {"READ CD Mode 2 formless", ReadCd(50, 1, 0x10, 0, kSectorMode2Formless), 2352,
               0x056400, 0, {}},
              {"READ CD Form 1", ReadCd(50, 1, 0x10, 0, kSectorMode2Form1), 2352, 0x056400, 0, {}},
              {"READ CD Form 2", ReadCd(50, 1, 0x10, 0, kSectorMode2Form2), 2352, 0x056400, 0, {}},
              {"READ CD Mode 1 from data into audio", ReadCd(38, 4, 0x10, 0, kSectorMode1),
               4 * 2048, 0x056400, 2 * 2048, {}},
              {"READ CD any type", ReadCd(50, 1, 0x10), 2352, 0, 2352, {}},
              {"READ CD CD-DA", ReadCd(50, 1, 0xF8, 0, kSectorCdda), 2352, 0, 2352, {}},
              {"READ CD Mode 1 on data", ReadCd(10, 1, 0x10, 0, kSectorMode1), 2048, 0, 2048, {}},
              {"READ(10) of audio", Read10(50, 1), 2048, 0x056400, 0, {}},
              {"READ(12) of audio", Read12(50, 1), 2048, 0x056400, 0, {}},
          });
    w::CueOptions wav;
    wav.disc = Disc({{w::Track(M::Audio, 30)}});
    wav.wave = true;
    wav.fileName = "audio.wav";
    std::filesystem::path sheet = m_dir.Path("wav.cue");
    ASSERT_TRUE(w::WriteCueImage(sheet, wav));
    MountWritten(sheet);
    Check("data reads of audio sectors (WAV)",
          {
              {"READ(10)", Read10(5, 1), 2048, 0x056400, 0, {}},
              {"READ CD Mode 1", ReadCd(5, 1, 0x10, 0, kSectorMode1), 2352, 0x056400, 0, {}},
          });
}

TEST_F(MmcConformanceTest, StoredPregapsReadFromTheFile) {
    w::NrgOptions n;
    n.disc = Disc({{w::Track(M::Audio, 40, 150), w::Track(M::Audio, 30, 20), w::Track(M::Mode1, 20)}});
    n.rawData = true;
    MountWritten(WriteNrg("stored", n));
    w::Placement placed = w::Place(n.disc);
    for (int32_t lba : {0, 1, 149, 150, 190, 209, 210, 259}) {
        Reply r = Send(A(), 0, ReadCd(uint32_t(lba), 1, 0xF8), 2352);
        ASSERT_TRUE(r.Good()) << lba << std::hex << " " << r.SenseTriple();
        const w::PlacedTrack* t = &placed.tracks.front();
        for (const w::PlacedTrack& p : placed.tracks) {
            if (p.index0 <= lba)
                t = &p;
        }
        if (t->spec.mode == M::Audio) {
            EXPECT_EQ(r.data, w::RawSector(M::Audio, lba)) << "lba " << lba;
        } else {
            EXPECT_EQ(Slice(r.data, 0, 2064), Slice(w::RawSector(M::Mode1, lba), 0, 2064))
                << "lba " << lba;
        }
    }
    // The TOC still starts the tracks at INDEX 01.
    Reply toc = Send(A(), 0, ReadToc(0, false, 0), 1000);
    ASSERT_TRUE(toc.Good());
    for (size_t i = 0; i < placed.tracks.size(); ++i)
        EXPECT_EQ(LoadBe32(toc.data.data() + 8 + 8 * i), uint32_t(placed.tracks[i].index1));
}

TEST_F(MmcConformanceTest, GapsBetweenSessionsAreUnreadable) {
    w::CcdOptions c;
    c.disc = Disc({{w::Track(M::Audio, 30)}, {w::Track(M::Mode1, 30)}});
    w::NrgOptions n;
    n.disc = Disc({{w::Track(M::Mode1, 30)}, {w::Track(M::Mode1, 30)}});
    n.rawData = true;
    for (const std::filesystem::path& image : {WriteCcd("gap", c), WriteNrg("gap", n)}) {
        MountWritten(image);
        w::Placement placed = w::Place(image.extension() == ".ccd" ? c.disc : n.disc);
        uint32_t leadOut = uint32_t(placed.sessionLeadOut[0]);
        uint32_t second = uint32_t(placed.tracks[1].index1);
        Check(image.extension().string().c_str(),
              {
                  {"last sector of session 1", ReadCd(leadOut - 1, 1, 0xF8), 2352, 0, 2352, {}},
                  {"lead-out", ReadCd(leadOut, 1, 0xF8), 2352, 0x052100, 0, {}},
                  {"lead-in", ReadCd(leadOut + 8000, 1, 0xF8), 2352, 0x052100, 0, {}},
                  {"pregap of session 2", ReadCd(second - 1, 1, 0xF8), 2352, 0x052100, 0, {}},
                  {"READ(10) in the gap", Read10(leadOut + 100, 1), 2048, 0x052100, 0, {}},
                  {"a read running into the gap", ReadCd(leadOut - 2, 4, 0xF8), 4 * 2352,
                   0x052100, 2 * 2352, {}},
                  {"first sector of session 2", ReadCd(second, 1, 0xF8), 2352, 0, 2352, {}},
                  {"READ(10) in session 2", Read10(second, 1), 2048, 0, 2048, {}},
              });
    }
}

TEST_F(MmcConformanceTest, InquiryAndModePagesTellTheirLengths) {
    MountPlain(kMediumCd, 64);
    std::vector<std::pair<uint32_t, uint32_t>> inquiry = {{4, 91}};
    const std::string text = "Melkorin" "Vostrale        " "1.0 ";
    for (uint32_t i = 0; i < text.size(); ++i)
        inquiry.push_back({8 + i, uint8_t(text[i])});
    Check("INQUIRY", {
                         {"96 bytes", Cdb({0x12, 0, 0, 0, 96, 0}), 96, 0, 96, inquiry},
                         {"36 bytes", Cdb({0x12, 0, 0, 0, 36, 0}), 36, 0, 36, {{4, 91}, {31, ' '}}},
                     });
    constexpr uint32_t kCd = 8467;
    Check("MODE SENSE on a CD",
          {
              {"(6) page 2A", Cdb({0x1A, 8, 0x2A, 0, 255, 0}), 255, 0, 30,
               {{0, 29}, {3, 0}, {4, 0x2A}, {5, 24}, {12, kCd >> 8}, {13, kCd & 0xFF},
                {18, kCd >> 8}, {19, kCd & 0xFF}}},
              {"(10) page 2A", Cdb({0x5A, 8, 0x2A, 0, 0, 0, 0, 0, 255, 0}), 255, 0, 34,
               {{0, 0}, {1, 32}, {7, 0}, {8, 0x2A}, {16, kCd >> 8}, {17, kCd & 0xFF},
                {22, kCd >> 8}, {23, kCd & 0xFF}}},
              {"(6) page 01", Cdb({0x1A, 8, 0x01, 0, 255, 0}), 255, 0, 16,
               {{0, 15}, {4, 0x01}, {5, 10}}},
              {"(10) all pages", Cdb({0x5A, 8, 0x3F, 0, 0, 0, 0, 0, 255, 0}), 255, 0, 46,
               {{1, 44}, {8, 0x01}, {20, 0x2A}}},
          });
    MountPlain(kMediumDvd, 64);
    constexpr uint32_t kDvd = 22160;
    Check("MODE SENSE on a DVD", {
                                     {"(10) page 2A", Cdb({0x5A, 8, 0x2A, 0, 0, 0, 0, 0, 255, 0}),
                                      255, 0, 34,
                                      {{16, kDvd >> 8}, {17, kDvd & 0xFF}, {22, kDvd >> 8},
                                       {23, kDvd & 0xFF}}},
                                 });
}

TEST_F(MmcConformanceTest, SpeedAndModeSelectCommands) {
    MountPlain(kMediumCd, 64);
    Check("speed commands and GET PERFORMANCE",
          {
              {"SET CD SPEED", Cdb({0xBB, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}), 0, 0, 0, {}},
              {"SET STREAMING", Cdb({0xB6, 0, 0, 0, 0, 0, 0, 0, 0, 28, 0, 0}), 0, 0, 0, {}},
              {"GET PERFORMANCE", Cdb({0xAC, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0}), 24, 0, 24,
               {{3, 20}, {8 + 7, 8467 & 0xFF}, {8 + 11, 63}, {8 + 15, 8467 & 0xFF}}},
              {"GET PERFORMANCE, no descriptors asked", Cdb({0xAC, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
               8, 0, 8, {{3, 20}}},
              {"GET PERFORMANCE write speeds", Cdb({0xAC, 0, 0, 0, 0, 0, 0, 0, 0, 4, 3, 0}), 8, 0, 8,
               {{3, 4}}},
              {"GET PERFORMANCE type 5", Cdb({0xAC, 0, 0, 0, 0, 0, 0, 0, 0, 4, 5, 0}), 8, 0x052400,
               0, {}},
          });
    struct Select {
        const char* what;
        bool ten;
        Bytes list;
        uint32_t sense;
    } selects[] = {
        {"(6) block descriptor 2048", false, {0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0x08, 0x00}, 0},
        {"(6) block descriptor 2352", false, {0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0x09, 0x30}, 0x052600},
        {"(6) error recovery page", false, {0, 0, 0, 0, 0x01, 0x0A, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0},
         0},
        {"(6) another page", false, {0, 0, 0, 0, 0x0E, 0x02, 0, 0}, 0x052600},
        {"(10) block descriptor 2048", true, {0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0x08, 0x00},
         0},
        {"(10) block descriptor 512", true, {0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0x02, 0x00},
         0x052600},
        {"(10) descriptor length 16", true, {0, 0, 0, 0, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0x08, 0x00},
         0x052600},
    };
    for (const Select& s : selects) {
        Bytes cdb = s.ten ? Cdb({0x55, 0x10, 0, 0, 0, 0, 0, 0, 0, 0})
                          : Cdb({0x15, 0x10, 0, 0, 0, 0});
        if (s.ten)
            StoreBe16(cdb.data() + 7, uint16_t(s.list.size()));
        else
            cdb[4] = uint8_t(s.list.size());
        Bytes list = s.list;
        ScsiOutcome o = A().Scsi(0, 0, 0, cdb.data(), cdb.size(), list.data(), uint32_t(list.size()));
        uint32_t triple =
            o.sense.empty() ? 0 : (uint32_t(o.sense[2] & 15) << 16) | (o.sense[12] << 8) | o.sense[13];
        EXPECT_EQ(triple, s.sense) << s.what;
        EXPECT_EQ(o.scsiStatus == 0, s.sense == 0) << s.what;
    }
    // A list longer than the data sent with it is refused.
    Bytes shortList(4, 0);
    ScsiOutcome o = A().Scsi(0, 0, 0, Cdb({0x15, 0x10, 0, 0, 12, 0}).data(), 6, shortList.data(), 4);
    EXPECT_NE(o.scsiStatus, 0);
}

TEST_F(MmcConformanceTest, MediumSpecificReplies) {
    Bytes structure = Cdb({0xAD, 0, 0, 0, 0, 0, 0, 0, 0x08, 0x04, 0, 0});
    Bytes configuration = Cdb({0x46, 0, 0, 0, 0, 0, 0, 0x01, 0, 0});
    MountPlain(kMediumCd, 64);
    Check("CD", {
                    {"READ DISC STRUCTURE", structure, 2052, 0x053002, 0, {}},
                    {"READ DISC STRUCTURE copyright", Cdb({0xAD, 0, 0, 0, 0, 0, 0, 1, 0, 8, 0, 0}),
                     8, 0x053002, 0, {}},
                });
    MountPlain(kMediumBd, 64);
    Check("BD", {
                    {"READ DISC STRUCTURE", structure, 2052, 0x053002, 0, {}},
                    {"current profile BD-ROM", configuration, 256, 0, -1, {{6, 0x00}, {7, 0x40}}},
                });
    // The feature list: no writable profile, Power Management and Timeout current.
    Reply r = Send(A(), 0, configuration, 1000);
    ASSERT_TRUE(r.Good());
    bool power = false, timeout = false;
    for (size_t off = 8; off + 4 <= r.data.size(); off += 4 + r.data[off + 3]) {
        uint16_t code = LoadBe16(r.data.data() + off);
        if (code == 0) {
            for (size_t p = off + 4; p < off + 4 + r.data[off + 3]; p += 4)
                EXPECT_NE(LoadBe16(r.data.data() + p), 0x0041) << "BD-R in the profile list";
        }
        power = power || (code == 0x0100 && (r.data[off + 2] & 1));
        timeout = timeout || (code == 0x0105 && (r.data[off + 2] & 1));
    }
    EXPECT_TRUE(power);
    EXPECT_TRUE(timeout);
}

TEST_F(MmcConformanceTest, XaDiscsReportTheirDiscType) {
    Bytes discInfo = Cdb({0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0});
    w::CueOptions xa;
    xa.disc = Disc({{w::Track(M::Mode2Form1, 30), w::Track(M::Mode2Form2, 30)}});
    xa.fileName = "xa.bin";
    std::filesystem::path xaSheet = m_dir.Path("xa.cue");
    ASSERT_TRUE(w::WriteCueImage(xaSheet, xa));
    w::CcdOptions ccd;
    ccd.disc = Disc({{w::Track(M::Mode2Form1, 30)}});
    struct Case {
        std::filesystem::path image;
        uint8_t type;
    } cases[] = {
        {xaSheet, 0x20},
        {WriteCcd("xa", ccd), 0x20}, // raw sectors: the mode is read from the track's first
        {WriteCue("mode1", Disc({{w::Track(M::Mode1, 30), w::Track(M::Audio, 30)}})), 0x00},
    };
    for (const Case& c : cases) {
        MountWritten(c.image);
        Reply full = Send(A(), 0, ReadToc(2, false, 0), 1000);
        ASSERT_TRUE(full.Good());
        bool sawA0 = false;
        for (size_t d = 4; d + 11 <= full.data.size(); d += 11) {
            if (full.data[d + 3] == 0xA0) {
                EXPECT_EQ(full.data[d + 9], c.type) << c.image;
                sawA0 = true;
            }
        }
        EXPECT_TRUE(sawA0);
        Check(c.image.filename().string().c_str(),
              {{"READ DISC INFORMATION", discInfo, 34, 0, 34, {{8, c.type}}}});
    }
    // A raw image sent without a TOC: the mode is read from the first sector, and the
    // synthesised full TOC says it too.
    Bytes raw;
    for (int32_t lba = 0; lba < 30; ++lba) {
        Bytes s = w::RawSector(M::Mode2Form1, lba);
        raw.insert(raw.end(), s.begin(), s.end());
    }
    OpenFile file(m_dir.Write("xa.raw", raw));
    ASSERT_TRUE(Mount(0, BaseRecord(file.Handle(), kMediumCd, kReaderPlainFile, 30, 2352)));
    host::AdvanceClock(4000);
    Send(A(), 0, Bytes(6, 0), 0);
    Check("raw XA without a TOC", {{"READ DISC INFORMATION", discInfo, 34, 0, 34, {{8, 0x20}}},
                                   {"A0 of the full TOC", ReadToc(2, false, 0), 48, 0, 48,
                                    {{4 + 3, 0xA0}, {4 + 9, 0x20}}}});
}

TEST_F(MmcConformanceTest, MsfAddressesPastTheirRangeAreCapped) {
    MountPlain(kMediumDvd, 2295104);
    Check("DVD in MSF form",
          {
              {"READ TOC format 0", ReadToc(0, true, 0), 20, 0, 20,
               {{8, 0}, {9, 0}, {10, 2}, {11, 0}, {14, 0xAA}, {16, 0}, {17, 0xFF}, {18, 0x3B},
                {19, 0x4A}}},
              {"READ TOC format 0, LBA", ReadToc(0, false, 0), 20, 0, 20,
               {{16, 0x00}, {17, 0x23}, {18, 0x05}, {19, 0x40}}},
          });
    // The last address that fits is still exact: 99:59:74.
    MountPlain(kMediumDvd, 449849);
    Check("the last MSF", {{"lead-out at 99:59:74", ReadToc(0, true, 0), 20, 0, 20,
                            {{17, 99}, {18, 59}, {19, 74}}}});
}

} // namespace
} // namespace vostrale::test
