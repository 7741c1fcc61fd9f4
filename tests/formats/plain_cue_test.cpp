#include "formats/cue.h"
#include "formats_fixture.h"

#include <cstring>
#include <fstream>

#ifdef _WIN32
#include <windows.h>
#endif

namespace vostrale {
namespace {

using testing::CueOptions;
using testing::Mode;

TEST(ImageFormatOf, ChoosesByThreeLetterExtensionOnly) {
    const struct {
        const char* path;
        ImageFormat format;
    } cases[] = {
        {"a/disc.cue", ImageFormat::Cue},  {"a/disc.CUE", ImageFormat::Cue},
        {"a/disc.Cue", ImageFormat::Cue},  {"a/disc.cue2", ImageFormat::Plain},
        {"a/disc.cu", ImageFormat::Plain}, {"a.b/image", ImageFormat::Plain},
        {"disc", ImageFormat::Plain},      {"d.NRG", ImageFormat::Nrg},
        {"d.IsZ", ImageFormat::Isz},       {"d.mds", ImageFormat::Mds},
        {"d.ccd", ImageFormat::Ccd},       {"d.iso", ImageFormat::Plain},
        {"d.", ImageFormat::Plain},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ImageFormatOf(c.path), c.format) << c.path;
}

// A 2048-byte ISO 9660 volume of `sectors` sectors (the probe reads sectors 16 to 25).
std::vector<uint8_t> IsoImage(uint32_t sectors) {
    std::vector<uint8_t> iso(size_t(sectors) * 2048, 0);
    iso[16 * 2048] = 1;
    std::memcpy(&iso[16 * 2048 + 1], "CD001", 5);
    return iso;
}

using PlainImageTest = TempFolder;

TEST_F(PlainImageTest, IsoImageMountsWithoutTables) {
    ASSERT_TRUE(testing::WriteFile(m_dir / "disc.iso", IsoImage(32)));
    Opened o;
    OpenWith(&o, m_dir / "disc.iso");
    ASSERT_EQ(o.result, kParseOk);
    EXPECT_EQ(V(o.record.bytesPerSector), 2048);
    EXPECT_EQ(V(o.record.totalSectors), 32u);
    EXPECT_EQ(V(o.record.mediumKind), kMediumCd);
    EXPECT_EQ(V(o.record.readerKind), kReaderPlainFile);
    EXPECT_NE(V(o.record.imageHandle), 0u);
    EXPECT_EQ(V(o.record.trackTable), 0u);
    EXPECT_EQ(V(o.record.fullToc), 0u);
}

TEST_F(PlainImageTest, RawSectorImageIsProbedThroughUserDataAndGetsOneTrack) {
    // Raw Mode 1 sectors carrying the same volume, plus a partial sector at the end.
    std::vector<uint8_t> iso = IsoImage(32), raw;
    for (uint32_t lba = 0; lba < 32; ++lba) {
        auto s = testing::RawSector(Mode::Mode1, int32_t(lba));
        std::memcpy(&s[16], &iso[lba * 2048], 2048);
        raw.insert(raw.end(), s.begin(), s.end());
    }
    raw.resize(raw.size() + 648, 0);
    ASSERT_TRUE(testing::WriteFile(m_dir / "disc.img", raw));
    Opened o;
    OpenWith(&o, m_dir / "disc.img");
    ASSERT_EQ(o.result, kParseOk) << o.message;
    EXPECT_EQ(V(o.record.bytesPerSector), 2352);
    EXPECT_EQ(V(o.record.totalSectors), 32u);
    ASSERT_EQ(o.TrackCount(), 1u);
    EXPECT_EQ(V(o.Track(0).sectorType), kSectorMode1);
    EXPECT_EQ(V(o.Track(0).parts), 0x0F);
    EXPECT_EQ(V(o.Track(0).endLba), 32u);
    EXPECT_EQ(V(o.Track(0).bytesPerSector), 2352u);
}

TEST_F(PlainImageTest, UnrecognisedFilesAreRefusedAsUnsupported) {
    std::vector<uint8_t> sync = testing::RawSector(Mode::Mode1, 0);
    sync.resize(3000);
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"zeros.iso", std::vector<uint8_t>(4096, 0)},
        {"tiny.iso", std::vector<uint8_t>(11, 0)},
        {"short.iso", std::vector<uint8_t>(2000, 1)},
        {"sync.bin", sync},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(testing::WriteFile(m_dir / c.name, c.bytes));
        Opened o;
        OpenWith(&o, m_dir / c.name);
        EXPECT_EQ(o.result, kParseFailed) << c.name;
        EXPECT_EQ(o.failure.kind, OpenFailure::kUnsupportedFormat) << c.name;
        EXPECT_EQ(o.message, "") << c.name;
        EXPECT_EQ(V(o.record.imageHandle), 0u);
    }
    Opened missing;
    OpenWith(&missing, m_dir / "missing.iso");
    EXPECT_EQ(missing.failure.kind, OpenFailure::kOpenError);
    EXPECT_NE(missing.failure.systemError, 0u);
}

// A file service for the plain path whose second open fails, or which cuts the image short
// just before the raw track is set up (the image changed between the two opens).
struct SecondOpen {
    enum Action { kSucceed, kFail, kTruncateFirst } action = kSucceed;
    uint32_t error = 0;
    int opens = 0;
    std::filesystem::path first;
};
SecondOpen g_secondOpen;

platform::NativeFile OpenTwice(const std::filesystem::path& path, uint32_t* error) {
    if (++g_secondOpen.opens == 1) {
        g_secondOpen.first = path;
#ifdef _WIN32
        // Shared for writing too, so that the file can be cut while this handle is open.
        HANDLE h = CreateFileW(path.c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            *error = GetLastError();
            return 0;
        }
        return platform::NativeFile(reinterpret_cast<uintptr_t>(h));
#else
        return platform::OpenForRead(path, error);
#endif
    }
    switch (g_secondOpen.action) {
    case SecondOpen::kFail:
        *error = g_secondOpen.error;
        return 0;
    case SecondOpen::kTruncateFirst: {
        std::error_code ec;
        std::filesystem::resize_file(g_secondOpen.first, 16, ec);
        EXPECT_FALSE(ec) << ec.message();
        break;
    }
    case SecondOpen::kSucceed:
        break;
    }
    return platform::OpenForRead(path, error);
}

TEST_F(PlainImageTest, RecognisedImageThatCannotBeSetUpSaysWhy) {
    std::vector<uint8_t> iso = IsoImage(32), raw;
    for (uint32_t lba = 0; lba < 32; ++lba) {
        auto s = testing::RawSector(Mode::Mode1, int32_t(lba));
        std::memcpy(&s[16], &iso[lba * 2048], 2048);
        raw.insert(raw.end(), s.begin(), s.end());
    }
    const struct {
        const char* name;
        const std::vector<uint8_t>& bytes;
        SecondOpen::Action action;
        uint32_t error;
        int result;
        OpenFailure::Kind kind;
        const char* message;
    } cases[] = {
        {"disc.iso", iso, SecondOpen::kSucceed, 0, kParseOk, OpenFailure::kNone, ""},
        {"disc.img", raw, SecondOpen::kSucceed, 0, kParseOk, OpenFailure::kNone, ""},
        {"locked.iso", iso, SecondOpen::kFail, 32, kParseFailed, OpenFailure::kParser,
         "Cannot open the image a second time, error 32"},
        {"locked.img", raw, SecondOpen::kFail, 5, kParseFailed, OpenFailure::kParser,
         "Cannot open the image a second time, error 5"},
        {"shrunk.img", raw, SecondOpen::kTruncateFirst, 0, kParseFailed, OpenFailure::kParser,
         "Cannot read the first raw sector of the image"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(testing::WriteFile(m_dir / c.name, c.bytes));
        g_secondOpen = SecondOpen{};
        g_secondOpen.action = c.action;
        g_secondOpen.error = c.error;
        std::wstring message;
        std::filesystem::path logPath = m_dir / (std::string(c.name) + ".log");
        MountRecord record{};
        PresetMountRecord(&record);
        OpenFailure failure;
        int result;
        {
            ActivityLog log;
            log.Open(logPath);
            ParserIo io;
            io.log = &log;
            io.message = &message;
            result = OpenPlainImage(&record, m_dir / c.name, io, &failure, OpenTwice);
        }
        EXPECT_EQ(g_secondOpen.opens, 2) << c.name;
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(failure.kind, c.kind) << c.name;
        // The system's error travels with a failed open; a set-up failure has none to give, and
        // never reads as an open error of code 0.
        EXPECT_EQ(failure.systemError, c.action == SecondOpen::kFail ? c.error : 0u) << c.name;
        EXPECT_EQ(std::string(message.begin(), message.end()), c.message) << c.name;
        std::ifstream in(logPath);
        std::string logText((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (*c.message) {
            EXPECT_NE(logText.find(std::string(" E ") + c.message), std::string::npos)
                << c.name << logText;
            EXPECT_EQ(V(record.imageHandle), 0u) << c.name;
            EXPECT_EQ(V(record.trackTable), 0u) << c.name;
        }
        ReleaseLayout(&record);
    }
}

using CueTest = TempFolder;

// Each track keeps its own layout: the audio after a data track is audio (sector type, no
// data parts, audio control bits), one run since its sectors follow one another in the file.
TEST_F(CueTest, RawDataSheetWithAudioTracksMapsEachTrack) {
    CueOptions c;
    c.disc.sessions.push_back(
        {{testing::Track(Mode::Mode1, 1000), testing::Track(Mode::Audio, 1000),
          testing::Track(Mode::Audio, 1000), testing::Track(Mode::Audio, 1000),
          testing::Track(Mode::Audio, 1000)}});
    ASSERT_TRUE(testing::WriteCueImage(m_dir / "mixed.cue", c));
    Opened o;
    OpenWith(&o, m_dir / "mixed.cue");
    ASSERT_EQ(o.result, kParseOk) << o.message;
    EXPECT_EQ(V(o.record.totalSectors), 5000u);
    EXPECT_EQ(V(o.record.mediumKind), kMediumCd);
    EXPECT_EQ(V(o.record.bytesPerSector), 2352);
    ASSERT_EQ(o.TrackCount(), 2u);
    EXPECT_EQ(V(o.Track(0).firstLba), 0u);
    EXPECT_EQ(V(o.Track(0).endLba), 1000u);
    EXPECT_EQ(V(o.Track(0).parts), 0x0B);
    EXPECT_EQ(V(o.Track(0).sectorType), kSectorMode1);
    EXPECT_EQ(V(o.Track(1).firstLba), 1000u);
    EXPECT_EQ(V(o.Track(1).endLba), 5000u);
    EXPECT_EQ(V(o.Track(1).parts), 0);
    EXPECT_EQ(V(o.Track(1).fileOffset), uint64_t(1000) * 2352);
    EXPECT_EQ(V(o.Track(1).sectorType), kSectorCdda);
    ASSERT_EQ(o.TocCount(), 8u);
    EXPECT_EQ(o.TocPoint(1, 0xA0)[1], 0x14); // the first track's control
    EXPECT_EQ(o.TocPoint(1, 1)[1], 0x14);
    for (uint8_t point : {2, 3, 4, 5, 0xA1, 0xA2})
        EXPECT_EQ(o.TocPoint(1, point)[1], 0x10) << int(point);
    const uint8_t* leadOut = o.TocPoint(1, 0xA2);
    ASSERT_NE(leadOut, nullptr);
    EXPECT_EQ(MsfToLba(leadOut[8], leadOut[9], leadOut[10]), 5000);
}

TEST_F(CueTest, SectorLayoutsFollowTheFirstTrack) {
    const struct {
        Mode mode;
        uint32_t stride;
        uint8_t type, parts, discType;
        uint32_t entryStride;
    } cases[] = {
        {Mode::Mode2Form2, 2352, kSectorMode2Form2, 0x0F, 0x20, 2352},
        {Mode::Mode2Form1, 2352, kSectorMode2Form1, 0x0F, 0x20, 2352},
        {Mode::Mode2Form2, 2336, kSectorMode2Form2, 0x0C, 0x20, 2336},
        {Mode::Mode2Form1, 2336, kSectorMode2Form1, 0x0C, 0x20, 2336},
    };
    for (const auto& c : cases) {
        CueOptions opt;
        opt.dataStride = c.stride;
        opt.disc.sessions.push_back({{testing::Track(c.mode, 40), testing::Track(c.mode, 60)}});
        ASSERT_TRUE(testing::WriteCueImage(m_dir / "d.cue", opt));
        Opened o;
        OpenWith(&o, m_dir / "d.cue");
        ASSERT_EQ(o.result, kParseOk) << o.message;
        EXPECT_EQ(V(o.record.totalSectors), 100u);
        ASSERT_EQ(o.TrackCount(), 2u);
        EXPECT_EQ(V(o.Track(1).sectorType), c.type);
        EXPECT_EQ(V(o.Track(1).parts), c.parts);
        EXPECT_EQ(V(o.Track(1).bytesPerSector), c.entryStride);
        EXPECT_EQ(V(o.Track(1).fileOffset), uint64_t(40) * c.entryStride);
        EXPECT_EQ(o.TocPoint(1, 0xA0)[9], c.discType);
    }
}

// The common sheet over an ISO mounts as the plain image would: probed, without tables (it was
// a table of one empty run, which the driver refused).
TEST_F(CueTest, Mode1UserDataSheetIsThePlainImage) {
    CueOptions opt;
    opt.dataStride = 2048;
    opt.disc.sessions.push_back({{testing::Track(Mode::Mode1, 77)}});
    ASSERT_TRUE(testing::WriteCueImage(m_dir / "d.cue", opt));
    Opened o;
    OpenWith(&o, m_dir / "d.cue");
    ASSERT_EQ(o.result, kParseOk) << o.message;
    EXPECT_EQ(V(o.record.mediumKind), kMediumCd); // no file system the probe knows: a CD track
    EXPECT_EQ(V(o.record.bytesPerSector), 2048);
    EXPECT_EQ(V(o.record.totalSectors), 77u);
    EXPECT_EQ(o.TrackCount(), 0u);
    EXPECT_EQ(V(o.record.fullToc), 0u);

    ASSERT_TRUE(testing::WriteFile(m_dir / "disc.iso", IsoImage(40)));
    ASSERT_TRUE(testing::WriteText(m_dir / "iso.cue",
                                   "FILE \"disc.iso\" BINARY\n  TRACK 01 MODE1/2048\n"
                                   "    INDEX 01 00:00:00\n"));
    Opened sheet, plain;
    OpenWith(&sheet, m_dir / "iso.cue");
    OpenWith(&plain, m_dir / "disc.iso");
    ASSERT_EQ(sheet.result, kParseOk) << sheet.message;
    ASSERT_EQ(plain.result, kParseOk);
    for (auto* o2 : {&sheet, &plain}) {
        EXPECT_EQ(V(o2->record.mediumKind), kMediumCd);
        EXPECT_EQ(V(o2->record.readerKind), kReaderPlainFile);
        EXPECT_EQ(V(o2->record.bytesPerSector), 2048);
        EXPECT_EQ(V(o2->record.totalSectors), 40u);
        EXPECT_EQ(V(o2->record.trackTable), 0u);
    }
}

TEST_F(CueTest, AudioSheetKeepsEveryTrackInItsToc) {
    CueOptions opt;
    opt.disc.sessions.push_back(
        {{testing::Track(Mode::Audio, 100), testing::Track(Mode::Audio, 50, 20)}});
    ASSERT_TRUE(testing::WriteCueImage(m_dir / "a.cue", opt));
    Opened o;
    OpenWith(&o, m_dir / "a.cue");
    ASSERT_EQ(o.result, kParseOk) << o.message;
    // One file of audio, its second track's stored INDEX 00 a run of its own.
    ASSERT_EQ(o.TrackCount(), 3u);
    const struct {
        uint32_t first, end;
        uint64_t offset;
        uint8_t flags;
    } runs[] = {{0, 100, 0, 0}, {100, 120, 100 * 2352, kRunPregap}, {120, 170, 120 * 2352, 0}};
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(V(o.Track(i).sectorType), kSectorCdda) << i;
        EXPECT_EQ(V(o.Track(i).firstLba), runs[i].first) << i;
        EXPECT_EQ(V(o.Track(i).endLba), runs[i].end) << i;
        EXPECT_EQ(V(o.Track(i).fileOffset), runs[i].offset) << i;
        EXPECT_EQ(V(o.Track(i).bytesPerSector), 2352u) << i;
        EXPECT_EQ(V(o.Track(i).flags), runs[i].flags) << i;
    }
    ASSERT_EQ(o.TocCount(), 5u);
    const uint8_t* second = o.TocPoint(1, 2);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second[1], 0x10);
    EXPECT_EQ(MsfToLba(second[8], second[9], second[10]),
              120); // INDEX 01 after a 20-sector INDEX 00
    EXPECT_EQ(V(o.record.cdText), 0u);
}

TEST_F(CueTest, SheetTextRules) {
    ASSERT_TRUE(testing::WriteFile(m_dir / "data file.bin", std::vector<uint8_t>(2352 * 10, 0)));
    ASSERT_TRUE(testing::WriteFile(m_dir / "other.bin", std::vector<uint8_t>(2352 * 20, 0)));
    const std::string title79(79, 't'), title80(80, 't');
    const struct {
        std::string sheet;
        int result;
        std::string message;
        uint32_t total;
    } cases[] = {
        {"FILE \"data file.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n", kParseOk, "", 10},
        {"FILE other.bin BINARY\nFILE \"data file.bin\" BINARY\nTRACK 1 AUDIO\n", kParseOk, "", 10},
        {"TITLE \"" + title79 + "\"\nFILE other.bin BINARY\nTRACK 1 AUDIO\n", kParseOk, "", 20},
        {"TITLE \"" + title80 + "\"\nFILE other.bin BINARY\nTRACK 1 AUDIO\n", kParseFailed,
         "Failed to parse .cue file", 0},
        {"FILE other.bin FOO\nTRACK 1 AUDIO\n", kParseFailed, "Failed to parse .cue file", 0},
        {"FILE \"other.bin BINARY\nTRACK 1 AUDIO\n", kParseFailed, "Failed to parse .cue file", 0},
        {"FILE other.bin BINARY\nTRACK 1 AUDIO\nINDEX 01 00:60:00\n", kParseFailed,
         "Failed to parse .cue file", 0},
        {"FILE other.bin BINARY\nTRACK 1 AUDIO\nINDEX 01 00:00:75\n", kParseFailed,
         "Failed to parse .cue file", 0},
        {"CATALOG 12345\nFILE other.bin BINARY\nTRACK 1 AUDIO\n", kParseFailed,
         "Failed to parse .cue file", 0},
        {"FILE other.bin MOTOROLA\nTRACK 1 AUDIO\n", kParseFailed, "Unknown CUE file type:MOTOROLA",
         0},
        {"FILE other.bin BINARY\nTRACK 1 mode1/2352\n", kParseFailed, "", 0},
        {"FILE other.bin BINARY\nTRACK 1 CDG\n", kParseFailed, "", 0},
        {"FILE other.bin BINARY\nREM nothing\n", kParseFailed, "", 0},
        {"REM x\r\nCATALOG 0000010271955\r\n FILE other.bin BINARY\r\n\tTRACK 1 AUDIO\r\n  INDEX "
         "00 00:00:00\r\n",
         kParseOk, "", 20},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(testing::WriteText(m_dir / "s.cue", c.sheet));
        Opened o;
        OpenWith(&o, m_dir / "s.cue");
        EXPECT_EQ(o.result, c.result) << c.sheet;
        EXPECT_EQ(o.message, c.message) << c.sheet;
        EXPECT_EQ(V(o.record.totalSectors), c.total) << c.sheet;
        if (c.result != kParseOk) {
            EXPECT_EQ(V(o.record.imageHandle), 0u);
            EXPECT_EQ(V(o.record.trackTable), 0u);
        }
    }
}

TEST(CueSheetReader, ReadsIndexPositionsAndTokens) {
    const char text[] =
        "TRACK 01 AUDIO\nINDEX 01 03:00:00\nTRACK 02 AUDIO\nINDEX 00 04:00:00\nINDEX 01 05:00\n"
        "TITLE \"two words\"\n";
    CueSheet sheet;
    ASSERT_TRUE(ParseCueSheet(text, sizeof(text) - 1, &sheet));
    ASSERT_EQ(sheet.tracks.size(), 2u);
    EXPECT_EQ(sheet.tracks[0].index01, 13500u);
    EXPECT_EQ(sheet.tracks[1].index01, 22500u); // missing frames count 0
    EXPECT_EQ(sheet.tracks[1].title, "two words");

    char quoted[] = "  \"a b\"  rest";
    char* pos = quoted;
    EXPECT_STREQ(NextCueToken(&pos), "a b");
    EXPECT_STREQ(NextCueToken(&pos), "rest");
    EXPECT_EQ(NextCueToken(&pos), nullptr);

    // A line longer than 510 bytes continues as the next line.
    std::string longLine = "REM " + std::string(506, 'x') + "TRACK 01 AUDIO\n";
    ASSERT_TRUE(ParseCueSheet(longLine.data(), longLine.size(), &sheet));
    EXPECT_EQ(sheet.tracks.size(), 1u);
}

TEST_F(CueTest, DataFileNamesResolveInTheSheetFolder) {
    ASSERT_TRUE(testing::WriteFile(m_dir / "upper.bin", std::vector<uint8_t>(2352 * 3, 0)));
    std::filesystem::path deep = m_dir / std::string(60, 'd') / std::string(60, 'e');
    std::filesystem::create_directories(deep);
    ASSERT_TRUE(testing::WriteFile(deep / "disc.bin", std::vector<uint8_t>(2352 * 4, 0)));
    ASSERT_TRUE(testing::WriteText(deep / "disc.cue", "FILE disc.bin BINARY\nTRACK 1 AUDIO\n"));
    Opened longPath;
    OpenWith(&longPath, deep / "disc.cue");
    EXPECT_EQ(longPath.result, kParseOk) << longPath.message;

    ASSERT_TRUE(testing::WriteText(m_dir / "abs.cue", "FILE /upper.bin BINARY\nTRACK 1 AUDIO\n"));
    Opened absolute;
    OpenWith(&absolute, m_dir / "abs.cue");
    EXPECT_EQ(absolute.result, kParseOk) << absolute.message;

#ifdef _WIN32
    GTEST_SKIP() << "case-insensitive lookup is the file system's own on Windows";
#else
    ASSERT_TRUE(testing::WriteText(m_dir / "u.cue", "FILE \"UPPER.BIN\" BINARY\nTRACK 1 AUDIO\n"));
    Opened upper;
    OpenWith(&upper, m_dir / "u.cue");
    EXPECT_EQ(upper.result, kParseOk) << upper.message;
    EXPECT_EQ(V(upper.record.totalSectors), 3u);

    ASSERT_TRUE(
        testing::WriteText(m_dir / "m.cue", "FILE \"nothere.bin\" BINARY\nTRACK 1 AUDIO\n"));
    Opened missing;
    OpenWith(&missing, m_dir / "m.cue");
    EXPECT_EQ(missing.message,
              "Open file: " + (m_dir / "nothere.bin").string() + " failure, ErrorCode=2");
#endif
}

using WaveTest = TempFolder;

TEST_F(WaveTest, WavFilesAreFoundByTheirChunks) {
    const struct {
        bool extensible, extra;
        uint32_t dataOffset;
    } cases[] = {{false, false, 44}, {true, true, 100}};
    for (const auto& c : cases) {
        CueOptions opt;
        opt.wave = true;
        opt.fileName = "audio.wav";
        opt.wavExtensible = c.extensible;
        opt.wavExtraChunks = c.extra;
        opt.disc.title = "AB";
        opt.disc.sessions.push_back(
            {{testing::Track(Mode::Audio, 30, 0, "One", "P1"), testing::Track(Mode::Audio, 20)}});
        ASSERT_TRUE(testing::WriteCueImage(m_dir / "w.cue", opt));
        Opened o;
        OpenWith(&o, m_dir / "w.cue");
        ASSERT_EQ(o.result, kParseOk) << o.message;
        EXPECT_EQ(V(o.record.readerKind), kReaderWav);
        EXPECT_EQ(V(o.record.totalSectors), 50u);
        EXPECT_EQ(V(o.record.param84), c.dataOffset);
        EXPECT_EQ(V(o.record.bytesPerSector), 2352);
        EXPECT_EQ(V(o.record.mediumKind), kMediumCd);
        EXPECT_EQ(V(o.record.trackTable), 0u);
        ASSERT_EQ(o.TocCount(), 5u);
        EXPECT_EQ(o.TocPoint(1, 2)[1], 0x10);
        EXPECT_EQ(MsfToLba(o.TocPoint(1, 2)[8], o.TocPoint(1, 2)[9], o.TocPoint(1, 2)[10]), 30);
        ASSERT_NE(V(o.record.cdText), 0u);
        const uint8_t* packs = PointerOf<uint8_t>(V(o.record.cdText)) + 4;
        EXPECT_EQ(std::memcmp(packs + 4, "AB\0One\0", 7), 0);
    }
}

TEST_F(WaveTest, AudioFilesThatCannotBeMountedSayWhy) {
    const auto wavSheet = "FILE \"a.wav\" WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n";
    const auto riff = [](const char* form) {
        std::vector<uint8_t> b(64, 0);
        std::memcpy(b.data(), "RIFF", 4);
        std::memcpy(b.data() + 8, form, 4);
        return b;
    };
    CueOptions mono;
    mono.wave = true;
    mono.fileName = "a.wav";
    mono.wavChannels = 1;
    mono.disc.sessions.push_back({{testing::Track(Mode::Audio, 2)}});
    ASSERT_TRUE(testing::WriteCueImage(m_dir / "mono.cue", mono));
    std::vector<uint8_t> unknown(64, 0x11);

    const struct {
        std::vector<uint8_t> audio; // empty: keep the file the writer made
        std::string message;
    } cases[] = {
        {{}, "Unsupported format: channels=1 samplerate=44100 bps=16"},
        {std::vector<uint8_t>(10, 'R'), "Read file error (10,44), errorcode=0"},
        {unknown, "Unknown format, file signature=11111111"},
        {riff("AVI "), ""},
        {riff("WAVE"), "Invalid WAV file: no fmt or data chunk: " + (m_dir / "a.wav").string()},
    };
    for (const auto& c : cases) {
        if (!c.audio.empty()) {
            ASSERT_TRUE(testing::WriteFile(m_dir / "a.wav", c.audio));
        }
        ASSERT_TRUE(testing::WriteText(m_dir / "w.cue", wavSheet));
        Opened o;
        OpenWith(&o, m_dir / "w.cue");
        EXPECT_EQ(o.result, kParseFailed);
        EXPECT_EQ(o.message, c.message);
        EXPECT_EQ(V(o.record.imageHandle), 0u);
        EXPECT_EQ(V(o.record.fullToc), 0u);
    }
}

} // namespace
} // namespace vostrale
