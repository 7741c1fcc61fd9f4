#include "formats/mds.h"
#include "formats_fixture.h"

#include <fstream>
#include <sstream>

namespace vostrale {
namespace {

using testing::MdsOptions;
using testing::Mode;
using testing::Track;

using MdsTest = TempFolder;

std::vector<uint8_t> ReadAll(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), {});
}

TEST_F(MdsTest, TracksAreMappedFromTheirOwnStartAndOffset) {
    MdsOptions m;
    m.disc.sessions.push_back({{Track(Mode::Mode1, 300), Track(Mode::Audio, 200, 150)}});
    ASSERT_TRUE(testing::WriteMdsImage(m_dir / "disc image.mds", m));
    ASSERT_TRUE(std::filesystem::exists(m_dir / "disc image.mdf"));
    Opened o;
    OpenWith(&o, m_dir / "disc image.mds");
    ASSERT_EQ(o.result, kParseOk) << o.message;
    EXPECT_EQ(V(o.record.readerKind), kReaderMds);
    EXPECT_EQ(V(o.record.mediumKind), kMediumCd);
    EXPECT_EQ(V(o.record.bytesPerSector), 2352);
    EXPECT_EQ(V(o.record.totalSectors), 650u);
    ASSERT_EQ(o.TrackCount(), 3u);
    EXPECT_EQ(V(o.Track(0).sectorType), kSectorMode1);
    EXPECT_EQ(V(o.Track(0).parts), 0x0B);
    EXPECT_EQ(V(o.Track(0).endLba), 300u);
    EXPECT_EQ(V(o.Track(1).bytesPerSector), 0u); // the unstored pregap reads as zeros
    EXPECT_EQ(V(o.Track(2).firstLba), 450u);
    EXPECT_EQ(V(o.Track(2).sectorType), kSectorCdda);
    EXPECT_EQ(V(o.Track(2).fileOffset), 300u * 2352);
    ASSERT_EQ(o.TocCount(), 5u);
    EXPECT_EQ(V(o.TocPoint(1, 1)[1]), 0x14);
    EXPECT_EQ(V(o.TocPoint(1, 2)[1]), 0x10);
    EXPECT_EQ(MsfToLba(o.TocPoint(1, 0xA2)[8], o.TocPoint(1, 0xA2)[9], o.TocPoint(1, 0xA2)[10]),
              650);
}

TEST_F(MdsTest, SessionsSubchannelAndDvd) {
    MdsOptions multi;
    multi.subchannel = true;
    multi.disc.sessions.push_back({{Track(Mode::Audio, 100)}});
    multi.disc.sessions.push_back({{Track(Mode::Mode2Form1, 40)}});
    ASSERT_TRUE(testing::WriteMdsImage(m_dir / "m.mds", multi));
    Opened o;
    OpenWith(&o, m_dir / "m.mds");
    ASSERT_EQ(o.result, kParseOk) << o.message;
    const uint32_t second = 100 + testing::kSessionGap;
    EXPECT_EQ(V(o.record.sessions), 2);
    EXPECT_EQ(V(o.record.totalSectors), second + 40);
    ASSERT_EQ(o.TrackCount(), 3u);
    EXPECT_EQ(V(o.Track(1).firstLba), 100u);
    EXPECT_EQ(V(o.Track(1).endLba), second);
    EXPECT_EQ(V(o.Track(2).bytesPerSector), 2448u);
    EXPECT_EQ(V(o.Track(2).fileOffset), 100u * 2448);
    EXPECT_EQ(V(o.Track(2).sectorType), kSectorMode2Form1);
    EXPECT_EQ(V(o.Track(2).parts), 0x0F);
    EXPECT_EQ(o.TocCount(), 8u);
    EXPECT_NE(o.TocPoint(2, 2), nullptr);

    MdsOptions dvd;
    dvd.mediumType = 0x10;
    dvd.dataName = "data.bin";
    dvd.wideName = true;
    dvd.disc.sessions.push_back({{Track(Mode::Mode1, 64)}});
    ASSERT_TRUE(testing::WriteMdsImage(m_dir / "d.mds", dvd));
    Opened d;
    OpenWith(&d, m_dir / "d.mds");
    ASSERT_EQ(d.result, kParseOk) << d.message;
    EXPECT_EQ(V(d.record.mediumKind), kMediumDvd);
    EXPECT_EQ(V(d.record.bytesPerSector), 2048);
    EXPECT_EQ(V(d.record.fullToc), 0u);
    EXPECT_EQ(V(d.record.totalSectors), 64u);
    ASSERT_EQ(d.TrackCount(), 1u);
    EXPECT_EQ(V(d.Track(0).bytesPerSector), 2048u);
}

TEST(MdsLayout, ModeByteGivesTypeAndStoredParts) {
    const struct {
        uint8_t mode, type, parts;
    } cases[] = {{0xA9, 1, 0x0B}, {0xAA, 2, 0x0B}, {0xAB, 3, 0x0B}, {0xAC, 4, 0x0B},
                 {0xAD, 5, 0x0B}, {0xEC, 4, 0x0F}, {0x04, 4, 0x0F}};
    for (const auto& c : cases) {
        MdsDisc disc;
        disc.sessions.push_back({-150, 100, 1, 1, 1, {}});
        MdsBlock b{};
        b.head[0] = c.mode;
        b.head[4] = 1;
        b.sectorSize = 2352;
        disc.sessions[0].blocks = {b, b};
        disc.sessions[0].blocks[1].head[4] = 0xA2;
        MountRecord r{};
        ASSERT_TRUE(BuildMdsLayout(disc, &r));
        auto* e = reinterpret_cast<const TrackEntry*>(PointerOf<uint8_t>(r.trackTable) + 4);
        EXPECT_EQ(V(e->sectorType), c.type) << int(c.mode);
        EXPECT_EQ(V(e->parts), c.parts) << int(c.mode);
        ReleaseLayout(&r);
    }
}

TEST_F(MdsTest, RefusalsCarryTheirMessages) {
    MdsOptions base;
    base.disc.sessions.push_back({{Track(Mode::Mode1, 20)}});
    ASSERT_TRUE(testing::WriteMdsImage(m_dir / "ok.mds", base));
    std::vector<uint8_t> good = ReadAll(m_dir / "ok.mds");

    auto withVersion = [&](uint8_t major, uint8_t minor) {
        auto v = good;
        v[16] = major;
        v[17] = minor;
        return v;
    };
    auto badSignature = good;
    badSignature[3] = 'X';
    auto sessionsPastEnd = good;
    StoreLe32(&sessionsPastEnd[80], 0x7FFFFFF0);
    auto noName = good;
    for (size_t b = 88 + 24; b + 80 <= 88 + 24 + 4 * 80; b += 80)
        StoreLe32(&noName[b + 48], 0);
    MdsOptions missing = base;
    missing.dataName = "gone.mdf";
    ASSERT_TRUE(testing::WriteMdsImage(m_dir / "gone.mds", missing));
    std::filesystem::remove(m_dir / "gone.mdf");

    const struct {
        std::vector<uint8_t> bytes;
        std::string message, logLine;
    } cases[] = {
        {withVersion(1, 5), "", ""},
        {withVersion(1, 6), "Failed to parse .mds", " E Unsupported MDS version: 1.6\n"},
        {withVersion(2, 0), "Failed to parse .mds", " E Unsupported MDS version: 2.0\n"},
        {badSignature, "Failed to parse .mds", " E Invalid signature\n"},
        {sessionsPastEnd, "Failed to parse .mds", ""},
        {noName, "no .mdf file found", ""},
        {ReadAll(m_dir / "gone.mds"),
         "Open mdf file:" + (m_dir / "gone.mdf").string() + " failure, ErrorCode=2", ""},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(testing::WriteFile(m_dir / "t.mds", c.bytes));
        // Removed first: MinGW's copy_file does not overwrite.
        std::filesystem::remove(m_dir / "t.mdf");
        std::filesystem::copy_file(m_dir / "ok.mdf", m_dir / "t.mdf");
        ActivityLog log;
        ASSERT_TRUE(log.Open(m_dir / "log.txt"));
        MountRecord r{};
        std::wstring message;
        ParserIo io;
        io.log = &log;
        io.message = &message;
        const int result = OpenMdsImage(&r, m_dir / "t.mds", io);
        log.Close();
        EXPECT_EQ(result, c.message.empty() ? kParseOk : kParseFailed);
        EXPECT_EQ(std::string(message.begin(), message.end()), c.message);
        std::stringstream text;
        text << std::ifstream(m_dir / "log.txt").rdbuf();
        EXPECT_NE(text.str().find(c.logLine), std::string::npos) << text.str();
        ReleaseLayout(&r);
        std::filesystem::remove(m_dir / "log.txt");
    }

    ASSERT_TRUE(testing::WriteFile(m_dir / "noext", good));
    MountRecord r{};
    std::wstring message;
    ParserIo io;
    io.message = &message;
    EXPECT_EQ(OpenMdsImage(&r, m_dir / "noext", io), kParseFailed);
    EXPECT_EQ(std::string(message.begin(), message.end()),
              "Invalid mdf file: " + (m_dir / "noext").string());
}

TEST_F(MdsTest, EveryByteOfADescriptionMayBeDamaged) {
    MdsOptions m;
    m.disc.sessions.push_back({{Track(Mode::Mode1, 10), Track(Mode::Audio, 10, 5)}});
    m.disc.sessions.push_back({{Track(Mode::Mode1, 10)}});
    ASSERT_TRUE(testing::WriteMdsImage(m_dir / "ok.mds", m));
    const std::vector<uint8_t> good = ReadAll(m_dir / "ok.mds");
    for (size_t at = 0; at < good.size(); ++at) {
        for (uint8_t value : {uint8_t(0), uint8_t(0xFF), uint8_t(good[at] ^ 0x80)}) {
            std::vector<uint8_t> bad = good;
            bad[at] = value;
            MdsDisc disc;
            if (!ParseMdsDescription(bad.data(), bad.size(), &disc, nullptr))
                continue;
            MountRecord r{};
            if (BuildMdsLayout(disc, &r)) {
                EXPECT_NE(V(r.trackTable), 0u);
                EXPECT_GT(V(r.totalSectors), 0u);
            }
            ReleaseLayout(&r);
        }
    }
}

} // namespace
} // namespace vostrale
