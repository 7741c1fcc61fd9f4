// vostrale-img scsi, read and rip over sample images.
#include "tests/0support/image_writers.h"
#include "tests/engine/engine_fixture.h"
#include "tools/vostrale-img/engine_commands.h"

namespace vostrale::test {
namespace {

const std::filesystem::path kCd = std::filesystem::path(VOSTRALE_SHARED_DIR) / "testdata" / "cd";

Bytes ReadWhole(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), {});
}

class ImgEngineCommands : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists(kCd / "cdda.cue") ||
            !std::filesystem::exists(kCd / "isofs-m1.cue"))
            GTEST_SKIP() << "no samples";
    }
    int Run(std::vector<std::string> args) {
        m_out.clear();
        m_err.clear();
        return RunEngineCommand(args, &m_out, &m_err);
    }
    TempDir m_dir;
    std::string m_out, m_err;
};

TEST_F(ImgEngineCommands, ScsiRunsCommandsAsAFreshDrive) {
    std::string image = (kCd / "isofs-m1.cue").string();
    ASSERT_EQ(Run({"scsi", "--json", image, "00 00 00 00 00 00", "000000000000",
                   "25 00 00 00 00 00 00 00 00 00", "28 00 00 00 00 10 00 00 01 00",
                   "12 01 00 00 24 00"}),
              0)
        << m_err;
    Bytes bin = ReadWhole(kCd / "isofs-m1.bin");
    std::string pvd;
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 16 * 2352 + 16; i < 16 * 2352 + 16 + 2048; ++i) {
        pvd += kDigits[bin[i] >> 4];
        pvd += kDigits[bin[i] & 15];
    }
    std::string expected =
        "[\n"
        "  {\"status\": 2, \"sense\": \"700006000000000a00000000280000000000\", \"data\": \"\"},\n"
        "  {\"status\": 0, \"sense\": \"\", \"data\": \"\"},\n"
        "  {\"status\": 0, \"sense\": \"\", \"data\": \"0000012d00000800\"},\n"
        "  {\"status\": 0, \"sense\": \"\", \"data\": \"" +
        pvd +
        "\"},\n"
        "  {\"status\": 2, \"sense\": \"700005000000000a00000000240000000000\", \"data\": \"\"}\n"
        "]\n";
    EXPECT_EQ(m_out, expected);
    // The text form names the condition.
    ASSERT_EQ(Run({"scsi", image, "00"}), 0);
    EXPECT_NE(m_out.find("CHECK CONDITION (key 6, ASC 28, ASCQ 00)"), std::string::npos) << m_out;
    EXPECT_EQ(Run({"scsi", image, "zz"}), 2);
    EXPECT_EQ(Run({"scsi", image}), 2);
    EXPECT_EQ(Run({"scsi", (kCd / "missing.cue").string(), "00"}), 1);
}

TEST_F(ImgEngineCommands, ReadAndRipMatchTheFiles) {
    Bytes bin = ReadWhole(kCd / "isofs-m1.bin");
    std::string out = m_dir.Path("raw.bin").string();
    ASSERT_EQ(Run({"read", (kCd / "isofs-m1.cue").string(), "--lba", "10", "--count", "20", "--raw",
                   "--out", out}),
              0)
        << m_err;
    EXPECT_EQ(ReadWhole(out), Slice(bin, 10 * 2352, 20 * 2352));
    ASSERT_EQ(
        Run({"read", (kCd / "isofs-m1.cue").string(), "--lba", "16", "--count", "1", "--out", out}),
        0);
    EXPECT_EQ(ReadWhole(out), Slice(bin, 16 * 2352 + 16, 2048));
    EXPECT_EQ(Run({"read", (kCd / "isofs-m1.cue").string(), "--lba", "300", "--count", "5", "--out",
                   out}),
              1);

    std::string wav = m_dir.Path("t.wav").string();
    ASSERT_EQ(Run({"rip", (kCd / "cdda.cue").string(), "--track", "1", "--out", wav}), 0) << m_err;
    Bytes ripped = ReadWhole(wav);
    Bytes audio = ReadWhole(kCd / "cdda.bin");
    ASSERT_EQ(ripped.size(), 44 + audio.size());
    EXPECT_EQ(std::string(ripped.begin(), ripped.begin() + 4), "RIFF");
    EXPECT_EQ(LoadLe32(ripped.data() + 40), audio.size());
    EXPECT_EQ(Slice(ripped, 44, audio.size()), audio);
    EXPECT_EQ(Run({"rip", (kCd / "isofs-m1.cue").string(), "--track", "1", "--out", wav}),
              1); // data
    EXPECT_EQ(Run({"rip", (kCd / "cdda.cue").string(), "--track", "2", "--out", wav}), 1);
}

// The replies of the commands programs send to a disc's drive, on a generated two-session
// disc: the session-information form of READ TOC, the catalogue number, a speed setting and a
// DVD structure asked of a CD.
TEST(ImgEngineScsi, ShowsTheRepliesOfAGeneratedDisc) {
    TempDir dir;
    testing::CcdOptions o;
    o.disc.sessions.push_back({{testing::Track(testing::Mode::Audio, 30)}});
    o.disc.sessions.push_back({{testing::Track(testing::Mode::Mode1, 30)}});
    std::filesystem::path ccd = dir.Path("two.ccd");
    ASSERT_TRUE(testing::WriteCcdImage(ccd, o));
    uint32_t second = uint32_t(testing::Place(o.disc).tracks[1].index1);
    char toc[64];
    std::snprintf(toc, sizeof(toc), "000a010200140200%08x", second);
    std::string out, err;
    ASSERT_EQ(RunEngineCommand({"scsi", "--json", ccd.string(), "00", "43 00 00 00 00 00 00 00 0c 40",
                                "42 00 40 02 00 00 00 00 18 00", "bb 00 ff ff ff ff 00 00 00 00 00 00",
                                "ad 00 00 00 00 00 00 00 08 04 00 00"},
                               &out, &err),
              0)
        << err;
    std::string expected =
        "[\n"
        "  {\"status\": 2, \"sense\": \"700006000000000a00000000280000000000\", \"data\": \"\"},\n"
        "  {\"status\": 0, \"sense\": \"\", \"data\": \"" + std::string(toc) + "\"},\n"
        "  {\"status\": 0, \"sense\": \"\", \"data\": \"0000001402" + std::string(38, '0') + "\"},\n"
        "  {\"status\": 0, \"sense\": \"\", \"data\": \"\"},\n"
        "  {\"status\": 2, \"sense\": \"700005000000000a00000000300200000000\", \"data\": \"\"}\n"
        "]\n";
    EXPECT_EQ(out, expected);
}

// A CUE sheet over one WAV file with album and track titles (a single audio file is where
// CUE titles become CD-Text).
std::filesystem::path WriteTitledWavDisc(const TempDir& dir) {
    testing::CueOptions o;
    o.wave = true;
    o.fileName = "songs.wav";
    o.disc.title = "Album";
    o.disc.performer = "Band";
    o.disc.sessions.push_back({{testing::Track(testing::Mode::Audio, 12, 0, "First", "Singer"),
                                testing::Track(testing::Mode::Audio, 8, 0, "Second", "Choir")}});
    std::filesystem::path cue = dir.Path("songs.cue");
    EXPECT_TRUE(testing::WriteCueImage(cue, o));
    return cue;
}

TEST_F(ImgEngineCommands, TocShowsTracksAndCdTextAsTheDriveReturnsThem) {
    ASSERT_EQ(Run({"toc", WriteTitledWavDisc(m_dir).string()}), 0) << m_err;
    EXPECT_EQ(m_out, "Disc: 2 tracks (2 audio), lead-out at LBA 20 (00:02:20)\n"
                     "CD-Text: \"Album\" by \"Band\"\n"
                     "Track  Type    Start LBA  Start MSF  Sectors  Title / Performer\n"
                     "    1  audio           0   00:02:00       12  \"First\" by \"Singer\"\n"
                     "    2  audio          12   00:02:12        8  \"Second\" by \"Choir\"\n");

    ASSERT_EQ(Run({"toc", (kCd / "isofs-m1.cue").string()}), 0) << m_err;
    EXPECT_NE(m_out.find("CD-Text: none\n"), std::string::npos) << m_out;
    EXPECT_NE(m_out.find("    1  data            0   00:02:00"), std::string::npos) << m_out;
    // Album text only: the track rows carry no empty titles.
    ASSERT_EQ(Run({"toc", (kCd / "p1.nrg").string()}), 0) << m_err;
    EXPECT_NE(m_out.find("CD-Text: \"Join us now we have the software\" by \"Richard Stallman\"\n"),
              std::string::npos)
        << m_out;
    EXPECT_NE(m_out.find("    1  audio         150   00:04:00      150\n"), std::string::npos)
        << m_out;
    EXPECT_EQ(Run({"toc"}), 2);
}

} // namespace
} // namespace vostrale::test
