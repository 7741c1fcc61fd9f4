#include "common/crc.h"
#include "formats/ccd.h"
#include "formats/ini.h"
#include "formats_fixture.h"

#include <fstream>
#include <sstream>

namespace vostrale {
namespace {

using testing::CcdOptions;
using testing::Mode;
using testing::Track;

using CcdTest = TempFolder;

TEST(IniFile, AnswersLikeTheProfileReader) {
    const std::string text =
        "; comment\n[Disc]\r\nTocEntries = 4 \nSessions=1\nsessions=9\n[disc]\nCDTextLength=36\n"
        "[Quoted]\nName=\"a b\"\nLoose=x=y\n";
    IniFile ini;
    ini.Load(text.data(), text.size());
    EXPECT_EQ(ini.Get("DISC", "tocentries", ""), "4");
    EXPECT_EQ(ini.Get("Disc", "Sessions", ""), "1");
    EXPECT_EQ(ini.Get("Disc", "CDTextLength", "0"), "0"); // only the first [Disc] is read
    EXPECT_EQ(ini.Get("Quoted", "Name", ""), "a b");
    EXPECT_EQ(ini.Get("Quoted", "Loose", ""), "x=y");
    EXPECT_EQ(ini.Get("Missing", "Key", "dflt"), "dflt");
}

TEST_F(CcdTest, SingleSessionUsesTheImgAsOneRun) {
    CcdOptions c;
    c.disc.sessions.push_back({{Track(Mode::Mode1, 100), Track(Mode::Audio, 50)}});
    ASSERT_TRUE(testing::WriteCcdImage(m_dir / "disc.ccd", c));
    Opened o;
    OpenWith(&o, m_dir / "disc.ccd");
    ASSERT_EQ(o.result, kParseOk) << o.message;
    EXPECT_EQ(V(o.record.readerKind), kReaderCcd);
    EXPECT_EQ(V(o.record.totalSectors), 150u);
    EXPECT_EQ(V(o.record.sessions), 1);
    EXPECT_NE(V(o.record.kindPointer), 0u);
    EXPECT_EQ(V(o.record.trackTable), 0u);
    ASSERT_EQ(o.TocCount(), 5u);
    for (uint32_t i = 0; i < 5; ++i)
        EXPECT_EQ(V(o.Toc(i)[2]), 0) << "TNO hints are cleared";
    EXPECT_EQ(V(o.TocPoint(1, 1)[1]), 0x14);
    EXPECT_EQ(V(o.TocPoint(1, 2)[1]), 0x10);

    ReleaseLayout(&o.record); // the .sub file is open until then, and Windows keeps it
    ASSERT_TRUE(std::filesystem::remove(m_dir / "disc.sub"));
    Opened noSub;
    OpenWith(&noSub, m_dir / "disc.ccd");
    ASSERT_EQ(noSub.result, kParseOk);
    EXPECT_EQ(V(noSub.record.kindPointer), 0u);
}

TEST_F(CcdTest, SessionsAreGroupedAndStoredBackToBack) {
    CcdOptions c;
    c.disc.sessions.push_back({{Track(Mode::Mode1, 100)}});
    c.disc.sessions.push_back({{Track(Mode::Mode2Form1, 40)}});
    ASSERT_TRUE(testing::WriteCcdImage(m_dir / "two.ccd", c));
    Opened o;
    OpenWith(&o, m_dir / "two.ccd");
    ASSERT_EQ(o.result, kParseOk) << o.message;
    const uint32_t second = 100 + testing::kSessionGap;
    EXPECT_EQ(V(o.record.sessions), 2);
    EXPECT_EQ(V(o.record.totalSectors), second + 40);
    ASSERT_EQ(o.TrackCount(), 3u);
    EXPECT_EQ(V(o.Track(0).sectorType), kSectorMode1); // from the MODE hint
    EXPECT_EQ(V(o.Track(0).parts), 0x0F);
    EXPECT_EQ(V(o.Track(1).bytesPerSector), 0u);
    EXPECT_EQ(V(o.Track(1).endLba), second);
    EXPECT_EQ(V(o.Track(2).sectorType), kSectorMode2Form1); // read from the .img
    EXPECT_EQ(V(o.Track(2).fileOffset), 100u * 2352);
}

TEST_F(CcdTest, ScrambledFlagAndCdText) {
    const struct {
        int version;
        bool writeKey;
        int value;
        uint8_t expected;
    } cases[] = {{1, false, 0, 1}, {1, true, 0, 0}, {2, true, 1, 0}, {3, true, 1, 0}};
    for (const auto& c : cases) {
        CcdOptions opt;
        opt.version = c.version;
        opt.writeScrambledKey = c.writeKey;
        opt.scrambled = c.value;
        opt.disc.sessions.push_back({{Track(Mode::Audio, 10)}});
        ASSERT_TRUE(testing::WriteCcdImage(m_dir / "s.ccd", opt));
        Opened o;
        OpenWith(&o, m_dir / "s.ccd");
        ASSERT_EQ(o.result, kParseOk);
        EXPECT_EQ(V(o.record.scrambled), c.expected) << c.version;
    }

    CcdOptions text;
    text.disc.sessions.push_back({{Track(Mode::Audio, 10)}});
    text.cdTextPacks = testing::SampleCdTextPacks("Album Title", {"One"});
    ASSERT_EQ(text.cdTextPacks.size(), 36u);
    for (size_t i = 16; i < 36; i += 18)
        text.cdTextPacks[i] = text.cdTextPacks[i + 1] = 0; // the file carries no CRCs
    ASSERT_TRUE(testing::WriteCcdImage(m_dir / "t.ccd", text));
    Opened o;
    OpenWith(&o, m_dir / "t.ccd");
    ASSERT_EQ(o.result, kParseOk);
    const uint8_t* block = PointerOf<uint8_t>(o.record.cdText);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(LoadBe16(block), 38);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(LoadBe16(block + 4 + 18 * i + 16),
                  uint16_t(~Crc16Xmodem(block + 4 + 18 * i, 16)));
}

TEST_F(CcdTest, LeadOutGivesTheLength) {
    const std::string ccd =
        "[CloneCD]\nVersion=3\n[Disc]\nTocEntries=2\nSessions=1\n"
        "[Entry 0]\nSession=1\nPoint=0xa2\nADR=0x01\nControl=0x04\nTrackNo=0\nAMin=0\nASec=0\n"
        "AFrame=0\nZero=0\nPMin=10\nPSec=2\nPFrame=0\n"
        "[Entry 1]\nSession=1\nPoint=0x01\nADR=0x01\nControl=0x04\nTrackNo=0\nAMin=0\nASec=0\n"
        "AFrame=0\nZero=0\nPMin=0\nPSec=2\nPFrame=0\n[TRACK 1]\nMODE=1\n";
    ASSERT_TRUE(testing::WriteText(m_dir / "l.ccd", ccd));
    ASSERT_TRUE(testing::WriteFile(m_dir / "l.img", std::vector<uint8_t>(2352, 0)));
    Opened o;
    OpenWith(&o, m_dir / "l.ccd");
    ASSERT_EQ(o.result, kParseOk);
    EXPECT_EQ(V(o.record.totalSectors), 45000u);
}

TEST_F(CcdTest, BrokenDescriptionsAreRefusedWithoutMessage) {
    CcdOptions base;
    base.disc.sessions.push_back({{Track(Mode::Mode1, 10)}});
    ASSERT_TRUE(testing::WriteCcdImage(m_dir / "b.ccd", base));
    std::stringstream buffer;
    buffer << std::ifstream(m_dir / "b.ccd").rdbuf();
    const std::string good = buffer.str();
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string s = good;
        s.replace(s.find(from), from.size(), to);
        return s;
    };
    const std::string cases[] = {
        replaced("TocEntries=4", "TocEntries=1000000000"),
        replaced("TocEntries=4", "TocEntries=5"),
        replaced("Sessions=1", "Sessions=0"),
        replaced("PMin=0\nPSec=2", "PSec=2"),
        replaced("CDTextLength=0", "CDTextLength=20"),
        replaced("CDTextLength=0", "CDTextLength=18\n[CDText]\nEntry 0=01 02 03\n"),
        replaced("[TRACK 1]\nMODE=1", "[TRACK 1]\n"),
        replaced("Point=0xa2", "Point=0xa3"),
    };
    for (const std::string& text : cases) {
        ASSERT_TRUE(testing::WriteText(m_dir / "b.ccd", text));
        Opened o;
        OpenWith(&o, m_dir / "b.ccd");
        EXPECT_EQ(o.result, kParseFailed) << text;
        EXPECT_EQ(o.message, "");
        EXPECT_EQ(V(o.record.imageHandle), 0u);
        EXPECT_EQ(V(o.record.kindPointer), 0u);
    }
    ASSERT_TRUE(testing::WriteText(m_dir / "b.ccd", good));
    std::filesystem::remove(m_dir / "b.img");
    Opened noImg;
    OpenWith(&noImg, m_dir / "b.ccd");
    EXPECT_EQ(noImg.result, kParseFailed);
}

} // namespace
} // namespace vostrale
