// FLAC discs built by the real FLAC source from the sample streams, mounted through a control
// buffer and ripped through READ CD: the audio must match the reference decoder's output.
#include "formats/audio_source.h"
#include "formats/layout.h"
#include "tests/engine/engine_fixture.h"

#include <algorithm>
#include <cstdlib>

namespace vostrale::test {
namespace {

const std::filesystem::path kSamples =
    std::filesystem::path(VOSTRALE_SHARED_DIR) / "testdata" / "flac";

// Opens `path` with the FLAC source as a mount would; on success the file stays open in *file.
int OpenFlac(const std::filesystem::path& path, MountRecord* record, platform::NativeFile* file) {
    *file = platform::OpenForRead(path, nullptr);
    if (!*file)
        return kParseFailed;
    std::wstring message;
    ParserIo io;
    io.message = &message;
    int result = OpenFlacSource(*file, record, path, io);
    if (result != kParseOk) {
        platform::CloseFile(*file);
        *file = 0;
    }
    return result;
}

TEST_F(EngineTest, SampleFlacStreamsRipBitExactly) {
#ifdef _WIN32
    GTEST_SKIP() << "needs the flac tool";
#else
    if (std::system("flac --version > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "flac tool missing";
    if (!std::filesystem::exists(kSamples))
        GTEST_SKIP() << "no samples";
    setenv("XDG_CACHE_HOME", m_dir.Path("cache").c_str(), 1);
    int ripped = 0;
    for (const auto& entry : std::filesystem::directory_iterator(kSamples)) {
        std::filesystem::path path = entry.path();
        if (path.extension() != ".flac")
            continue;
        MountRecord record{};
        platform::NativeFile file = 0;
        if (OpenFlac(path, &record, &file) != kParseOk)
            continue; // a stream the source refuses (not 16-bit stereo, variable blocks, ...)
        uint64_t samples = AudioSourceTotalSamples(record);
        uint32_t sectors = uint32_t((samples + 587) / 588);
        ASSERT_TRUE(MountAudioSource(record, file, sectors)) << path.filename();

        std::filesystem::path reference = m_dir.Path("reference.raw");
        std::string cmd = "flac --silent --decode --force --force-raw-format --endian=little "
                          "--sign=signed -o '" +
                          reference.string() + "' '" + path.string() + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << path.filename();
        std::ifstream in(reference, std::ios::binary);
        Bytes pcm((std::istreambuf_iterator<char>(in)), {});

        Bytes disc;
        constexpr uint32_t kBatch = 27; // what a player asks for
        for (uint32_t lba = 0; lba < sectors; lba += kBatch) {
            uint32_t n = std::min(kBatch, sectors - lba);
            Reply r = Send(A(), 0, ReadCd(lba, n, 0xF8, 0, kSectorCdda), n * 2352);
            ASSERT_TRUE(r.Good()) << path.filename() << " lba " << lba << std::hex << " "
                                  << r.SenseTriple();
            disc.insert(disc.end(), r.data.begin(), r.data.end());
        }
        // The disc carries the stream's samples (as many as the source counted), then silence.
        size_t common = std::min(disc.size(), pcm.size());
        EXPECT_GE(common, std::min<size_t>(size_t(samples) * 4, pcm.size())) << path.filename();
        EXPECT_TRUE(std::equal(disc.begin(), disc.begin() + long(common), pcm.begin()))
            << path.filename();
        EXPECT_TRUE(std::all_of(disc.begin() + long(common), disc.end(), [](uint8_t b) {
            return b == 0;
        })) << path.filename();
        ++ripped;
    }
    EXPECT_GE(ripped, 10);
#endif
}

// A player reading one sector at a time: every group of frames is read and decoded once, and
// the sectors are the same as in larger requests.
TEST_F(EngineTest, SequentialSingleSectorsFetchEachGroupOnce) {
    std::filesystem::path path = kSamples / "subset-01-blocksize-4096.flac";
    if (!std::filesystem::exists(path))
        GTEST_SKIP() << "no samples";
#ifndef _WIN32
    setenv("XDG_CACHE_HOME", m_dir.Path("cache").c_str(), 1);
#endif
    MountRecord record{};
    platform::NativeFile file = 0;
    ASSERT_EQ(OpenFlac(path, &record, &file), kParseOk);
    const SeekPoint* seek = reinterpret_cast<const SeekPoint*>(uintptr_t(record.kindPointer));
    const uint64_t groupBytes = seek[record.kindCount - 1].fileOffset - seek[0].fileOffset;
    ASSERT_GE(record.kindCount, 3u) << "want several groups";
    uint32_t sectors = uint32_t(AudioSourceTotalSamples(record) / 588);
    ASSERT_TRUE(MountAudioSource(record, file, sectors));

    const uint64_t before = host::FileBytesRead();
    Bytes single;
    for (uint32_t lba = 0; lba < sectors; ++lba) {
        Reply r = Send(A(), 0, ReadCd(lba, 1, 0xF8, 0, kSectorCdda), 2352);
        ASSERT_TRUE(r.Good()) << lba;
        single.insert(single.end(), r.data.begin(), r.data.end());
    }
    EXPECT_EQ(host::FileBytesRead() - before, groupBytes);

    Bytes batched;
    for (uint32_t lba = 0; lba < sectors; lba += 27) {
        uint32_t n = std::min<uint32_t>(27, sectors - lba);
        Reply r = Send(A(), 0, ReadCd(lba, n, 0xF8, 0, kSectorCdda), n * 2352);
        ASSERT_TRUE(r.Good()) << lba;
        batched.insert(batched.end(), r.data.begin(), r.data.end());
    }
    EXPECT_EQ(single, batched);
}

} // namespace
} // namespace vostrale::test
