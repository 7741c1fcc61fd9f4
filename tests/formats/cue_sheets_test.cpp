// CUE sheets beyond one file: every FILE with its tracks, gaps, flags, ISRC and catalogue
// number; how they are laid out on the disc; and sheets a user (or an attacker) may hand in.
#include "formats/cue.h"
#include "formats/cue_layout.h"
#include "formats_fixture.h"

#include <fstream>

namespace vostrale {
namespace {

using testing::CueOptions;
using testing::Mode;

TEST(CueSheetReader, KeepsEveryFileWithItsTracksAndTheirKeywords) {
    const std::string text =
        "CATALOG 0000010271955\n"
        "TRACK 01 MODE1/2352\n" // before any FILE: belongs to the first file
        "FILE \"Game (Track 01).bin\" BINARY\n"
        "  FLAGS DCP PRE 4CH SCMS\n"
        "  INDEX 01 00:00:00\n"
        "FILE \"unused.bin\" BINARY\n"
        "FILE \"Game (Track 02).bin\" BINARY\n"
        "  TRACK 02 AUDIO\n"
        "    ISRC usabc1234567\n"
        "    PREGAP 00:02:00\n"
        "    INDEX 00 00:00:00\n"
        "    INDEX 01 00:01:10\n"
        "    POSTGAP 00:00:05\n"
        "  TRACK 03 AUDIO\n"
        "    ISRC TOO-SHORT\n"
        "    FLAGS DCP\n"
        "    INDEX 01 00:03:00\n";
    CueSheet sheet;
    ASSERT_TRUE(ParseCueSheet(text.data(), text.size(), &sheet));
    EXPECT_EQ(sheet.catalog, "0000010271955");
    ASSERT_EQ(sheet.files.size(), 3u);
    EXPECT_EQ(sheet.files[0].name, "Game (Track 01).bin");
    EXPECT_EQ(sheet.files[2].type, uint32_t(kCueFileBinary));
    EXPECT_EQ(sheet.fileName, "Game (Track 02).bin"); // the last FILE line, as before
    ASSERT_EQ(sheet.tracks.size(), 3u);
    const struct {
        uint32_t file, mode, index01, index00, pregap, postgap;
        bool hasIndex00;
        uint8_t flags;
        const char* isrc;
    } expected[] = {
        {0, kCueModeMode1_2352, 0, 0, 0, 0, false, 0x0B, ""},
        {2, kCueModeAudio, 85, 0, 150, 5, true, 0, "USABC1234567"},
        {2, kCueModeAudio, 225, 0, 0, 0, false, 0x02, ""},
    };
    for (size_t k = 0; k < 3; ++k) {
        const CueTrack& t = sheet.tracks[k];
        const auto& e = expected[k];
        EXPECT_EQ(t.file, e.file) << k;
        EXPECT_EQ(t.mode, e.mode) << k;
        EXPECT_EQ(t.index01, e.index01) << k;
        EXPECT_EQ(t.hasIndex00, e.hasIndex00) << k;
        EXPECT_EQ(t.index00, e.index00) << k;
        EXPECT_EQ(t.pregap, e.pregap) << k;
        EXPECT_EQ(t.postgap, e.postgap) << k;
        EXPECT_EQ(t.flags, e.flags) << k;
        EXPECT_EQ(t.isrc, e.isrc) << k;
    }
    // A FILE line repeating the one before it continues that file.
    const std::string repeated = "FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"
                                 "FILE a.bin BINARY\nTRACK 02 AUDIO\nINDEX 01 05:00:00\n";
    ASSERT_TRUE(ParseCueSheet(repeated.data(), repeated.size(), &sheet));
    EXPECT_EQ(sheet.files.size(), 1u);
    EXPECT_EQ(sheet.tracks[1].file, 0u);
    EXPECT_EQ(sheet.tracks[1].index01, 22500u);

    // A 100th track is not a disc, and the reader says so.
    std::string many = "FILE a.bin BINARY\n";
    for (int i = 0; i < 100; ++i)
        many += "TRACK " + std::to_string(i + 1) + " AUDIO\nINDEX 01 00:" +
                std::to_string(10 + i / 75) + ":" + std::to_string(i % 75) + "\n";
    EXPECT_FALSE(ParseCueSheet(many.data(), many.size(), &sheet));
    EXPECT_EQ(sheet.problem, "a disc holds at most 99 tracks");
}

// REM SESSION lines: the tracks after one belong to that session; sessions follow one another
// from 01, each with tracks, and the reader says what is wrong otherwise.
TEST(CueSheetReader, ReadsSessionsAndRefusesThemOutOfOrder) {
    const std::string audio = "FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n";
    const std::string extra = "REM SESSION 01\n" + audio +
                              "TRACK 02 AUDIO\nINDEX 01 00:10:00\nREM SESSION 02\n"
                              "FILE b.bin BINARY\nTRACK 03 MODE2/2352\nINDEX 01 00:00:00\n"
                              "REM a comment\nREM SESSION 02\nTRACK 04 MODE2/2352\n"
                              "INDEX 01 00:01:00\n";
    CueSheet sheet;
    ASSERT_TRUE(ParseCueSheet(extra.data(), extra.size(), &sheet)) << sheet.problem;
    EXPECT_EQ(sheet.sessions, 2u);
    ASSERT_EQ(sheet.tracks.size(), 4u);
    const uint32_t sessions[] = {1, 1, 2, 2};
    for (size_t k = 0; k < 4; ++k)
        EXPECT_EQ(sheet.tracks[k].session, sessions[k]) << k;
    ASSERT_TRUE(ParseCueSheet(audio.data(), audio.size(), &sheet));
    EXPECT_EQ(sheet.sessions, 1u);
    EXPECT_EQ(sheet.tracks[0].session, 1u);

    const struct {
        std::string text, problem;
    } refused[] = {
        {"REM SESSION 02\n" + audio, "session 1 has no tracks"},
        {"REM SESSION 01\n" + audio + "REM SESSION 03\n" + audio, "REM SESSION 03 is out of order"},
        {"REM SESSION 01\n" + audio + "REM SESSION 02\n" + audio + "REM SESSION 01\n",
         "REM SESSION 01 is out of order"},
        {"REM SESSION 00\n" + audio, "REM SESSION needs a session number from 01 to 99"},
        {"REM SESSION 100\n" + audio, "REM SESSION needs a session number from 01 to 99"},
        {"REM SESSION two\n" + audio, "REM SESSION needs a session number from 01 to 99"},
        {"REM SESSION\n" + audio, "REM SESSION needs a session number from 01 to 99"},
        {"REM SESSION 01\nREM SESSION 02\n" + audio, "session 1 has no tracks"},
        {audio + "REM SESSION 02\n", "session 2 has no tracks"},
    };
    for (const auto& r : refused) {
        EXPECT_FALSE(ParseCueSheet(r.text.data(), r.text.size(), &sheet)) << r.text;
        EXPECT_EQ(sheet.problem, r.problem) << r.text;
    }
}

// Laying sheets out from what the files hold: strides by track mode inside one file, stored
// pregaps, gaps no file stores, and the sheets that cannot be a disc.
TEST(CueLayout, PlacesTracksByTheirOwnModesAndGaps) {
    CueSheet sheet;
    sheet.files = {{"data.bin", kCueFileBinary}, {"audio.wav", kCueFileWave}};
    CueTrack data;
    data.mode = kCueModeMode1_2048;
    data.file = 0;
    CueTrack a1;
    a1.mode = kCueModeAudio;
    a1.file = 0;
    a1.hasIndex00 = true;
    a1.index00 = 100;
    a1.index01 = 250;
    CueTrack a2;
    a2.mode = kCueModeMode1_2352; // a WAVE file's tracks are audio whatever they say
    a2.file = 1;
    a2.pregap = 30;
    a2.index01 = 10;
    a2.postgap = 20;
    sheet.tracks = {data, a1, a2};
    std::vector<CueFileFacts> files = {{true, false, 100 * 2048 + 200 * 2352},
                                       {true, true, 50 * 2352}};
    CuePlan plan;
    std::string error;
    ASSERT_TRUE(PlanCueDisc(sheet, files, 449849, &plan, &error)) << error;
    EXPECT_EQ(plan.totalSectors, 100u + 200 + 30 + 50 + 20);
    ASSERT_EQ(plan.tracks.size(), 3u);
    EXPECT_EQ(plan.tracks[0].adrControl, 0x14);
    EXPECT_EQ(plan.tracks[1].index01, 250u);
    EXPECT_EQ(plan.tracks[1].adrControl, 0x10);
    EXPECT_EQ(plan.tracks[2].index01, 300u + 30 + 10);
    EXPECT_EQ(plan.tracks[2].mode, uint32_t(kCueModeAudio));
    // Sectors a file stores before a track's INDEX 01 are that track's pregap, a run of their
    // own.
    const struct {
        uint32_t first, sectors, file, stride;
        uint64_t offset;
        bool pregap;
    } runs[] = {
        {0, 100, 0, 2048, 0, false},
        {100, 150, 0, 2352, 100 * 2048, true}, // the audio pregap follows 100 sectors of 2048 bytes
        {250, 50, 0, 2352, 100 * 2048 + 150 * 2352, false},
        {300, 30, kCueNoFile, 0, 0, false},
        {330, 10, 1, 2352, 0, true},
        {340, 40, 1, 2352, 10 * 2352, false},
        {380, 20, kCueNoFile, 0, 0, false},
    };
    ASSERT_EQ(plan.runs.size(), 7u);
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(plan.runs[i].firstLba, runs[i].first) << i;
        EXPECT_EQ(plan.runs[i].sectors, runs[i].sectors) << i;
        EXPECT_EQ(plan.runs[i].file, runs[i].file) << i;
        EXPECT_EQ(plan.runs[i].stride, runs[i].stride) << i;
        EXPECT_EQ(plan.runs[i].offset, runs[i].offset) << i;
        EXPECT_EQ(plan.runs[i].pregap, runs[i].pregap) << i;
    }
    ASSERT_EQ(plan.sessions.size(), 1u);
    EXPECT_EQ(plan.sessions[0].leadOut, plan.totalSectors);

    const struct {
        const char* what;
        void (*change)(CueSheet*, std::vector<CueFileFacts>*);
        const char* error;
    } refused[] = {
        {"INDEX 01 before the previous track's",
         [](CueSheet* s, std::vector<CueFileFacts>*) {
             s->tracks[1].hasIndex00 = false;
             s->tracks[1].index01 = 0;
         },
         "INDEX positions of track 2 go backwards in data.bin"},
        {"INDEX 00 after INDEX 01",
         [](CueSheet* s, std::vector<CueFileFacts>*) { s->tracks[1].index00 = 260; },
         "INDEX 00 of track 2 lies after its INDEX 01 in data.bin"},
        {"file shorter than its INDEX",
         [](CueSheet*, std::vector<CueFileFacts>* f) { (*f)[0].streamBytes = 100 * 2048 + 150 * 2352; },
         "Track 2 lies beyond the end of data.bin"},
        {"file shorter than its first track's start",
         [](CueSheet*, std::vector<CueFileFacts>* f) { (*f)[1].streamBytes = 10 * 2352; },
         "Track 3 lies beyond the end of audio.wav"},
        {"empty file", [](CueSheet*, std::vector<CueFileFacts>* f) { (*f)[0].streamBytes = 0; },
         "Track 2 lies beyond the end of data.bin"},
        {"gaps beyond any disc",
         [](CueSheet* s, std::vector<CueFileFacts>*) { s->tracks[2].postgap = 449849; },
         "The disc the sheet describes is longer than a disc can be"},
        {"first track of an unknown mode",
         [](CueSheet* s, std::vector<CueFileFacts>*) { s->tracks[0].mode = kCueModeCdg; }, ""},
    };
    for (const auto& r : refused) {
        CueSheet s = sheet;
        std::vector<CueFileFacts> f = files;
        r.change(&s, &f);
        EXPECT_FALSE(PlanCueDisc(s, f, 449849, &plan, &error)) << r.what;
        EXPECT_EQ(error, r.error) << r.what;
    }
}

// Sessions after the first start after the gap a disc has there: the lead-out of the session
// before (6750 sectors after the first, 2250 after later ones), the lead-in (4500) and the
// 2-second pregap of the session's first track, less what the sheet gives of that pregap.
TEST(CueLayout, LeavesTheGapBetweenSessions) {
    CueSheet sheet;
    sheet.files = {{"a.bin", kCueFileBinary}, {"b.bin", kCueFileBinary}};
    auto track = [](uint32_t mode, uint32_t file, uint32_t session, uint32_t index01) {
        CueTrack t;
        t.mode = mode;
        t.file = file;
        t.session = session;
        t.index01 = index01;
        return t;
    };
    sheet.tracks = {track(kCueModeAudio, 0, 1, 0), track(kCueModeMode2_2352, 1, 2, 0),
                    track(kCueModeMode2_2352, 1, 3, 40)};
    std::vector<CueFileFacts> files = {{true, false, 100 * 2352}, {true, false, 60 * 2352}};
    const struct {
        const char* what;
        uint32_t storedPregap, pregap; // of track 2
        uint32_t track2, track3;
    } cases[] = {
        {"no pregap given", 0, 0, 100 + 11400, 100 + 11400 + 40 + 6900},
        {"a stored pregap", 150, 0, 100 + 11400, 100 + 11400 + 40 + 6900},
        {"part of it stored", 50, 0, 100 + 11400, 100 + 11400 + 40 + 6900},
        {"PREGAP and a stored part", 50, 100, 100 + 11400, 100 + 11400 + 40 + 6900},
        {"a longer pregap", 200, 0, 100 + 11250 + 200, 100 + 11250 + 200 + 40 + 6900},
    };
    for (const auto& c : cases) {
        CueSheet s = sheet;
        s.tracks[1].pregap = c.pregap;
        s.tracks[1].hasIndex00 = c.storedPregap > 0;
        s.tracks[1].index01 = c.storedPregap;
        s.tracks[2].index01 = c.storedPregap + 40;
        std::vector<CueFileFacts> f = files;
        f[1].streamBytes += uint64_t(c.storedPregap) * 2352;
        CuePlan plan;
        std::string error;
        ASSERT_TRUE(PlanCueDisc(s, f, 449849, &plan, &error)) << c.what << " " << error;
        ASSERT_EQ(plan.sessions.size(), 3u) << c.what;
        EXPECT_EQ(plan.tracks[1].index01, c.track2) << c.what;
        EXPECT_EQ(plan.tracks[2].index01, c.track3) << c.what;
        EXPECT_EQ(plan.tracks[2].session, 3u) << c.what;
        EXPECT_EQ(plan.sessions[0].leadOut, 100u) << c.what;
        EXPECT_EQ(plan.sessions[1].programStart, 100u + 6750 + 4500) << c.what;
        EXPECT_EQ(plan.sessions[1].leadOut, c.track2 + 40) << c.what;
        EXPECT_EQ(plan.sessions[2].programStart, c.track2 + 40 + 2250 + 4500) << c.what;
        EXPECT_EQ(plan.sessions[2].leadOut, plan.totalSectors) << c.what;
        EXPECT_EQ(plan.totalSectors, c.track3 + 20) << c.what;
        // No run reaches into a gap.
        for (const CueRun& r : plan.runs) {
            for (size_t g = 0; g + 1 < plan.sessions.size(); ++g) {
                const uint32_t gapEnd = plan.tracks[plan.sessions[g + 1].firstTrack].index01 -
                                        (g == 0 ? c.storedPregap : 0);
                EXPECT_TRUE(r.firstLba + r.sectors <= plan.sessions[g].leadOut ||
                            r.firstLba >= gapEnd - (g == 0 ? c.pregap : 0))
                    << c.what << " run at " << r.firstLba;
            }
        }
    }
    // A sheet whose tracks skip a session, or go back to an earlier one, is not a disc.
    for (uint32_t session : {3u, 0u}) {
        CueSheet s = sheet;
        s.tracks[1].session = session;
        CuePlan plan;
        std::string error;
        EXPECT_FALSE(PlanCueDisc(s, files, 449849, &plan, &error)) << session;
        EXPECT_EQ(error, "The sessions of the sheet do not follow one another from 1");
    }
}

using CueSheetFiles = TempFolder;

// Sheets that must not mount, each with a message that names what is wrong; and a file named
// outside the sheet's folder that is an ordinary readable file, which mounts.
TEST_F(CueSheetFiles, HostileSheetsAreRefusedWithAReason) {
    std::filesystem::create_directories(m_dir / "a" / "b");
    const std::vector<uint8_t> sectors(2352 * 20, 0);
    ASSERT_TRUE(testing::WriteFile(m_dir / "a" / "b" / "t1.bin", sectors));
    ASSERT_TRUE(testing::WriteFile(m_dir / "a" / "b" / "short.bin", sectors));
    ASSERT_TRUE(testing::WriteFile(m_dir / "outside.bin", sectors));
    const std::string t1 = "FILE \"t1.bin\" BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n";
    auto inFolder = [&](const char* name) { return (m_dir / "a" / "b" / name).string(); };
    std::string hundred;
    for (int i = 0; i < 100; ++i)
        hundred += "FILE \"t1.bin\" BINARY\nTRACK " + std::to_string(i + 1) +
                   " AUDIO\nINDEX 01 00:00:00\n";
    const struct {
        std::string sheet;
        int result;
        std::string message;
    } cases[] = {
        {t1 + "FILE \"t2.bin\" BINARY\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n", kParseFailed,
         "Open file: " + inFolder("t2.bin") + " failure, ErrorCode=2"},
        {t1 + "FILE \"short.bin\" BINARY\nTRACK 02 AUDIO\nINDEX 01 00:00:20\n", kParseFailed,
         "Track 2 lies beyond the end of short.bin"},
        {"FILE \"t1.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:10\nTRACK 02 AUDIO\n"
         "INDEX 01 00:00:05\n",
         kParseFailed, "INDEX positions of track 2 go backwards in t1.bin"},
        {"FILE \"s.cue\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n", kParseFailed,
         "The sheet names itself as a data file: " + inFolder("s.cue")},
        {t1 + "FILE \"s.cue\" BINARY\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n", kParseFailed,
         "The sheet names itself as a data file: " + inFolder("s.cue")},
        {hundred, kParseFailed, "Failed to parse .cue file: a disc holds at most 99 tracks"},
        {t1 + "REM SESSION 03\nFILE \"t1.bin\" BINARY\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n",
         kParseFailed, "Failed to parse .cue file: REM SESSION 03 is out of order"},
        {t1 + "REM SESSION 100\nFILE \"t1.bin\" BINARY\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n",
         kParseFailed,
         "Failed to parse .cue file: REM SESSION needs a session number from 01 to 99"},
        {t1 + "REM SESSION 02\n", kParseFailed,
         "Failed to parse .cue file: session 2 has no tracks"},
        {t1 + "FILE \"t1.bin\" MP3\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n", kParseFailed,
         "Unknown CUE file type:MP3"},
        {t1 + "FILE \"..\\..\\outside.bin\" BINARY\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n",
         kParseOk, ""},
#ifndef _WIN32
        {t1 + "FILE \"../../../../../../../../dev/zero\" BINARY\nTRACK 02 AUDIO\n"
              "INDEX 01 00:00:00\n",
         kParseFailed, ""},
        {"FILE \"..\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n", kParseFailed, ""},
#endif
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(testing::WriteText(m_dir / "a" / "b" / "s.cue", c.sheet));
        Opened o;
        OpenWith(&o, m_dir / "a" / "b" / "s.cue");
        EXPECT_EQ(o.result, c.result) << c.sheet;
        if (!c.message.empty()) {
            EXPECT_EQ(o.message, c.message) << c.sheet;
        } else if (c.result == kParseFailed) {
            EXPECT_NE(o.message.find("not a file"), std::string::npos) << o.message;
        }
        if (c.result != kParseOk) {
            EXPECT_EQ(V(o.record.imageHandle), 0u);
            EXPECT_EQ(V(o.record.kindPointer), 0u);
            EXPECT_EQ(V(o.record.trackTable), 0u);
        } else {
            EXPECT_EQ(V(o.record.readerKind), kReaderMultiFile);
            EXPECT_EQ(V(o.record.totalSectors), 40u);
        }
    }
}

// FLAGS set the matching control bits in the TOC of every kind; BINARY sheets with titles get
// CD-Text too.
TEST_F(CueSheetFiles, FlagsAndTitlesFollowTheSheet) {
    for (bool wave : {false, true}) {
        CueOptions c;
        c.wave = wave;
        c.disc.title = "Album";
        c.disc.sessions.push_back({{testing::Track(Mode::Audio, 30, 0, "One"),
                                    testing::Track(Mode::Audio, 30), testing::Track(Mode::Audio, 30),
                                    testing::Track(Mode::Audio, 30)}});
        ASSERT_TRUE(testing::WriteCueImage(m_dir / "f.cue", c));
        std::ifstream in(m_dir / "f.cue");
        std::string sheet((std::istreambuf_iterator<char>(in)), {});
        const char* flags[] = {"FLAGS PRE", "FLAGS DCP", "FLAGS 4CH", "FLAGS DCP PRE"};
        for (int t = 4; t >= 1; --t) {
            char track[16];
            std::snprintf(track, sizeof(track), "TRACK %02d", t);
            size_t at = sheet.find("\n", sheet.find(track));
            sheet.insert(at + 1, std::string("    ") + flags[t - 1] + "\r\n");
        }
        ASSERT_TRUE(testing::WriteText(m_dir / "f.cue", sheet));
        Opened o;
        OpenWith(&o, m_dir / "f.cue");
        ASSERT_EQ(o.result, kParseOk) << o.message;
        const uint8_t controls[] = {0x11, 0x12, 0x18, 0x13};
        for (uint8_t t = 1; t <= 4; ++t) {
            ASSERT_NE(o.TocPoint(1, t), nullptr) << wave;
            EXPECT_EQ(o.TocPoint(1, t)[1], controls[t - 1]) << wave << " track " << int(t);
        }
        EXPECT_EQ(o.TocPoint(1, 0xA0)[1], 0x11) << wave;
        EXPECT_EQ(o.TocPoint(1, 0xA2)[1], 0x13) << wave;
        auto* text = PointerOf<uint8_t>(o.record.cdText);
        ASSERT_NE(text, nullptr) << wave;
        std::string packs(text, text + LoadBe16(text) + 2);
        EXPECT_NE(packs.find("Album"), std::string::npos) << wave;
        EXPECT_NE(packs.find("One"), std::string::npos) << wave;
    }
}

} // namespace
} // namespace vostrale
