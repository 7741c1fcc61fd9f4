// APE discs built by the real APE source from the sample streams, mounted through a control
// buffer and ripped through READ CD: the PCM must hash to the reference decoder's output.
#include "formats/audio_source.h"
#include "formats/layout.h"
#include "tests/codecs/sha256.h"
#include "tests/engine/engine_fixture.h"

namespace vostrale::test {
namespace {

const std::filesystem::path kApe = std::filesystem::path(VOSTRALE_SHARED_DIR) / "testdata" / "ape";

TEST_F(EngineTest, SampleApeStreamsRipToTheReferencePcm) {
    struct Sample {
        const char* file;
        const char* pcmSha256;
    } samples[] = {
        {"encoded/music10s_s16_c1000.ape",
         "eee6e8c0d4247c13614f98b0376fc1a9718678036135b11ba4f44a93106af76d"},
        {"encoded/music10s_s16_c5000.ape",
         "eee6e8c0d4247c13614f98b0376fc1a9718678036135b11ba4f44a93106af76d"},
        {"encoded/frameplus1_s16_c2000.ape",
         "cf212d3a63377997d9fcbd9cd7c3596d7083e1e787efad91b39a7d55fe35989e"},
        {"encoded/pseudostereo3s_s16_c2000.ape",
         "2c8317a9b7acbc54d0d28751c96af1608c598a44941b22cc43df825012159588"},
        {"encoded/silence3s_s16_c2000.ape",
         "a7dd386052b0a3b0245d01a8654e27597601a7fd82556f31b1a5d8f455feff2b"},
        {"encoded/short1000_s16_c5000.ape",
         "7cc14eda76ba07aa4f47535f685faeac98ee9cb49f9e106738ebdfa717986f0d"},
    };
    if (!std::filesystem::exists(kApe))
        GTEST_SKIP() << "no samples";
    for (const Sample& s : samples) {
        std::filesystem::path path = kApe / s.file;
        platform::NativeFile file = platform::OpenForRead(path, nullptr);
        ASSERT_NE(file, 0u) << s.file;
        MountRecord record{};
        std::wstring message;
        ParserIo io;
        io.message = &message;
        ASSERT_EQ(OpenApeSource(file, &record, path, io), kParseOk) << s.file;
        uint64_t samplesTotal = AudioSourceTotalSamples(record);
        uint32_t sectors = uint32_t((samplesTotal + 587) / 588);
        ASSERT_TRUE(MountAudioSource(record, file, sectors)) << s.file;
        Bytes pcm;
        for (uint32_t lba = 0; lba < sectors; lba += 27) {
            uint32_t n = std::min(27u, sectors - lba);
            Reply r = Send(A(), 0, ReadCd(lba, n, 0xF8), n * 2352);
            ASSERT_TRUE(r.Good()) << s.file << " lba " << lba;
            pcm.insert(pcm.end(), r.data.begin(), r.data.end());
        }
        pcm.resize(size_t(samplesTotal) * 4); // the rest of the last sector is silence
        EXPECT_EQ(Sha256Hex(pcm.data(), pcm.size()), s.pcmSha256) << s.file;
    }
}

} // namespace
} // namespace vostrale::test
