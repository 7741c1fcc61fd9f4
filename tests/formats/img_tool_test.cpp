#include "formats_fixture.h"
#include "tools/vostrale-img/image_info.h"

#include <cctype>
#include <cstring>
#include <fstream>

namespace vostrale {
namespace {

using ImgToolTest = TempFolder;

// A game dumped as one BIN per track, with a catalogue number and an ISRC: info names the
// files each run is in and what the sheet carries besides its tracks.
TEST_F(ImgToolTest, InfoShowsTheFilesOfAPerTrackSheet) {
    testing::CueOptions opt;
    opt.fileName = "Game.bin";
    opt.filePerTrack = true;
    opt.disc.sessions.push_back({{testing::Track(testing::Mode::Mode1, 30),
                                  testing::Track(testing::Mode::Audio, 20, 10)}});
    ASSERT_TRUE(testing::WriteCueImage(m_dir / "g.cue", opt));
    std::ifstream in(m_dir / "g.cue");
    std::string sheet((std::istreambuf_iterator<char>(in)), {});
    sheet = "CATALOG 1234567890123\r\n" + sheet + "    ISRC GBAAA9900001\r\n";
    ASSERT_TRUE(testing::WriteText(m_dir / "g.cue", sheet));
    std::string out, err;
    ASSERT_EQ(RunImgTool({"info", (m_dir / "g.cue").string()}, &out, &err), kImgToolOk) << out;
    for (const char* part :
         {"Reader: multi-file (10)\n", "Total sectors: 60\n", "Files: 2\n",
          "  file 0: stored sectors\n", "Catalogue number: 1234567890123\n",
          "ISRC of track 2: GBAAA9900001\n",
          "   0: Mode 1          parts 0xB  LBA 0-30  2352 bytes/sector  offset 0  file 0\n",
          // The stored INDEX 00 span is a run of its own, marked as the pregap.
          "   1: CD-DA           parts 0x0  LBA 30-40  2352 bytes/sector  offset 0  file 1  pregap\n",
          "   2: CD-DA           parts 0x0  LBA 40-60  2352 bytes/sector  offset 23520  file 1\n"})
        EXPECT_NE(out.find(part), std::string::npos) << part << "\n" << out;
    ASSERT_EQ(RunImgTool({"info", "--json", (m_dir / "g.cue").string()}, &out, &err), kImgToolOk);
    for (const char* part : {"\"readerKind\":10,", "\"files\":[{\"kind\":1,\"seekPoints\":0},",
                             "\"catalog\":\"1234567890123\"",
                             "\"isrc\":[{\"track\":2,\"isrc\":\"GBAAA9900001\"}]}"})
        EXPECT_NE(out.find(part), std::string::npos) << part << "\n" << out;
}

TEST_F(ImgToolTest, JsonDescribesAWavSheetWithCdText) {
    testing::CueOptions opt;
    opt.wave = true;
    opt.fileName = "a.wav";
    opt.disc.title = "Album \\X";
    opt.disc.performer = "Band";
    opt.disc.sessions.push_back({{testing::Track(testing::Mode::Audio, 30, 0, "First", "Singer"),
                                  testing::Track(testing::Mode::Audio, 20, 0, "Second", "")}});
    ASSERT_TRUE(testing::WriteCueImage(m_dir / "w.cue", opt));
    std::string out, err;
    ASSERT_EQ(RunImgTool({"info", "--json", (m_dir / "w.cue").string()}, &out, &err), kImgToolOk)
        << out;
    for (const char* part : {
             "{\"ok\":true,\"message\":\"\",\"mediumKind\":1,\"readerKind\":9,\"sessions\":1,"
             "\"totalSectors\":50,"
             "\"bytesPerSector\":2352,\"regionByte\":0,\"scrambled\":0,\"tracks\":[],\"toc\":[",
             "{\"session\":1,\"adrControl\":16,\"point\":2,\"min\":0,\"sec\":0,\"frame\":0,"
             "\"zero\":0,\"pmin\":0,"
             "\"psec\":2,\"pframe\":30}",
             "\"cdText\":{\"album\":{\"title\":\"Album "
             "\\\\X\",\"performer\":\"Band\"},\"tracks\":[{\"title\":"
             "\"First\",\"performer\":\"Singer\"},{\"title\":\"Second\",\"performer\":\"\"}]}",
             "\"seekPoints\":null,\"chunks\":null}\n",
         })
        EXPECT_NE(out.find(part), std::string::npos) << part << "\n" << out;
}

TEST_F(ImgToolTest, RefusalsAndUsageErrorsHaveTheirExitStatus) {
    ASSERT_TRUE(testing::WriteFile(m_dir / "zeros.iso", std::vector<uint8_t>(4096, 0)));
    std::string out, err;
    EXPECT_EQ(RunImgTool({"info", "--json", (m_dir / "zeros.iso").string()}, &out, &err),
              kImgToolRefused);
    EXPECT_EQ(out.rfind("{\"ok\":false,\"message\":\"Unsupported file format\"", 0), 0u) << out;
    EXPECT_EQ(RunImgTool({"info", (m_dir / "zeros.iso").string()}, &out, &err), kImgToolRefused);
    EXPECT_NE(out.find("Unsupported file format"), std::string::npos);
    for (std::vector<std::string> args : {std::vector<std::string>{},
                                          {"info"},
                                          {"show", "x"},
                                          {"info", "--xml", "x"},
                                          {"info", "a", "b"}}) {
        err.clear();
        EXPECT_EQ(RunImgTool(args, &out, &err), kImgToolUsage);
        EXPECT_NE(err.find("usage"), std::string::npos);
    }
}

} // namespace
} // namespace vostrale

namespace vostrale {
namespace {

// A strict JSON syntax check (objects, arrays, strings, numbers, literals).
class JsonChecker {
  public:
    explicit JsonChecker(const std::string& s) : m_s(s) {}
    bool Valid() {
        Space();
        if (!Value())
            return false;
        Space();
        return m_i == m_s.size();
    }

  private:
    void Space() {
        while (m_i < m_s.size() && std::isspace(static_cast<unsigned char>(m_s[m_i])))
            ++m_i;
    }
    bool Eat(char c) {
        Space();
        if (m_i < m_s.size() && m_s[m_i] == c) {
            ++m_i;
            return true;
        }
        return false;
    }
    bool String() {
        if (!Eat('"'))
            return false;
        while (m_i < m_s.size() && m_s[m_i] != '"') {
            if (static_cast<unsigned char>(m_s[m_i]) < 0x20)
                return false;
            m_i += m_s[m_i] == '\\' ? 2 : 1;
        }
        return m_i++ < m_s.size();
    }
    bool Value() {
        Space();
        if (m_i >= m_s.size())
            return false;
        const char c = m_s[m_i];
        if (c == '{') {
            ++m_i;
            if (Eat('}'))
                return true;
            do {
                if (!String() || !Eat(':') || !Value())
                    return false;
            } while (Eat(','));
            return Eat('}');
        }
        if (c == '[') {
            ++m_i;
            if (Eat(']'))
                return true;
            do {
                if (!Value())
                    return false;
            } while (Eat(','));
            return Eat(']');
        }
        if (c == '"')
            return String();
        for (const char* word : {"true", "false", "null"}) {
            if (m_s.compare(m_i, std::strlen(word), word) == 0) {
                m_i += std::strlen(word);
                return true;
            }
        }
        const size_t start = m_i;
        if (m_s[m_i] == '-')
            ++m_i;
        while (m_i < m_s.size() && std::isdigit(static_cast<unsigned char>(m_s[m_i])))
            ++m_i;
        return m_i > start;
    }
    const std::string& m_s;
    size_t m_i = 0;
};

TEST_F(ImgToolTest, EveryFormatGivesOneValidJsonObject) {
    using namespace testing;
    CueOptions cue;
    cue.disc.sessions.push_back(
        {{Track(Mode::Mode1, 30), Track(Mode::Mode2Form1, 20), Track(Mode::Audio, 10)}});
    ASSERT_TRUE(WriteCueImage(m_dir / "mixed.cue", cue));
    NrgOptions nrg;
    nrg.disc.sessions.push_back({{Track(Mode::Audio, 20)}});
    nrg.disc.sessions.push_back({{Track(Mode::Mode1, 20)}});
    nrg.cdTextPacks = SampleCdTextPacks("Session Album", {"Song"});
    ASSERT_TRUE(WriteNrgImage(m_dir / "multi.nrg", nrg));
    MdsOptions mds;
    mds.disc = nrg.disc;
    ASSERT_TRUE(WriteMdsImage(m_dir / "multi.mds", mds));
    CcdOptions ccd;
    ccd.disc = nrg.disc;
    ccd.writeSub = false;
    ASSERT_TRUE(WriteCcdImage(m_dir / "nosub.ccd", ccd));
    IszOptions isz;
    isz.kinds = {IszChunk::Zlib, IszChunk::Zero, IszChunk::Bzip2, IszChunk::Stored};
    ASSERT_TRUE(WriteIszImage(m_dir / "all.isz", isz));

    const uint32_t twoSessions = 20 + kSessionGap + 20;
    const struct {
        const char* name;
        std::vector<std::string> parts;
    } cases[] = {
        {"mixed.cue", {"\"readerKind\":1,", "\"totalSectors\":60,", "\"point\":3,"}},
        {"multi.nrg",
         {"\"readerKind\":5,", "\"sessions\":2,",
          "\"totalSectors\":" + std::to_string(twoSessions) + ",", "\"point\":176,",
          "\"cdText\":{\"album\":{\"title\":\"Session Album\""}},
        {"multi.mds",
         {"\"readerKind\":4,", "\"sessions\":2,",
          "\"totalSectors\":" + std::to_string(twoSessions)}},
        {"nosub.ccd", {"\"readerKind\":3,", "\"sessions\":2,", "\"bytesPerSector\":0,"}},
        {"all.isz", {"\"readerKind\":6,", "\"mediumKind\":2,", "\"chunks\":13}"}},
    };
    for (const auto& c : cases) {
        std::string out, err;
        EXPECT_EQ(RunImgTool({"info", "--json", (m_dir / c.name).string()}, &out, &err), kImgToolOk)
            << out;
        EXPECT_TRUE(JsonChecker(out).Valid()) << out;
        EXPECT_EQ(out.rfind("{\"ok\":true,", 0), 0u) << out;
        for (const std::string& part : c.parts)
            EXPECT_NE(out.find(part), std::string::npos) << c.name << ": " << part << "\n" << out;
        std::string text;
        EXPECT_EQ(RunImgTool({"info", (m_dir / c.name).string()}, &text, &err), kImgToolOk);
        EXPECT_NE(text.find("Image accepted"), std::string::npos);
    }
}

} // namespace
} // namespace vostrale
