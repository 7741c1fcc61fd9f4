// CUE sheets as discs are dumped and ripped: one file per track (BIN, WAV, FLAC), mixed data
// and audio, pregaps stored and not stored, catalogue numbers and ISRCs. Parsed by the real
// parser, mounted through the control door and read through the SCSI door.
#include "common/disc.h"
#include "driver/core/drive.h"
#include "formats/image_parsers.h"
#include "formats/layout.h"
#include "formats/trace.h"
#include "tests/0support/image_writers.h"
#include "tests/engine/engine_fixture.h"
#include "tools/vostrale-img/engine_commands.h"

#include <regex>

namespace vostrale::test {
namespace {

using testing::CueOptions;
using testing::Mode;

// Packed record fields cannot bind to references; tests compare copies.
template <typename T> T V(T value) {
    return value;
}

const std::filesystem::path kCd = std::filesystem::path(VOSTRALE_SHARED_DIR) / "testdata" / "cd";

Bytes ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), {});
}

class CueDiscTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        SetParserTraceStream(nullptr);
    }
    void TearDown() override {
        ReleaseLayout(&m_record);
        EngineTest::TearDown();
    }

    // Parses a sheet into m_record; the parser's message on failure.
    int Parse(const std::filesystem::path& sheet, std::string* message = nullptr) {
        ReleaseLayout(&m_record);
        PresetMountRecord(&m_record);
        std::wstring wide;
        ParserIo io;
        io.message = &wide;
        int result = OpenImage(&m_record, sheet, io);
        if (message)
            message->assign(wide.begin(), wide.end());
        return result;
    }
    // Parses, mounts on drive 0 and settles the drive.
    void MountSheet(const std::filesystem::path& sheet) {
        std::string message;
        ASSERT_EQ(Parse(sheet, &message), kParseOk) << message;
        ASSERT_TRUE(Mount(0, m_record));
        host::AdvanceClock(4000);
        SettleDrive();
    }
    Bytes Toc() {
        Reply r = Send(A(), 0, Bytes{0x43, 0, 0, 0, 0, 0, 0, 0x10, 0, 0}, 4096);
        EXPECT_TRUE(r.Good());
        return r.data;
    }
    Bytes RawDisc(uint32_t sectors) {
        Bytes disc;
        for (uint32_t lba = 0; lba < sectors; lba += 25) {
            uint32_t n = std::min(25u, sectors - lba);
            Reply r = Send(A(), 0, ReadCd(lba, n, 0xF8), n * 2352);
            EXPECT_TRUE(r.Good()) << "lba " << lba << std::hex << " " << r.SenseTriple();
            disc.insert(disc.end(), r.data.begin(), r.data.end());
        }
        return disc;
    }

    MountRecord m_record{};
    TempDir m_dir;
};

CueOptions MixedDisc() {
    CueOptions c;
    c.disc.sessions.push_back({{testing::Track(Mode::Mode1, 300),
                                testing::Track(Mode::Audio, 200, 150),
                                testing::Track(Mode::Audio, 100, 30)}});
    return c;
}

// A game dumped as one BIN per track is the same disc as its single-BIN dump: the same TOC
// with data and audio control bits, the same raw sectors, the data track's user data.
TEST_F(CueDiscTest, PerTrackBinsAreTheDiscTheSingleBinIs) {
    CueOptions single = MixedDisc();
    ASSERT_TRUE(testing::WriteCueImage(m_dir.Path("single.cue"), single));
    CueOptions split = MixedDisc();
    split.fileName = "Game.bin";
    split.filePerTrack = true;
    ASSERT_TRUE(testing::WriteCueImage(m_dir.Path("split.cue"), split));
    const Bytes file = ReadAll(m_dir.Path("image.bin"));
    const uint32_t sectors = uint32_t(file.size() / 2352);
    ASSERT_EQ(sectors, 780u);

    MountSheet(m_dir.Path("single.cue"));
    EXPECT_EQ(V(m_record.readerKind), kReaderPlainFile);
    const Bytes singleToc = Toc();
    const Bytes singleDisc = RawDisc(sectors);

    MountSheet(m_dir.Path("split.cue"));
    EXPECT_EQ(V(m_record.readerKind), kReaderMultiFile);
    EXPECT_EQ(V(m_record.kindCount), 3u);
    const Bytes toc = Toc();
    EXPECT_EQ(toc, singleToc);
    ASSERT_EQ(toc.size(), 4u + 8 * 4);
    const struct {
        uint8_t control, number;
        uint32_t lba;
    } expected[] = {{0x14, 1, 0}, {0x10, 2, 450}, {0x10, 3, 680}, {0x14, 0xAA, 780}};
    for (size_t i = 0; i < 4; ++i) {
        const uint8_t* d = toc.data() + 4 + 8 * i;
        EXPECT_EQ(d[1], expected[i].control) << i;
        EXPECT_EQ(d[2], expected[i].number) << i;
        EXPECT_EQ(LoadBe32(d + 4), expected[i].lba) << i;
    }
    const Bytes disc = RawDisc(sectors);
    EXPECT_TRUE(disc == file);
    EXPECT_TRUE(disc == singleDisc);

    Reply data = Send(A(), 0, Read10(16, 2), 4096);
    ASSERT_TRUE(data.Good());
    EXPECT_EQ(Slice(data.data, 0, 2048), Slice(file, 16 * 2352 + 16, 2048));
    EXPECT_EQ(Slice(data.data, 2048, 2048), Slice(file, 17 * 2352 + 16, 2048));
    // An audio sector is never handed out as data.
    Reply audio = Send(A(), 0, Read10(500, 1), 2048);
    EXPECT_EQ(audio.SenseTriple(), kSenseIllegalMode);
    // A read across the boundary of two files continues in the next one.
    Reply across = Send(A(), 0, ReadCd(440, 20, 0xF8), 20 * 2352);
    ASSERT_TRUE(across.Good());
    EXPECT_EQ(across.data, Slice(file, 440 * 2352, 20 * 2352));
}

// PREGAP and POSTGAP add sectors that no file stores: silence in an audio track, synthesised
// sectors over zero user data in a data track; the TOC counts them.
TEST_F(CueDiscTest, UnstoredGapsTakeTheirPlaceOnTheDisc) {
    Bytes data, audio;
    for (int32_t lba = 0; lba < 100; ++lba) {
        Bytes s = testing::RawSector(Mode::Mode1, lba);
        data.insert(data.end(), s.begin(), s.end());
    }
    for (int32_t lba = 0; lba < 75; ++lba) {
        Bytes s = testing::RawSector(Mode::Audio, lba + 1000);
        audio.insert(audio.end(), s.begin(), s.end());
    }
    m_dir.Write("data.bin", data);
    m_dir.Write("audio.bin", audio);
    ASSERT_TRUE(testing::WriteText(m_dir.Path("gaps.cue"),
                                   "FILE \"data.bin\" BINARY\n  TRACK 01 MODE1/2352\n"
                                   "    INDEX 01 00:00:00\n    POSTGAP 00:00:10\n"
                                   "FILE \"audio.bin\" BINARY\n  TRACK 02 AUDIO\n"
                                   "    PREGAP 00:02:00\n    INDEX 01 00:00:00\n"
                                   "    POSTGAP 00:00:05\n"));
    MountSheet(m_dir.Path("gaps.cue"));
    EXPECT_EQ(V(m_record.totalSectors), 100u + 10 + 150 + 75 + 5);
    const Bytes toc = Toc();
    ASSERT_EQ(toc.size(), 4u + 8 * 3);
    EXPECT_EQ(LoadBe32(toc.data() + 4 + 8 + 4), 260u); // track 2 after both gaps
    EXPECT_EQ(LoadBe32(toc.data() + 4 + 16 + 4), 340u);

    Reply postgap = Send(A(), 0, ReadCd(105, 1, 0xF8), 2352);
    ASSERT_TRUE(postgap.Good());
    Bytes header = Slice(postgap.data, 0, 16);
    EXPECT_EQ(header, (Bytes{0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0,
                             0x00, 0x03, 0x30, 0x01})); // 00:03:30 = LBA 105, Mode 1
    Reply postgapData = Send(A(), 0, Read10(105, 1), 2048);
    ASSERT_TRUE(postgapData.Good());
    EXPECT_EQ(postgapData.data, Bytes(2048, 0));
    Reply pregap = Send(A(), 0, ReadCd(200, 2, 0xF8), 2 * 2352);
    ASSERT_TRUE(pregap.Good());
    EXPECT_EQ(pregap.data, Bytes(2 * 2352, 0));
    Reply stored = Send(A(), 0, ReadCd(260, 75, 0xF8), 75 * 2352);
    ASSERT_TRUE(stored.Good());
    EXPECT_TRUE(stored.data == audio);
    Reply tail = Send(A(), 0, ReadCd(335, 5, 0xF8), 5 * 2352);
    ASSERT_TRUE(tail.Good());
    EXPECT_EQ(tail.data, Bytes(5 * 2352, 0));
}

// A music CD ripped as one WAV or FLAC file per track: every track reads back as its file's
// samples, byte for byte, and the TOC has audio tracks where the files begin.
TEST_F(CueDiscTest, PerTrackAudioFilesRipAsTheirSamples) {
    CueOptions c;
    c.wave = true;
    c.fileName = "album.wav";
    c.filePerTrack = true;
    c.disc.sessions.push_back({{testing::Track(Mode::Audio, 120),
                                testing::Track(Mode::Audio, 90, 40),
                                testing::Track(Mode::Audio, 61)}});
    ASSERT_TRUE(testing::WriteCueImage(m_dir.Path("wav.cue"), c));
    std::vector<Bytes> pcm;
    for (uint32_t t = 1; t <= 3; ++t) {
        Bytes wav = ReadAll(m_dir.Path(testing::TrackFileName(c, t)));
        pcm.push_back(Slice(wav, 44, wav.size() - 44));
    }
    const Bytes text = ReadAll(m_dir.Path("wav.cue"));
    const std::string sheet(text.begin(), text.end());
    std::vector<std::string> kinds = {"wav.cue"};
#ifndef _WIN32
    if (std::system("flac --version > /dev/null 2>&1") == 0) {
        setenv("XDG_CACHE_HOME", m_dir.Path("cache").c_str(), 1);
        std::string flacSheet = sheet;
        for (uint32_t t = 1; t <= 3; ++t) {
            std::string wav = testing::TrackFileName(c, t);
            std::string flac = wav.substr(0, wav.size() - 4) + ".flac";
            std::string cmd = "flac --silent --force -o '" + m_dir.Path(flac).string() + "' '" +
                              m_dir.Path(wav).string() + "'";
            ASSERT_EQ(std::system(cmd.c_str()), 0);
            flacSheet.replace(flacSheet.find(wav), wav.size(), flac);
        }
        ASSERT_TRUE(testing::WriteText(m_dir.Path("flac.cue"), flacSheet));
        kinds.push_back("flac.cue");
    }
#endif
    for (const std::string& name : kinds) {
        MountSheet(m_dir.Path(name));
        EXPECT_EQ(V(m_record.readerKind), kReaderMultiFile) << name;
        const Bytes toc = Toc();
        ASSERT_EQ(toc.size(), 4u + 8 * 4) << name;
        const uint32_t starts[] = {0, 160, 250};
        uint32_t first = 0;
        for (uint32_t t = 0; t < 3; ++t) {
            const uint8_t* d = toc.data() + 4 + 8 * t;
            EXPECT_EQ(d[1], 0x10) << name;
            EXPECT_EQ(LoadBe32(d + 4), starts[t]) << name;
            // The file holds the track's stored pregap and the track.
            uint32_t sectors = uint32_t(pcm[t].size() / 2352);
            Bytes ripped;
            for (uint32_t lba = first; lba < first + sectors; lba += 27) {
                uint32_t n = std::min(27u, first + sectors - lba);
                Reply r = Send(A(), 0, ReadCd(lba, n, 0x10, 0, kSectorCdda), n * 2352);
                ASSERT_TRUE(r.Good()) << name << " lba " << lba << std::hex << " "
                                      << r.SenseTriple();
                ripped.insert(ripped.end(), r.data.begin(), r.data.end());
            }
            EXPECT_TRUE(ripped == pcm[t]) << name << " track " << t + 1;
            first += sectors;
        }
        EXPECT_EQ(V(m_record.totalSectors), first) << name;
        // Reads that jump between files: each file's span is decoded anew, never taken from
        // another file's cache.
        const uint32_t lastOfOne = uint32_t(pcm[0].size() / 2352) - 1;
        for (int round = 0; round < 2; ++round) {
            for (uint32_t lba : {lastOfOne + 1, lastOfOne, lastOfOne + 1}) {
                Reply r = Send(A(), 0, ReadCd(lba, 1, 0x10, 0, kSectorCdda), 2352);
                ASSERT_TRUE(r.Good()) << name;
                EXPECT_EQ(r.data, lba == lastOfOne ? Slice(pcm[0], lastOfOne * 2352, 2352)
                                                   : Slice(pcm[1], 0, 2352))
                    << name << " lba " << lba;
            }
        }
    }
#ifndef _WIN32
    EXPECT_EQ(kinds.size(), 2u) << "the flac tool is installed by setup";
#endif
}

// vostrale-img on a music CD ripped as one FLAC per track (gaps appended to the previous
// track): toc lists the tracks with their titles, and rip of every track equals the samples
// `flac -d` gives for that track's file.
TEST_F(CueDiscTest, ImgToolRipsEveryTrackOfAPerTrackFlacSheetAsFlacDecodesIt) {
#ifdef _WIN32
    GTEST_SKIP() << "needs the flac tool";
#else
    if (std::system("flac --version > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "flac tool missing";
    setenv("XDG_CACHE_HOME", m_dir.Path("cache").c_str(), 1);
    CueOptions c;
    c.wave = true;
    c.fileName = "Band - Album.wav";
    c.filePerTrack = true;
    c.disc.title = "Album";
    c.disc.sessions.push_back({{testing::Track(Mode::Audio, 75, 0, "Intro"),
                                testing::Track(Mode::Audio, 101, 0, "Song"),
                                testing::Track(Mode::Audio, 33, 0, "Outro")}});
    ASSERT_TRUE(testing::WriteCueImage(m_dir.Path("album.cue"), c));
    Bytes text = ReadAll(m_dir.Path("album.cue"));
    std::string sheet(text.begin(), text.end());
    std::vector<std::string> flacs;
    for (uint32_t t = 1; t <= 3; ++t) {
        std::string wav = testing::TrackFileName(c, t);
        std::string flac = wav.substr(0, wav.size() - 4) + ".flac";
        std::string cmd = "flac --silent --force -o '" + m_dir.Path(flac).string() + "' '" +
                          m_dir.Path(wav).string() + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        sheet.replace(sheet.find(wav), wav.size(), flac);
        std::filesystem::remove(m_dir.Path(wav));
        flacs.push_back(flac);
    }
    ASSERT_TRUE(testing::WriteText(m_dir.Path("album.cue"), sheet));
    std::string out, err;
    ASSERT_EQ(RunEngineCommand({"toc", m_dir.Path("album.cue").string()}, &out, &err), 0) << err;
    EXPECT_NE(out.find("Disc: 3 tracks (3 audio), lead-out at LBA 209"), std::string::npos) << out;
    EXPECT_NE(out.find("    2  audio          75   00:03:00      101  \"Song\""),
              std::string::npos)
        << out;
    for (uint32_t t = 1; t <= 3; ++t) {
        std::string ripped = m_dir.Path("rip.wav").string();
        ASSERT_EQ(RunEngineCommand({"rip", m_dir.Path("album.cue").string(), "--track",
                                    std::to_string(t), "--out", ripped},
                                   &out, &err),
                  0)
            << err;
        std::string reference = m_dir.Path("reference.raw").string();
        std::string cmd = "flac --silent --decode --force --force-raw-format --endian=little "
                          "--sign=signed -o '" +
                          reference + "' '" + m_dir.Path(flacs[t - 1]).string() + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        Bytes wav = ReadAll(ripped);
        Bytes pcm = ReadAll(reference);
        ASSERT_GT(wav.size(), 44u);
        EXPECT_TRUE(Slice(wav, 44, wav.size() - 44) == pcm) << "track " << t;
    }
#endif
}

// CATALOG and ISRC reach the engine's disc, whatever record kind the sheet becomes; a record
// carrying malformed ones is refused.
TEST_F(CueDiscTest, CatalogueNumberAndIsrcsReachTheDisc) {
    CueOptions c = MixedDisc();
    ASSERT_TRUE(testing::WriteCueImage(m_dir.Path("plain.cue"), c));
    c.filePerTrack = true;
    c.fileName = "split.bin";
    ASSERT_TRUE(testing::WriteCueImage(m_dir.Path("split.cue"), c));
    const std::string identity = "CATALOG 0000010271955\r\n";
    for (const char* name : {"plain.cue", "split.cue"}) {
        Bytes text = ReadAll(m_dir.Path(name));
        std::string sheet = identity + std::string(text.begin(), text.end());
        size_t track2 = sheet.find("TRACK 02 AUDIO\r\n");
        ASSERT_NE(track2, std::string::npos);
        sheet.insert(track2 + 16, "    ISRC usabc1234567\r\n");
        ASSERT_TRUE(testing::WriteText(m_dir.Path(name), sheet));
        ASSERT_EQ(Parse(m_dir.Path(name)), kParseOk) << name;
        Disc* disc = PrepareDisc(m_record);
        ASSERT_NE(disc, nullptr) << name;
        EXPECT_EQ(std::string(disc->mcn, 13), "0000010271955") << name;
        EXPECT_EQ(std::string(disc->isrc[2], 12), "USABC1234567") << name;
        EXPECT_EQ(disc->isrc[1][0], 0) << name;
        EXPECT_EQ(disc->isrc[3][0], 0) << name;
        FreeDisc(disc);

        auto* block = PointerOf<DiscIdentity>(m_record.discIdentity);
        ASSERT_NE(block, nullptr);
        for (auto [at, bad] : {std::pair{size_t(0), 'x'}, {size_t(16 + 12 + 7), 'A'},
                               {size_t(13), '1'}}) {
            char* byte = reinterpret_cast<char*>(block) + at;
            char kept = *byte;
            *byte = bad;
            EXPECT_FALSE(Mount(0, m_record)) << name << " byte " << at;
            *byte = kept;
        }
        EXPECT_TRUE(Mount(0, m_record)) << name;
    }
}

// The samples' sheets: the catalogue number is the one libcdio reads, and FLAGS DCP shows as
// the copy bit libcdio reports.
TEST_F(CueDiscTest, SampleSheetsCarryTheirCatalogueAndFlags) {
    int checked = 0;
    for (const char* name : {"cdda.cue", "isofs-m1.cue"}) {
        std::ifstream info(kCd / (std::string(name) + ".cd-info.txt"));
        if (!std::filesystem::exists(kCd / name) || !info)
            continue;
        std::string line, mcn;
        bool copy = false;
        std::regex mcnLine(R"(Media Catalog Number \(MCN\): (\d{13}))");
        std::regex track1(R"(^\s*1: \S+\s+\d+\s+(\w+)\s+\w+\s+(yes|no))");
        while (std::getline(info, line)) {
            std::smatch m;
            if (std::regex_search(line, m, mcnLine))
                mcn = m[1];
            if (std::regex_search(line, m, track1))
                copy = m[2] == "yes";
        }
        MountSheet(kCd / name);
        Disc* disc = PrepareDisc(m_record);
        ASSERT_NE(disc, nullptr) << name;
        EXPECT_EQ(std::string(disc->mcn, 13), mcn) << name;
        FreeDisc(disc);
        Bytes toc = Toc();
        ASSERT_GE(toc.size(), 12u);
        EXPECT_EQ((toc[5] & 0x02) != 0, copy) << name;
        ++checked;
    }
    if (checked == 0)
        GTEST_SKIP() << "no samples";
}

std::string Position(uint32_t sectors) {
    char text[16];
    std::snprintf(text, sizeof(text), "%02u:%02u:%02u", sectors / 4500, sectors / 75 % 60,
                  sectors % 75);
    return text;
}

Bytes Sectors(Mode mode, int32_t first, uint32_t count) {
    Bytes out;
    for (uint32_t i = 0; i < count; ++i) {
        Bytes s = testing::RawSector(mode, first + int32_t(i));
        out.insert(out.end(), s.begin(), s.end());
    }
    return out;
}

Bytes BcdMsf(uint32_t frames) {
    auto bcd = [](uint32_t v) { return uint8_t((v / 10) << 4 | (v % 10)); };
    return {bcd(frames / 4500), bcd(frames / 75 % 60), bcd(frames % 75)};
}

// A CD-Extra as dumps carry it: three audio tracks in session 1 (track 2 with its pregap
// stored), a Mode 2 data track in session 2. Dumped one BIN per track, and as one BIN whose
// data track stores its 2-second pregap: both are the disc a drive reads, the second session
// after the gap a disc has (lead-out 6750, lead-in 4500, pregap 150 sectors), which no read
// reaches.
TEST_F(CueDiscTest, SessionsOfACdExtraSitWhereADiscHasThem) {
    constexpr uint32_t kLeadOut1 = 270, kData = 50;
    constexpr uint32_t kProgram2 = kLeadOut1 + 6750 + 4500; // after session 2's lead-in
    constexpr uint32_t kTrack4 = kProgram2 + 150;
    constexpr uint32_t kTotal = kTrack4 + kData;
    const Bytes t1 = Sectors(Mode::Audio, 0, 100), t2 = Sectors(Mode::Audio, 100, 110),
                t3 = Sectors(Mode::Audio, 210, 60);
    const Bytes t4 = Sectors(Mode::Mode2Form1, kTrack4, kData);
    const Bytes pregap4 = Sectors(Mode::Mode2Form1, kProgram2, 150);
    m_dir.Write("t1.bin", t1);
    m_dir.Write("t2.bin", t2);
    m_dir.Write("t3.bin", t3);
    m_dir.Write("t4.bin", t4);
    Bytes whole = t1;
    for (const Bytes* b : {&t2, &t3, &pregap4, &t4})
        whole.insert(whole.end(), b->begin(), b->end());
    m_dir.Write("whole.bin", whole);
    ASSERT_TRUE(testing::WriteText(
        m_dir.Path("split.cue"),
        "REM SESSION 01\nFILE \"t1.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
        "FILE \"t2.bin\" BINARY\n  TRACK 02 AUDIO\n    INDEX 00 00:00:00\n"
        "    INDEX 01 00:00:30\nFILE \"t3.bin\" BINARY\n  TRACK 03 AUDIO\n"
        "    INDEX 01 00:00:00\nREM SESSION 02\nFILE \"t4.bin\" BINARY\n"
        "  TRACK 04 MODE2/2352\n    INDEX 01 00:00:00\n"));
    ASSERT_TRUE(testing::WriteText(
        m_dir.Path("whole.cue"),
        "REM SESSION 01\nFILE \"whole.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
        "  TRACK 02 AUDIO\n    INDEX 00 " + Position(100) + "\n    INDEX 01 " + Position(130) +
        "\n  TRACK 03 AUDIO\n    INDEX 01 " + Position(210) + "\nREM SESSION 02\n"
        "  TRACK 04 MODE2/2352\n    INDEX 00 " + Position(270) + "\n    INDEX 01 " +
        Position(420) + "\n"));

    // The full TOC, computed here: per session A0, A1, A2 and its tracks; B0 (the next
    // program area, the last lead-out) and C0 after session 1.
    auto desc = [](uint8_t session, uint8_t control, uint8_t point, Msf at, uint8_t zero,
                   Msf p) {
        return Bytes{session, control, 0, point, at.minute, at.second, at.frame, zero,
                     p.minute, p.second, p.frame};
    };
    const Msf none{0, 0, 0};
    std::vector<Bytes> descriptors = {
        desc(1, 0x10, 0xA0, none, 0, {1, 0x00, 0}),
        desc(1, 0x10, 0xA1, none, 0, {3, 0, 0}),
        desc(1, 0x10, 0xA2, none, 0, LbaToMsf(kLeadOut1)),
        desc(1, 0x10, 1, none, 0, LbaToMsf(0)),
        desc(1, 0x10, 2, none, 0, LbaToMsf(130)),
        desc(1, 0x10, 3, none, 0, LbaToMsf(210)),
        desc(1, 0x50, 0xB0, LbaToMsf(kProgram2), 2, LbaToMsf(kTotal)),
        desc(1, 0x50, 0xC0, none, 0, {0x5F, 0, 0}),
        desc(2, 0x14, 0xA0, none, 0, {4, 0x20, 0}),
        desc(2, 0x14, 0xA1, none, 0, {4, 0, 0}),
        desc(2, 0x14, 0xA2, none, 0, LbaToMsf(kTotal)),
        desc(2, 0x14, 4, none, 0, LbaToMsf(kTrack4)),
    };
    Bytes fullToc = {0, uint8_t(11 * descriptors.size() + 2), 1, 2};
    for (const Bytes& d : descriptors)
        fullToc.insert(fullToc.end(), d.begin(), d.end());

    for (const char* name : {"split.cue", "whole.cue"}) {
        SCOPED_TRACE(name);
        const bool split = std::string(name) == "split.cue";
        MountSheet(m_dir.Path(name));
        EXPECT_EQ(V(m_record.readerKind), split ? kReaderMultiFile : kReaderPlainFile);
        EXPECT_EQ(V(m_record.sessions), 2u);
        EXPECT_EQ(V(m_record.totalSectors), kTotal);
        const auto* stored = PointerOf<uint8_t>(m_record.fullToc);
        ASSERT_NE(stored, nullptr);
        EXPECT_EQ(Bytes(stored, stored + LoadBe16(stored) + 2), fullToc);

        // Format 2 as the drive returns it: an XA disc's A0 points say so.
        Bytes expected = fullToc;
        expected[4 + 9] = 0x20;
        Reply full = Send(A(), 0, Bytes{0x43, 0, 2, 0, 0, 0, 0, 0x10, 0, 0}, 4096);
        ASSERT_TRUE(full.Good());
        EXPECT_EQ(full.data, expected);
        // Format 0: every track of both sessions, the lead-out of the last.
        const Bytes toc = Toc();
        Bytes formatted = {0, 42, 1, 4};
        const struct {
            uint8_t control, number;
            uint32_t lba;
        } tracks[] = {{0x10, 1, 0}, {0x10, 2, 130}, {0x10, 3, 210}, {0x14, 4, kTrack4},
                      {0x14, 0xAA, kTotal}};
        for (const auto& t : tracks) {
            Bytes d = {0, t.control, t.number, 0, 0, 0, 0, 0};
            StoreBe32(d.data() + 4, t.lba);
            formatted.insert(formatted.end(), d.begin(), d.end());
        }
        EXPECT_EQ(toc, formatted);
        // Format 1: the first track of the last session.
        Reply session = Send(A(), 0, Bytes{0x43, 0, 1, 0, 0, 0, 0, 0, 12, 0}, 12);
        ASSERT_TRUE(session.Good());
        Bytes last = {0, 10, 1, 2, 0, 0x14, 4, 0, 0, 0, 0, 0};
        StoreBe32(last.data() + 8, kTrack4);
        EXPECT_EQ(session.data, last);

        Reply info = Send(A(), 0, Bytes{0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0}, 34);
        ASSERT_TRUE(info.Good());
        EXPECT_EQ(info.data[4], 2);                    // sessions
        EXPECT_EQ(Slice(info.data, 5, 2), (Bytes{4, 4})); // tracks of the last session
        const struct {
            uint8_t number, session;
            uint32_t start, size;
        } trackInfo[] = {{3, 1, 210, kLeadOut1 - 210}, {4, 2, kTrack4, kData}};
        for (const auto& t : trackInfo) {
            Reply r = Send(A(), 0, Bytes{0x52, 1, 0, 0, 0, t.number, 0, 0, 36, 0}, 36);
            ASSERT_TRUE(r.Good());
            EXPECT_EQ(r.data[3], t.session) << int(t.number);
            EXPECT_EQ(LoadBe32(r.data.data() + 8), t.start) << int(t.number);
            EXPECT_EQ(LoadBe32(r.data.data() + 24), t.size) << int(t.number);
        }
        Reply capacity = Send(A(), 0, Bytes{0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8);
        ASSERT_TRUE(capacity.Good());
        EXPECT_EQ(LoadBe32(capacity.data.data()), kTotal - 1);

        // Session 1 reads as stored; the data track's sectors are the BIN's, at their LBA.
        EXPECT_TRUE(RawDisc(kLeadOut1) == Slice(whole, 0, kLeadOut1 * 2352));
        Reply data = Send(A(), 0, ReadCd(kTrack4, 3, 0xF8), 3 * 2352);
        ASSERT_TRUE(data.Good());
        EXPECT_EQ(data.data, Slice(t4, 0, 3 * 2352));
        Reply user = Send(A(), 0, Read10(kTrack4 + 1, 1), 2048);
        ASSERT_TRUE(user.Good());
        EXPECT_EQ(user.data, Slice(t4, 2352 + 24, 2048));
        // Nothing between the sessions reads; a stored pregap of the data track does.
        for (uint32_t lba : {kLeadOut1, kLeadOut1 + 6750, kProgram2 - 1}) {
            EXPECT_EQ(Send(A(), 0, ReadCd(lba, 1, 0xF8), 2352).SenseTriple(), kSenseOutOfRange)
                << lba;
            EXPECT_EQ(Send(A(), 0, Read10(lba, 1), 2048).SenseTriple(), kSenseOutOfRange) << lba;
        }
        Reply pregap = Send(A(), 0, ReadCd(kProgram2, 150, 0xF8), 150 * 2352);
        if (split) {
            EXPECT_EQ(pregap.SenseTriple(), kSenseOutOfRange);
        } else {
            ASSERT_TRUE(pregap.Good());
            EXPECT_TRUE(pregap.data == pregap4);
            // Its Q: track 4, index 0, the time left to INDEX 01.
            Reply q = Send(A(), 0, ReadCd(kTrack4 - 70, 1, 0xF8, 2), 2352 + 16);
            ASSERT_TRUE(q.Good());
            EXPECT_EQ(Slice(q.data, 2352, 6), (Bytes{0x41, 0x04, 0x00, 0x00, 0x00, 0x69}));
        }
    }

    std::string out, err;
    ASSERT_EQ(RunEngineCommand({"toc", m_dir.Path("split.cue").string()}, &out, &err), 0) << err;
    EXPECT_NE(out.find("Disc: 4 tracks (3 audio), lead-out at LBA 11720"), std::string::npos)
        << out;
    EXPECT_NE(out.find("Sessions: 2, the last from track 4\n"), std::string::npos) << out;
    // Each session's last track ends at its own lead-out.
    EXPECT_NE(out.find("    3  audio         210   00:04:60       60"), std::string::npos) << out;
    EXPECT_NE(out.find("    4  data        11670   02:37:45       50"), std::string::npos) << out;
    ASSERT_EQ(RunEngineCommand({"rip", m_dir.Path("split.cue").string(), "--track", "3", "--out",
                                m_dir.Path("t3.wav").string()},
                               &out, &err),
              0)
        << err;
    EXPECT_TRUE(Slice(ReadAll(m_dir.Path("t3.wav")), 44, t3.size()) == t3);
}

// A stored INDEX 00 span is the next track's pregap: the Q sub-channel (READ CD, READ
// SUB-CHANNEL) gives index 0 there with the time counting down to INDEX 01, index 1 from it.
// Raw reads stay the stored bytes.
TEST_F(CueDiscTest, StoredPregapsCarryIndexZero) {
    CueOptions one;
    one.disc.sessions.push_back(
        {{testing::Track(Mode::Audio, 100), testing::Track(Mode::Audio, 80, 30)}});
    ASSERT_TRUE(testing::WriteCueImage(m_dir.Path("one.cue"), one));
    CueOptions split = one;
    split.fileName = "split.bin";
    split.filePerTrack = true;
    ASSERT_TRUE(testing::WriteCueImage(m_dir.Path("split.cue"), split));
    const Bytes bin = ReadAll(m_dir.Path("image.bin"));
    ASSERT_EQ(bin.size(), 210u * 2352);
    // The album as one WAV (and one FLAC where the tool is at hand): the audio kinds.
    CueOptions wave = one;
    wave.wave = true;
    wave.fileName = "album.wav";
    ASSERT_TRUE(testing::WriteCueImage(m_dir.Path("wav.cue"), wave));
    const Bytes pcm = Slice(ReadAll(m_dir.Path("album.wav")), 44, 210 * 2352);
    std::vector<std::pair<std::string, uint8_t>> sheets = {{"one.cue", kReaderPlainFile},
                                                           {"split.cue", kReaderMultiFile},
                                                           {"wav.cue", kReaderWav}};
#ifndef _WIN32
    if (std::system("flac --version > /dev/null 2>&1") == 0) {
        setenv("XDG_CACHE_HOME", m_dir.Path("cache").c_str(), 1);
        std::string cmd = "flac --silent --force -o '" + m_dir.Path("album.flac").string() +
                          "' '" + m_dir.Path("album.wav").string() + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        Bytes text = ReadAll(m_dir.Path("wav.cue"));
        std::string sheet(text.begin(), text.end());
        sheet.replace(sheet.find("album.wav"), 9, "album.flac");
        ASSERT_TRUE(testing::WriteText(m_dir.Path("flac.cue"), sheet));
        sheets.push_back({"flac.cue", kReaderFlac});
    }
#endif
    for (const auto& [name, kind] : sheets) {
        SCOPED_TRACE(name);
        MountSheet(m_dir.Path(name));
        EXPECT_EQ(V(m_record.readerKind), kind);
        const bool binary = kind == kReaderPlainFile || kind == kReaderMultiFile;
        EXPECT_TRUE(RawDisc(210) == (binary ? bin : pcm));
        const struct {
            uint32_t lba;
            uint8_t track, index;
            uint32_t relative; // frames shown: left to INDEX 01 in a pregap
        } cases[] = {{99, 1, 1, 99}, {100, 2, 0, 29}, {115, 2, 0, 14},
                     {129, 2, 0, 0},  {130, 2, 1, 0},  {131, 2, 1, 1}};
        for (const auto& c : cases) {
            Reply q = Send(A(), 0, ReadCd(c.lba, 1, 0xF8, 2), 2352 + 16);
            ASSERT_TRUE(q.Good()) << c.lba;
            Bytes expected = {0x01, c.track, c.index};
            Bytes relative = BcdMsf(c.relative), absolute = BcdMsf(c.lba + 150);
            expected.insert(expected.end(), relative.begin(), relative.end());
            expected.push_back(0);
            expected.insert(expected.end(), absolute.begin(), absolute.end());
            EXPECT_EQ(Slice(q.data, 2352, 10), expected) << c.lba;
            // READ SUB-CHANNEL at the same position (a completed read leaves it after the
            // last sector read), in MSF form.
            ASSERT_TRUE(Send(A(), 0, ReadCd(c.lba - 1, 1, 0xF8), 2352).Good());
            Reply sub = Send(A(), 0, Bytes{0x42, 0x02, 0x40, 1, 0, 0, 0, 0, 16, 0}, 16);
            ASSERT_TRUE(sub.Good()) << c.lba;
            EXPECT_EQ(sub.data[6], c.track) << c.lba;
            EXPECT_EQ(sub.data[7], c.index) << c.lba;
            EXPECT_EQ(Slice(sub.data, 12, 4),
                      (Bytes{0, uint8_t(c.relative / 4500), uint8_t(c.relative / 75 % 60),
                             uint8_t(c.relative % 75)}))
                << c.lba;
        }
    }

    // PREGAP sectors before a stored INDEX 00 are the same pregap: index 0 throughout.
    Bytes text = ReadAll(m_dir.Path("one.cue"));
    std::string sheet(text.begin(), text.end());
    const size_t index00 = sheet.find("INDEX 00");
    ASSERT_NE(index00, std::string::npos);
    sheet.insert(index00, "PREGAP 00:00:20\n    ");
    ASSERT_TRUE(testing::WriteText(m_dir.Path("both.cue"), sheet));
    MountSheet(m_dir.Path("both.cue"));
    for (auto [lba, track, index] : {std::tuple{99u, 1, 1}, {100u, 2, 0}, {119u, 2, 0},
                                     {120u, 2, 0}, {149u, 2, 0}, {150u, 2, 1}}) {
        Reply q = Send(A(), 0, ReadCd(lba, 1, 0xF8, 2), 2352 + 16);
        ASSERT_TRUE(q.Good()) << lba;
        EXPECT_EQ(Slice(q.data, 2353, 2), (Bytes{uint8_t(track), uint8_t(index)})) << lba;
    }
}

// Multi-file records as a hostile sender may build them: every malformed one is refused.
TEST_F(CueDiscTest, MalformedMultiFileRecordsAreRefused) {
    Bytes a(2352 * 20), b(2352 * 10);
    for (size_t i = 0; i < a.size(); ++i)
        a[i] = uint8_t(i * 7);
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = uint8_t(i * 3 + 1);
    OpenFile fa(m_dir.Write("a.bin", a)), fb(m_dir.Write("b.bin", b));
    SeekPoint seek[2] = {{0, 100}, {588 * 4, 400}};
    struct Case {
        const char* what;
        uint32_t files;
        uint8_t kind1;
        uint8_t runFile;
        uint8_t runFlags;
        uint64_t firstHandle;
        uint32_t seekCount;
        bool valid;
    } cases[] = {
        {"valid", 2, kDiscFileRaw, 1, 0, fa.Handle(), 0, true},
        {"run names a file past the table", 2, kDiscFileRaw, 2, 0, fa.Handle(), 0, false},
        {"unknown run flag", 2, kDiscFileRaw, 1, 0x80, fa.Handle(), 0, false},
        {"no files", 0, kDiscFileRaw, 0, 0, fa.Handle(), 0, false},
        {"100 files", 100, kDiscFileRaw, 1, 0, fa.Handle(), 0, false},
        {"first file is not the main one", 2, kDiscFileRaw, 1, 0, fb.Handle(), 0, false},
        {"unknown file kind", 2, 5, 1, 0, fa.Handle(), 0, false},
        {"decoded file without a seek table", 2, kDiscFileFlac, 1, 0, fa.Handle(), 0, false},
        {"decoded run of Mode 1 sectors", 2, kDiscFileFlac, 1, 0, fa.Handle(), 2, false},
    };
    for (const Case& c : cases) {
        std::vector<DiscFileEntry> files(std::max<uint32_t>(c.files, 2));
        files[0].handle = c.firstHandle;
        files[0].kind = kDiscFileRaw;
        files[1].handle = fb.Handle();
        files[1].kind = c.kind1;
        files[1].seekCount = c.seekCount;
        files[1].seekTable = c.seekCount ? Ptr(seek) : 0;
        files[1].param0 = 4096;
        files[1].param1 = 16;
        files[1].totalSamples = 588 * 4;
        for (size_t i = 2; i < files.size(); ++i)
            files[i] = files[0];
        TrackEntry second = Span(kSectorMode1, 0x0B, 20, 30, 2352, 0);
        second.fileIndex = c.runFile;
        second.flags = c.runFlags;
        Bytes table = TrackTable({Span(kSectorMode1, 0x0B, 0, 20, 2352, 0), second});
        MountRecord r = BaseRecord(fa.Handle(), kMediumCd, kReaderMultiFile, 30, 2352);
        r.trackTable = Ptr(table.data());
        r.kindPointer = Ptr(files.data());
        r.kindCount = c.files;
        EXPECT_EQ(Mount(0, r), c.valid) << c.what;
        if (c.valid) {
            host::AdvanceClock(4000);
            SettleDrive();
            Reply raw = Send(A(), 0, ReadCd(18, 4, 0xF8), 4 * 2352);
            ASSERT_TRUE(raw.Good());
            EXPECT_EQ(Slice(raw.data, 0, 2 * 2352), Slice(a, 18 * 2352, 2 * 2352));
            EXPECT_EQ(Slice(raw.data, 2 * 2352, 2 * 2352), Slice(b, 0, 2 * 2352));
        }
    }
    // A file index on a single-file kind is refused too.
    TrackEntry named = Span(kSectorMode1, 0x0B, 0, 20, 2352, 0);
    named.fileIndex = 1;
    Bytes table = TrackTable({named});
    MountRecord r = BaseRecord(fa.Handle(), kMediumCd, kReaderPlainFile, 20, 2352);
    r.trackTable = Ptr(table.data());
    EXPECT_FALSE(Mount(0, r));
}

} // namespace
} // namespace vostrale::test
