// APE source and frame decoder: every decodable sample against its reference PCM hash, the
// refusals of broken headers and tables, and frame-level behaviour through the public API.
#include "codecs/ape/ape_decoder.h"
#include "codecs/ape/ape_nn_kernels.h"
#include "common/bytes.h"
#include "common/crc.h"
#include "formats/audio_source.h"
#include "formats/layout.h"
#include "tests/codecs/sha256.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace vostrale {
namespace {

namespace fs = std::filesystem;

const fs::path kApeDir = fs::path(VOSTRALE_SHARED_DIR) / "testdata" / "ape";

std::vector<uint8_t> ReadWholeFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// A fixture file of our own in a fresh temporary folder.
class TempFile {
  public:
    TempFile(const std::string& name, const std::vector<uint8_t>& bytes) {
        m_path = fs::temp_directory_path() /
                 ("vostrale_ape_test_" +
                  std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" + name);
        std::ofstream out(m_path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    ~TempFile() {
        std::error_code ec;
        fs::remove(m_path, ec);
    }
    const fs::path& Path() const { return m_path; }

  private:
    fs::path m_path;
};

struct Mounted {
    int result = kParseFailed;
    MountRecord record{};
    std::vector<SeekPoint> table;
    std::string message;
    platform::NativeFile file = 0;

    ~Mounted() {
        if (file)
            platform::CloseFile(file);
    }
    ApeStreamInfo Info() const {
        ApeStreamInfo info{};
        info.version = uint16_t(record.param96);
        info.bitsPerSample = uint16_t(record.param96 >> 16);
        info.channels = uint16_t(record.param100);
        info.levelIndex = uint16_t(record.param100 >> 16);
        return info;
    }
};

std::unique_ptr<Mounted> Mount(const fs::path& path, ActivityLog* log = nullptr) {
    auto m = std::make_unique<Mounted>();
    uint32_t error = 0;
    m->file = platform::OpenForRead(path, &error);
    EXPECT_NE(m->file, 0u) << path;
    std::wstring message;
    ParserIo io;
    io.log = log;
    io.message = &message;
    m->result = OpenApeSource(m->file, &m->record, path, io);
    for (wchar_t c : message)
        m->message.push_back(char(c));
    if (m->result == kParseOk) {
        const SeekPoint* table = PointerOf<SeekPoint>(m->record.kindPointer);
        m->table.assign(table, table + m->record.kindCount);
    }
    ReleaseLayout(&m->record);
    return m;
}

// Decodes frame `frame` the way the driver will: read the span, zero-fill past the end.
uint32_t DecodeFrame(const Mounted& m, ApeDecoder* decoder, uint32_t frame,
                     std::vector<uint8_t>* input, std::vector<uint8_t>* pcm) {
    ApeFrameSpan span{};
    if (!ApeGetFrameSpan(m.table.data(), uint32_t(m.table.size()), frame, &span))
        return 0;
    std::fill(input->begin(), input->end(), 0);
    size_t got = 0;
    platform::ReadAt(m.file, span.readOffset, input->data(), span.readBytes, &got);
    pcm->assign(size_t(ApePcmBytes(m.Info(), span.blocks)), 0xAA);
    return ApeDecodeFrame(decoder, input->data(), span.readBytes, span.skip, span.blocks,
                          pcm->data(), pcm->size());
}

// The whole stream's PCM, or an empty string with the failing frame in *failed.
// wide: the decoder's own choice of filter width; false keeps it at SSE2 (the driver's form).
std::string DecodeAllHash(const Mounted& m, uint32_t* failed, uint64_t* pcmBytes,
                          bool wide = true) {
    auto decoder = std::make_unique<ApeDecoder>();
    if (!ApeInitDecoder(decoder.get(), m.Info()))
        return "";
    if (!wide)
        ApeAllowWideFilters(decoder.get(), false);
    uint32_t inputBytes = ApeMaxReadBytes(m.table.data(), uint32_t(m.table.size()));
    std::vector<uint8_t> input(inputBytes);
    std::vector<uint8_t> pcm;
    test::Sha256 hash;
    *pcmBytes = 0;
    for (uint32_t i = 0; i + 1 < m.table.size(); ++i) {
        if (DecodeFrame(m, decoder.get(), i, &input, &pcm) !=
            m.table[i + 1].sample - m.table[i].sample) {
            *failed = i;
            return "";
        }
        hash.Update(pcm.data(), pcm.size());
        *pcmBytes += pcm.size();
    }
    return hash.HexDigest();
}

struct DecodeCase {
    const char* file;
    const char* pcmSha256;
    bool cdAudio; // otherwise the mount reports the format and goes on
};

const DecodeCase kDecodeCases[] = {
    {"real/atl-ape.ape", "1d1aa670861963848aa237b00ac82d4418cedbbf243f36e2b73e8cea34fc77bf", true},
    // The same stream written by an encoder of file version 3940 (older header, k-coded values).
    {"real/atl-v394.ape", "1d1aa670861963848aa237b00ac82d4418cedbbf243f36e2b73e8cea34fc77bf", true},
    {"real/beets-full.ape", "3e0915c365cedf9d509349b5baba7aec5788ead2daa6867fe81cbde0711fd63a",
     false},
    // Whole streams of digital silence: every frame is flagged silent and its CRC is that of
    // zeros, so these are complete files, not truncated ones.
    {"real/mutagen-mac-399.ape", "63af6743445584df748c253613b018275e0745d42cca9516af491d951f2231b4",
     true},
    {"real/taglib-mac-396.ape", "63af6743445584df748c253613b018275e0745d42cca9516af491d951f2231b4",
     true},
    {"real/taglib-mac-399-id3v2.ape",
     "7defff493ee21a35f6747681c41cb5760016a4a7b817d8d7d4ce05d25e9cb540", true},
    {"real/taglib-mac-399-tagged.ape",
     "7defff493ee21a35f6747681c41cb5760016a4a7b817d8d7d4ce05d25e9cb540", true},
    {"real/taglib-mac-399.ape", "7defff493ee21a35f6747681c41cb5760016a4a7b817d8d7d4ce05d25e9cb540",
     true},
    {"real/tinytag-ape-44100-16-1.ape",
     "8b13aa52b42143e446fff7033981ad1f69c9cdd467c78dd85ea624fcf9fb7f53", false},
    {"encoded/frameplus1_s16_c2000.ape",
     "cf212d3a63377997d9fcbd9cd7c3596d7083e1e787efad91b39a7d55fe35989e", true},
    {"encoded/mono3s_s16_c2000.ape",
     "5f84889a5e09ffaed11337979308eb82cbfecb3fde1d07ce473d9f60ac73f12e", false},
    {"encoded/mono3s_s16_c4000.ape",
     "5f84889a5e09ffaed11337979308eb82cbfecb3fde1d07ce473d9f60ac73f12e", false},
    {"encoded/music10s_s16_c1000.ape",
     "eee6e8c0d4247c13614f98b0376fc1a9718678036135b11ba4f44a93106af76d", true},
    {"encoded/music10s_s16_c2000.ape",
     "eee6e8c0d4247c13614f98b0376fc1a9718678036135b11ba4f44a93106af76d", true},
    {"encoded/music10s_s16_c3000.ape",
     "eee6e8c0d4247c13614f98b0376fc1a9718678036135b11ba4f44a93106af76d", true},
    {"encoded/music10s_s16_c4000.ape",
     "eee6e8c0d4247c13614f98b0376fc1a9718678036135b11ba4f44a93106af76d", true},
    {"encoded/music10s_s16_c5000.ape",
     "eee6e8c0d4247c13614f98b0376fc1a9718678036135b11ba4f44a93106af76d", true},
    {"encoded/music2s_s24_c2000.ape",
     "d749da19723071ca238761ff521a3d5c4dd30e00be7eb6c33cf309e7eed556d6", false},
    {"encoded/music2s_u8_c2000.ape",
     "dcead9cf27ade5e65711f87147819241e6cfa5db28b03c7f3889f57033f7e389", false},
    {"encoded/pseudostereo3s_s16_c2000.ape",
     "2c8317a9b7acbc54d0d28751c96af1608c598a44941b22cc43df825012159588", true},
    {"encoded/short1000_s16_c2000.ape",
     "7cc14eda76ba07aa4f47535f685faeac98ee9cb49f9e106738ebdfa717986f0d", true},
    {"encoded/short1000_s16_c5000.ape",
     "7cc14eda76ba07aa4f47535f685faeac98ee9cb49f9e106738ebdfa717986f0d", true},
    {"encoded/silence3s_s16_c2000.ape",
     "a7dd386052b0a3b0245d01a8654e27597601a7fd82556f31b1a5d8f455feff2b", true},
};

TEST(ApeSamples, EveryDecodableSampleGivesItsReferencePcm) {
    for (const DecodeCase& c : kDecodeCases) {
        SCOPED_TRACE(c.file);
        auto m = Mount(kApeDir / c.file);
        ASSERT_EQ(m->result, kParseOk) << m->message;
        if (c.cdAudio)
            EXPECT_EQ(m->message, "");
        else
            EXPECT_EQ(m->message.rfind("Unsupported format: channels=", 0), 0u) << m->message;
        uint32_t failed = ~0u;
        uint64_t bytes = 0;
        EXPECT_EQ(DecodeAllHash(*m, &failed, &bytes), c.pcmSha256) << "frame " << failed;
        EXPECT_EQ(bytes, ApePcmBytes(m->Info(), m->record.param80));
        // A buffer of the record's bytes per frame takes any frame's PCM.
        EXPECT_GE(m->record.param92, ApePcmBytes(m->Info(), m->record.param88));
        // Where the decoder chose the AVX2 filters, the SSE2 ones must give the same PCM.
        if (ape::CpuHasAvx2()) {
            EXPECT_EQ(DecodeAllHash(*m, &failed, &bytes, false), c.pcmSha256)
                << "SSE2 filters, frame " << failed;
        }
    }
}

struct RefuseCase {
    const char* file;
    const char* message;
};

TEST(ApeSamples, BrokenAndOldHeadersAreRefusedWithAMessage) {
    const RefuseCase cases[] = {
        {"real/taglib-longloop.ape", "Corrupt .ape header, abort"},
        {"real/taglib-zerodiv.ape", "Unsupported .ape file version 150, abort"},
        {"real/beets-oldape.ape", "Unsupported .ape file version 3920, abort"},
        {"real/taglib-mac-390-hdr.ape", "Unsupported .ape file version 3900, abort"},
    };
    for (const RefuseCase& c : cases) {
        SCOPED_TRACE(c.file);
        auto m = Mount(kApeDir / c.file);
        EXPECT_EQ(m->result, kParseFailed);
        EXPECT_EQ(m->message, c.message);
        EXPECT_EQ(m->record.kindPointer, 0u);
    }
}

TEST(ApeSource, RecordFieldsAndLogLines) {
    fs::path logPath = fs::temp_directory_path() / "vostrale_ape_test_log.txt";
    fs::remove(logPath);
    ActivityLog log;
    ASSERT_TRUE(log.Open(logPath));
    auto m = Mount(kApeDir / "encoded/music10s_s16_c4000.ape", &log);
    log.Close();
    ASSERT_EQ(m->result, kParseOk);
    const MountRecord& r = m->record;
    EXPECT_EQ(r.readerKind, kReaderApe);
    EXPECT_EQ(r.param80, 441000u);
    EXPECT_EQ(r.param84, 52u + 24 + 8 + 44);
    EXPECT_EQ(r.param88, 294912u);
    EXPECT_EQ(r.param92, 294912u * 4);
    EXPECT_EQ(r.param96, 3990u | (16u << 16));
    EXPECT_EQ(r.param100, 2u | (3u << 16));
    ASSERT_EQ(m->table.size(), 3u);
    EXPECT_EQ(m->table[0].sample, 0u);
    EXPECT_EQ(m->table[0].fileOffset, r.param84);
    EXPECT_EQ(m->table[1].sample, 294912u);
    EXPECT_EQ(m->table[2].sample, 441000u);
    EXPECT_EQ(m->table[2].fileOffset, 666856u); // end of the frame data = the file size here

    std::ifstream in(logPath);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    in.close(); // Windows does not remove an open file
    fs::remove(logPath);
    EXPECT_NE(text.find("SamplesPerFrame=294912"), std::string::npos) << text;
    EXPECT_NE(text.find("TotalSamples=441000"), std::string::npos) << text;
    EXPECT_NE(text.find("SeekTableCount=2"), std::string::npos) << text;
}

TEST(ApeSource, LeadingTagMovesFrameOffsetsAndTrailingTagIsNotFrameData) {
    auto plain = Mount(kApeDir / "real/taglib-mac-399.ape");
    auto id3 = Mount(kApeDir / "real/taglib-mac-399-id3v2.ape");
    auto tagged = Mount(kApeDir / "real/taglib-mac-399-tagged.ape");
    ASSERT_EQ(plain->result, kParseOk);
    ASSERT_EQ(id3->result, kParseOk);
    ASSERT_EQ(tagged->result, kParseOk);
    ASSERT_EQ(id3->table.size(), plain->table.size());
    for (size_t i = 0; i < plain->table.size(); ++i)
        EXPECT_EQ(id3->table[i].fileOffset, plain->table[i].fileOffset + 3943) << i;
    EXPECT_EQ(id3->record.param84, plain->record.param84 + 3943);
    EXPECT_EQ(tagged->table.back().fileOffset, plain->table.back().fileOffset);
}

// Header edits on a real file, each breaking one rule.
std::vector<uint8_t> Patched(std::vector<uint8_t> bytes, size_t offset, uint32_t value, int width) {
    if (width == 2)
        StoreLe16(bytes.data() + offset, uint16_t(value));
    else
        StoreLe32(bytes.data() + offset, value);
    return bytes;
}

TEST(ApeSource, HostileHeadersAndTablesAreRefused) {
    const std::vector<uint8_t> good = ReadWholeFile(kApeDir / "encoded/music10s_s16_c2000.ape");
    ASSERT_EQ(good.size(), 679592u);
    constexpr size_t kHeader = 52;    // header after a 52-byte descriptor
    constexpr size_t kSeek = 52 + 24; // six entries
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* message;
    };
    std::vector<uint8_t> cut(good.begin(), good.begin() + 200000);
    std::vector<uint8_t> headerOnly(good.begin(), good.begin() + 144);
    const Case cases[] = {
        {"truncated", cut, "Truncated .ape file, abort"},
        {"header-only", headerOnly, "Truncated .ape file, abort"},
        {"descriptor-short", Patched(good, 8, 40, 4), "Corrupt .ape header, abort"},
        {"descriptor-huge", Patched(good, 8, 0xFFFFFF00u, 4), "Corrupt .ape header, abort"},
        {"no-seek-table", Patched(good, 16, 0, 4), "No seek table in .ape file, abort"},
        {"seek-table-past-end", Patched(good, 16, 0x7FFFFFF0u, 4), "Truncated .ape file, abort"},
        {"too-few-entries", Patched(good, 16, 8, 4), "Truncated .ape file, abort"},
        {"zero-frames", Patched(good, kHeader + 12, 0, 4), "Corrupt .ape header, abort"},
        {"frames-overflow", Patched(good, kHeader + 12, 0xFFFFFFFFu, 4),
         "Corrupt .ape header, abort"},
        {"huge-frames", Patched(good, kHeader + 4, 0x40000000u, 4), "Corrupt .ape header, abort"},
        {"final-longer-than-frame", Patched(good, kHeader + 8, 73729, 4),
         "Corrupt .ape header, abort"},
        {"level", Patched(good, kHeader, 2500, 2), "Corrupt .ape header, abort"},
        {"channels", Patched(good, kHeader + 18, 6, 2), "Corrupt .ape header, abort"},
        {"backwards", Patched(good, kSeek + 8, 1000, 4), "Corrupt .ape seek table, abort"},
        {"into-header", Patched(good, kSeek, 100, 4), "Corrupt .ape seek table, abort"},
        {"zero-offset", Patched(good, kSeek + 4, 0, 4), "Corrupt .ape seek table, abort"},
        {"past-end", Patched(good, kSeek + 20, 700000, 4), "Truncated .ape file, abort"},
        {"version", Patched(good, 4, 4000, 2), "Unsupported .ape file version 4000, abort"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFile file(c.name, c.bytes);
        auto m = Mount(file.Path());
        EXPECT_EQ(m->result, kParseFailed);
        EXPECT_EQ(m->message, c.message);
    }
}

// A descriptor longer than 52 bytes: the header follows the whole descriptor.
TEST(ApeSource, LongerDescriptorIsSkippedWhole) {
    constexpr size_t kExtra = 8;
    std::vector<uint8_t> bytes = ReadWholeFile(kApeDir / "encoded/frameplus1_s16_c2000.ape");
    ASSERT_EQ(LoadLe32(bytes.data() + 8), 52u);
    bytes.insert(bytes.begin() + 52, kExtra, 0xEE);
    StoreLe32(bytes.data() + 8, 52 + kExtra);
    const size_t seekTable = 52 + kExtra + 24;
    for (size_t i = 0; i < 2; ++i)
        StoreLe32(bytes.data() + seekTable + 4 * i,
                  LoadLe32(bytes.data() + seekTable + 4 * i) + kExtra);
    TempFile file("descriptor", bytes);
    auto m = Mount(file.Path());
    ASSERT_EQ(m->result, kParseOk) << m->message;
    uint32_t failed = ~0u;
    uint64_t pcmBytes = 0;
    EXPECT_EQ(DecodeAllHash(*m, &failed, &pcmBytes),
              "cf212d3a63377997d9fcbd9cd7c3596d7083e1e787efad91b39a7d55fe35989e")
        << "frame " << failed;
}

// Frame data bytes that do not end at a tag are not trusted: the file end counts.
TEST(ApeSource, UnderstatedFrameDataFallsBackToTheFileEnd) {
    std::vector<uint8_t> bytes =
        Patched(ReadWholeFile(kApeDir / "encoded/short1000_s16_c2000.ape"), 24, 4, 4);
    TempFile file("framedata", bytes);
    auto m = Mount(file.Path());
    ASSERT_EQ(m->result, kParseOk) << m->message;
    EXPECT_EQ(m->table.back().fileOffset, bytes.size());
    uint32_t failed = ~0u;
    uint64_t pcmBytes = 0;
    EXPECT_EQ(DecodeAllHash(*m, &failed, &pcmBytes),
              "7cc14eda76ba07aa4f47535f685faeac98ee9cb49f9e106738ebdfa717986f0d");
}

// A file whose header is not CD audio mounts with the message; the decoder stays in bounds.
TEST(ApeSource, SampleRateOtherThanCdIsReportedAndMounted) {
    std::vector<uint8_t> bytes =
        Patched(ReadWholeFile(kApeDir / "encoded/short1000_s16_c2000.ape"), 52 + 20, 48000, 4);
    TempFile file("rate", bytes);
    auto m = Mount(file.Path());
    EXPECT_EQ(m->result, kParseOk);
    EXPECT_EQ(m->message, "Unsupported format: channels=2 samplerate=48000 bps=16");
}

TEST(ApeFrames, FramesDecodeInAnyOrderAndAgreeWithTheStream) {
    auto m = Mount(kApeDir / "encoded/music10s_s16_c2000.ape");
    ASSERT_EQ(m->result, kParseOk);
    const uint32_t frames = uint32_t(m->table.size() - 1);
    std::vector<uint8_t> input(ApeMaxReadBytes(m->table.data(), frames + 1));
    ApeDecoder* decoder = new ApeDecoder;
    ASSERT_TRUE(ApeInitDecoder(decoder, m->Info()));
    std::vector<std::vector<uint8_t>> forward(frames);
    for (uint32_t i = 0; i < frames; ++i)
        ASSERT_NE(DecodeFrame(*m, decoder, i, &input, &forward[i]), 0u) << i;
    std::vector<uint8_t> pcm;
    for (uint32_t i = frames; i-- > 0;) {
        ASSERT_NE(DecodeFrame(*m, decoder, i, &input, &pcm), 0u) << i;
        EXPECT_EQ(pcm, forward[i]) << i;
    }
    delete decoder;
}

TEST(ApeFrames, DamagedFramesAndShortBuffersFailCleanly) {
    auto m = Mount(kApeDir / "encoded/short1000_s16_c5000.ape");
    ASSERT_EQ(m->result, kParseOk);
    auto decoder = std::make_unique<ApeDecoder>();
    ASSERT_TRUE(ApeInitDecoder(decoder.get(), m->Info()));
    ApeFrameSpan span{};
    ASSERT_TRUE(ApeGetFrameSpan(m->table.data(), uint32_t(m->table.size()), 0, &span));
    std::vector<uint8_t> input(span.readBytes);
    size_t got = 0;
    ASSERT_TRUE(platform::ReadAt(m->file, span.readOffset, input.data(), input.size(), &got));
    std::vector<uint8_t> pcm(size_t(ApePcmBytes(m->Info(), span.blocks)));

    ASSERT_EQ(ApeDecodeFrame(decoder.get(), input.data(), input.size(), span.skip, span.blocks,
                             pcm.data(), pcm.size()),
              span.blocks);
    // One byte short of the PCM: nothing is written, the frame fails.
    std::vector<uint8_t> small(pcm.size() - 1, 0x5A);
    EXPECT_EQ(ApeDecodeFrame(decoder.get(), input.data(), input.size(), span.skip, span.blocks,
                             small.data(), small.size()),
              0u);
    EXPECT_EQ(small, std::vector<uint8_t>(pcm.size() - 1, 0x5A));
    // A flipped bit in the middle of the frame, and the frame cut in half: the CRC catches both.
    std::vector<uint8_t> flipped = input;
    flipped[flipped.size() / 2] ^= 0x10;
    EXPECT_EQ(ApeDecodeFrame(decoder.get(), flipped.data(), flipped.size(), span.skip, span.blocks,
                             pcm.data(), pcm.size()),
              0u);
    EXPECT_EQ(ApeDecodeFrame(decoder.get(), input.data(), input.size() / 2, span.skip, span.blocks,
                             pcm.data(), pcm.size()),
              0u);
    // The decoder recovers on the next good frame.
    EXPECT_EQ(ApeDecodeFrame(decoder.get(), input.data(), input.size(), span.skip, span.blocks,
                             pcm.data(), pcm.size()),
              span.blocks);
}

TEST(ApeFrames, SpansFollowTheWordGridOfTheFirstFrame) {
    // The first frame at 3 (mod 4): frame 1 at 3 + 13 lies one byte into its word.
    const SeekPoint table[] = {{0, 1003}, {100, 1016}, {200, 1100}, {250, 1101}};
    ApeFrameSpan span{};
    ASSERT_TRUE(ApeGetFrameSpan(table, 4, 0, &span));
    EXPECT_EQ(span.readOffset, 1003u);
    EXPECT_EQ(span.skip, 0u);
    EXPECT_EQ(span.readBytes, 16u + kApeReadMargin);
    ASSERT_TRUE(ApeGetFrameSpan(table, 4, 1, &span));
    EXPECT_EQ(span.readOffset, 1015u);
    EXPECT_EQ(span.skip, 1u);
    EXPECT_EQ(span.readBytes, 88u + kApeReadMargin);
    EXPECT_EQ(span.blocks, 100u);
    EXPECT_EQ(ApeMaxReadBytes(table, 4), 88u + kApeReadMargin);
    EXPECT_FALSE(ApeGetFrameSpan(table, 4, 3, &span));

    const SeekPoint backwards[] = {{0, 1000}, {100, 990}, {200, 1100}};
    EXPECT_FALSE(ApeGetFrameSpan(backwards, 3, 1, &span));
    EXPECT_EQ(ApeMaxReadBytes(backwards, 3), 0u);
    const SeekPoint noBlocks[] = {{0, 1000}, {0, 1010}};
    EXPECT_EQ(ApeMaxReadBytes(noBlocks, 2), 0u);
}

// A hand-made silent frame: CRC with the flags bit, the flags, two coder bytes; stored as
// little-endian words read from their top byte.
std::vector<uint8_t> SilentFrame(uint32_t crc, uint32_t flags) {
    uint8_t logical[12] = {};
    StoreBe32(logical, crc | 0x80000000u);
    StoreBe32(logical + 4, flags);
    std::vector<uint8_t> words(sizeof(logical));
    for (size_t i = 0; i < sizeof(logical); ++i)
        words[i ^ 3] = logical[i];
    return words;
}

TEST(ApeFrames, StereoSilenceNeedsBothFlagBits) {
    struct Case {
        uint16_t bits;
        uint16_t channels;
        uint32_t flags;
        uint8_t silentByte;
        bool silent;
    };
    const Case cases[] = {
        {16, 2, 3, 0x00, true},
        {8, 2, 3, 0x80, true},
        {8, 1, 1, 0x80, true},
        {16, 2, 7, 0x00, true},
        {16, 1, 1, 0x00, true},
        {16, 2, 1, 0x00, false}, // one side only: the frame is decoded, so this CRC fails
        {16, 2, 2, 0x00, false},
    };
    constexpr uint32_t kBlocks = 100;
    auto decoder = std::make_unique<ApeDecoder>();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.bits << " bits, " << c.channels << " channels, flags " << c.flags);
        const ApeStreamInfo info{3990, c.bits, c.channels, 1};
        ASSERT_TRUE(ApeInitDecoder(decoder.get(), info));
        const std::vector<uint8_t> zeros(size_t(ApePcmBytes(info, kBlocks)), c.silentByte);
        const std::vector<uint8_t> frame =
            SilentFrame(Crc32(0, zeros.data(), zeros.size()) >> 1, c.flags);
        std::vector<uint8_t> pcm(zeros.size(), 0x11);
        const uint32_t got = ApeDecodeFrame(decoder.get(), frame.data(), frame.size(), 0, kBlocks,
                                            pcm.data(), pcm.size());
        EXPECT_EQ(got, c.silent ? kBlocks : 0u);
        if (c.silent) {
            EXPECT_EQ(pcm, zeros);
        }
    }
}

TEST(ApeFrames, UnsupportedParametersAreRefusedByTheDecoder) {
    const ApeStreamInfo bad[] = {
        {3920, 16, 2, 1}, {3991, 16, 2, 1}, {3990, 12, 2, 1}, {3990, 16, 3, 1}, {3990, 16, 2, 5},
    };
    auto decoder = std::make_unique<ApeDecoder>();
    for (const ApeStreamInfo& info : bad) {
        EXPECT_FALSE(ApeInitDecoder(decoder.get(), info));
        EXPECT_EQ(ApePcmBytes(info, 100), 0u);
    }
    uint8_t input[16] = {};
    uint8_t pcm[16];
    EXPECT_EQ(ApeDecodeFrame(decoder.get(), input, sizeof(input), 0, 4, pcm, sizeof(pcm)), 0u);
}

} // namespace
} // namespace vostrale
