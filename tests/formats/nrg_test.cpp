#include "formats/nrg.h"
#include "formats_fixture.h"

#include <fstream>

namespace vostrale {
namespace {

using testing::Mode;
using testing::NrgOptions;
using testing::Track;

using NrgTest = TempFolder;

TEST_F(NrgTest, FooterAndChunkFormsGiveTheSameDisc) {
    for (int form = 0; form < 4; ++form) {
        NrgOptions n;
        n.ner5 = form & 1;
        n.cuex = form & 2;
        n.daox = !(form & 1);
        n.disc.sessions.push_back({{Track(Mode::Mode1, 300), Track(Mode::Audio, 200, 150)}});
        ASSERT_TRUE(testing::WriteNrgImage(m_dir / "d.nrg", n));
        Opened o;
        OpenWith(&o, m_dir / "d.nrg");
        ASSERT_EQ(o.result, kParseOk) << form << o.message;
        EXPECT_EQ(V(o.record.readerKind), kReaderNrg);
        EXPECT_EQ(V(o.record.totalSectors), 650u);
        EXPECT_EQ(V(o.record.sessions), 1);
        ASSERT_EQ(o.TocCount(), 5u);
        EXPECT_EQ(V(o.TocPoint(1, 1)[1]), 0x14);
        EXPECT_EQ(V(o.TocPoint(1, 2)[1]), 0x10);
        EXPECT_EQ(MsfToLba(o.TocPoint(1, 2)[8], o.TocPoint(1, 2)[9], o.TocPoint(1, 2)[10]), 450);
        // Track 1 in 2048-byte sectors; track 2's stored pregap is not read as track 1 data
        // but from the file, as a run of its own marked as the pregap.
        ASSERT_EQ(o.TrackCount(), 3u);
        EXPECT_EQ(V(o.Track(0).sectorType), kSectorMode1);
        EXPECT_EQ(V(o.Track(0).parts), 0);
        EXPECT_EQ(V(o.Track(0).endLba), 300u);
        EXPECT_EQ(V(o.Track(1).sectorType), kSectorCdda);
        EXPECT_EQ(V(o.Track(1).flags), kRunPregap);
        EXPECT_EQ(V(o.Track(1).firstLba), 300u);
        EXPECT_EQ(V(o.Track(1).endLba), 450u);
        EXPECT_EQ(V(o.Track(1).bytesPerSector), 2352u);
        EXPECT_EQ(V(o.Track(1).fileOffset), 300u * 2048);
        EXPECT_EQ(V(o.Track(2).sectorType), kSectorCdda);
        EXPECT_EQ(V(o.Track(2).flags), 0);
        EXPECT_EQ(V(o.Track(2).fileOffset), 300u * 2048 + 150u * 2352);
    }
}

TEST_F(NrgTest, TwoSessionsGetB0C0AndAGap) {
    NrgOptions n;
    n.rawData = true;
    n.disc.sessions.push_back({{Track(Mode::Audio, 100), Track(Mode::Audio, 100)}});
    n.disc.sessions.push_back({{Track(Mode::Mode2Form1, 50)}});
    ASSERT_TRUE(testing::WriteNrgImage(m_dir / "d.nrg", n));
    Opened o;
    OpenWith(&o, m_dir / "d.nrg");
    ASSERT_EQ(o.result, kParseOk) << o.message;
    EXPECT_EQ(V(o.record.sessions), 2);
    const uint32_t second = 200 + testing::kSessionGap;
    EXPECT_EQ(V(o.record.totalSectors), second + 50);
    ASSERT_EQ(o.TocCount(), 3u + 4 * 2);
    const uint8_t* b0 = o.TocPoint(1, 0xB0);
    ASSERT_NE(b0, nullptr);
    EXPECT_EQ(b0[1], 0x50);
    EXPECT_EQ(b0[7], 2);
    EXPECT_EQ(MsfToLba(b0[4], b0[5], b0[6]), int32_t(second) - 150);
    ASSERT_NE(o.TocPoint(1, 0xC0), nullptr);
    EXPECT_EQ(o.TocPoint(1, 0xC0)[8], 0x5F);
    EXPECT_EQ(o.TocPoint(2, 0xA0)[8], 3);
    EXPECT_EQ(o.TocPoint(2, 0xA0)[9], 0x20);
    EXPECT_EQ(o.TocPoint(2, 0xA1)[8], 3);
    EXPECT_EQ(o.TocPoint(2, 3)[1], 0x14);
    // Session 1's audio tracks are stored back to back and share one entry.
    ASSERT_EQ(o.TrackCount(), 3u);
    EXPECT_EQ(V(o.Track(0).endLba), 200u);
    EXPECT_EQ(V(o.Track(1).firstLba), 200u);
    EXPECT_EQ(V(o.Track(1).endLba), second);
    EXPECT_EQ(V(o.Track(1).bytesPerSector), 0u);
    EXPECT_EQ(V(o.Track(2).sectorType), kSectorMode2Form1);
    EXPECT_EQ(V(o.Track(2).fileOffset), 200u * 2352);
}

TEST_F(NrgTest, RealFileForms) {
    NrgOptions sub;
    sub.subchannel = true;
    sub.disc.sessions.push_back({{Track(Mode::Mode1, 10), Track(Mode::Mode2Form1, 10)}});
    NrgOptions dvd;
    dvd.mediaType = 0x10;
    dvd.disc.sessions.push_back({{Track(Mode::Mode1, 10)}});
    NrgOptions tao;
    tao.tao = true;
    tao.disc.sessions.push_back({{Track(Mode::Mode2Form1, 20), Track(Mode::Audio, 30)}});

    ASSERT_TRUE(testing::WriteNrgImage(m_dir / "sub.nrg", sub));
    Opened s;
    OpenWith(&s, m_dir / "sub.nrg");
    ASSERT_EQ(s.result, kParseOk) << s.message;
    ASSERT_EQ(s.TrackCount(), 2u); // back to back: no empty gap entry between them
    EXPECT_EQ(V(s.Track(0).bytesPerSector), 2448u);
    EXPECT_EQ(V(s.Track(0).sectorType), kSectorMode1);
    EXPECT_EQ(V(s.Track(1).sectorType), kSectorMode2Form1);
    EXPECT_EQ(V(s.Track(1).firstLba), 10u);
    EXPECT_EQ(V(s.Track(1).fileOffset), 10u * 2448);

    ASSERT_TRUE(testing::WriteNrgImage(m_dir / "dvd.nrg", dvd));
    Opened d;
    OpenWith(&d, m_dir / "dvd.nrg");
    ASSERT_EQ(d.result, kParseOk) << d.message;
    EXPECT_EQ(V(d.record.mediumKind), kMediumDvd);

    ASSERT_TRUE(testing::WriteNrgImage(m_dir / "tao.nrg", tao));
    Opened t;
    OpenWith(&t, m_dir / "tao.nrg");
    ASSERT_EQ(t.result, kParseOk) << t.message;
    EXPECT_EQ(V(t.record.totalSectors), 20u + 150 + 30);
    EXPECT_EQ(MsfToLba(t.TocPoint(1, 2)[8], t.TocPoint(1, 2)[9], t.TocPoint(1, 2)[10]), 170);
    ASSERT_EQ(t.TrackCount(), 3u);
    EXPECT_EQ(V(t.Track(0).bytesPerSector), 2336u);
    EXPECT_EQ(V(t.Track(2).firstLba), 170u);
    EXPECT_EQ(V(t.Track(2).fileOffset), 20u * 2336);
}

TEST_F(NrgTest, CdTextChunkBecomesTheBlock) {
    NrgOptions n;
    n.disc.sessions.push_back({{Track(Mode::Audio, 10)}});
    n.cdTextPacks = testing::SampleCdTextPacks("Album", {"One"});
    ASSERT_TRUE(testing::WriteNrgImage(m_dir / "t.nrg", n));
    Opened o;
    OpenWith(&o, m_dir / "t.nrg");
    ASSERT_EQ(o.result, kParseOk) << o.message;
    ASSERT_NE(V(o.record.cdText), 0u);
    const uint8_t* block = PointerOf<uint8_t>(o.record.cdText);
    EXPECT_EQ(LoadBe16(block), n.cdTextPacks.size() + 2);
    EXPECT_EQ(std::vector<uint8_t>(block + 4, block + 4 + n.cdTextPacks.size()), n.cdTextPacks);

    n.cdTextPacks.push_back(0); // 37 bytes
    n.cdTextPacks.resize(37);
    ASSERT_TRUE(testing::WriteNrgImage(m_dir / "bad.nrg", n)); // t.nrg stays open in `o`
    Opened bad;
    OpenWith(&bad, m_dir / "bad.nrg");
    EXPECT_EQ(bad.result, kParseFailed);
    EXPECT_EQ(bad.message, "Failed to parse .nrg");
}

TEST_F(NrgTest, DamagedFilesAreRefusedWithTheirMessages) {
    NrgOptions n;
    n.disc.sessions.push_back({{Track(Mode::Mode1, 20), Track(Mode::Audio, 20)}});
    ASSERT_TRUE(testing::WriteNrgImage(m_dir / "good.nrg", n));
    std::ifstream in(m_dir / "good.nrg", std::ios::binary);
    std::vector<uint8_t> good((std::istreambuf_iterator<char>(in)), {});
    const size_t list = size_t(LoadBe64(&good[good.size() - 8]));

    // Every single-byte change to the chunk list and footer is refused or mounted cleanly.
    for (size_t at = list; at < good.size(); ++at) {
        for (uint8_t value : {uint8_t(0x00), uint8_t(0xFF), uint8_t(good[at] + 1)}) {
            std::vector<uint8_t> bad = good;
            bad[at] = value;
            ASSERT_TRUE(testing::WriteFile(m_dir / "bad.nrg", bad));
            Opened o;
            OpenWith(&o, m_dir / "bad.nrg");
            if (o.result != kParseOk) {
                EXPECT_TRUE(o.message == "Failed to parse .nrg" || o.message == "TotalBlocks is 0")
                    << o.message;
            }
        }
    }
    // A chunk length that runs past the footer, and a list without a lead-out.
    std::vector<uint8_t> longChunk = good;
    StoreBe32(&longChunk[list + 4], 0x7FFFFFFF);
    std::vector<uint8_t> noLeadOut = good;
    for (size_t at = list + 8; at + 8 <= list + 8 + LoadBe32(&good[list + 4]); at += 8) {
        if (noLeadOut[at + 1] == 0xAA)
            noLeadOut[at + 1] = 0x03;
    }
    const struct {
        std::vector<uint8_t> bytes;
        const char* message;
    } cases[] = {
        {longChunk, "Failed to parse .nrg"},
        {noLeadOut, "TotalBlocks is 0"},
        {std::vector<uint8_t>(good.begin(), good.begin() + 11), "Failed to parse .nrg"},
        {std::vector<uint8_t>(good.begin(), good.end() - 1), "Failed to parse .nrg"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(testing::WriteFile(m_dir / "bad.nrg", c.bytes));
        Opened o;
        OpenWith(&o, m_dir / "bad.nrg");
        EXPECT_EQ(o.result, kParseFailed);
        EXPECT_EQ(o.message, c.message);
        EXPECT_EQ(V(o.record.imageHandle), 0u);
    }
}

TEST_F(NrgTest, SixtyFourBitFooterBeyondFourGigabytes) {
#ifdef _WIN32
    GTEST_SKIP() << "needs a sparse file";
#else
    NrgOptions n;
    n.disc.sessions.push_back({{Track(Mode::Audio, 10)}});
    ASSERT_TRUE(testing::WriteNrgImage(m_dir / "small.nrg", n));
    std::ifstream in(m_dir / "small.nrg", std::ios::binary);
    std::vector<uint8_t> small((std::istreambuf_iterator<char>(in)), {});
    const uint64_t list = LoadBe64(&small[small.size() - 8]);
    const uint64_t moved = list + (5ull << 30);
    std::vector<uint8_t> tail(small.begin() + std::ptrdiff_t(list), small.end());
    StoreBe32(&tail[tail.size() - 8], uint32_t(moved >> 32));
    StoreBe32(&tail[tail.size() - 4], uint32_t(moved));
    {
        std::ofstream out(m_dir / "big.nrg", std::ios::binary);
        out.write(reinterpret_cast<const char*>(small.data()), std::streamsize(list));
        out.seekp(std::streamoff(moved));
        out.write(reinterpret_cast<const char*>(tail.data()), std::streamsize(tail.size()));
        ASSERT_TRUE(bool(out));
    }
    Opened o;
    OpenWith(&o, m_dir / "big.nrg");
    EXPECT_EQ(o.result, kParseOk) << o.message;
    EXPECT_EQ(V(o.record.totalSectors), 10u);
#endif
}

TEST(NrgModes, CodeToSectorType) {
    const struct {
        uint8_t code, type;
    } cases[] = {{0, 2},  {5, 2},  {15, 2}, {2, 4},  {3, 4},  {6, 4},
                 {17, 4}, {14, 5}, {7, 1},  {16, 1}, {200, 1}};
    for (const auto& c : cases)
        EXPECT_EQ(NrgSectorType(c.code), c.type) << int(c.code);
}

} // namespace
} // namespace vostrale
