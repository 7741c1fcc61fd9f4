#include "formats_fixture.h"
#include "tools/vostrale-img/image_info.h"

namespace vostrale {
namespace {

using ImgToolTest = TempFolder;

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
