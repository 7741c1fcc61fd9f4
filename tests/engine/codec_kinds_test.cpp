// Discs read through decoders: ISZ chunks and FLAC groups, mounted through a control buffer
// and read through the SCSI door.
#include "codecs/flac.h"
#include "codecs/sector.h"
#include "tests/engine/engine_fixture.h"

#include <bzlib.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

namespace vostrale::test {
namespace {

Bytes Deflate(const Bytes& in) {
    uLongf size = compressBound(uLong(in.size()));
    Bytes out(size);
    EXPECT_EQ(compress2(out.data(), &size, in.data(), uLong(in.size()), 9), Z_OK);
    out.resize(size);
    return out;
}

Bytes Bzip(const Bytes& in) {
    unsigned int size = unsigned(in.size() * 2 + 600);
    Bytes out(size);
    EXPECT_EQ(BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &size,
                                       const_cast<char*>(reinterpret_cast<const char*>(in.data())),
                                       unsigned(in.size()), 9, 0, 0),
              BZ_OK);
    out.resize(size);
    out[0] = out[1] = out[2] = 0; // as the common ISZ writer leaves it
    return out;
}

class IszTest : public EngineTest {
  protected:
    static constexpr uint32_t kChunkSectors = 4;
    static constexpr uint32_t kChunkSize = kChunkSectors * 2048;
    static constexpr uint32_t kTotal = 22; // 6 chunks, the last one 2 sectors

    void SetUp() override {
        EngineTest::SetUp();
        for (uint32_t lba = 0; lba < kTotal; ++lba) {
            Bytes s = (lba / kChunkSectors == 2) ? Bytes(2048, 0) : UserPattern(lba);
            m_image.insert(m_image.end(), s.begin(), s.end());
        }
        Bytes file(64, 0); // header stand-in
        uint32_t largest = 0;
        const ChunkStorage kinds[] = {kChunkZlib,  kChunkStored, kChunkZeros,
                                      kChunkBzip2, kChunkZlib,   kChunkZlib};
        for (uint32_t i = 0; i * kChunkSize < m_image.size(); ++i) {
            Bytes plain = Slice(m_image, i * kChunkSize,
                                std::min<size_t>(kChunkSize, m_image.size() - i * kChunkSize));
            Bytes stored = kinds[i] == kChunkZlib     ? Deflate(plain)
                           : kinds[i] == kChunkBzip2  ? Bzip(plain)
                           : kinds[i] == kChunkStored ? plain
                                                      : Bytes();
            uint32_t length =
                kinds[i] == kChunkZeros ? uint32_t(plain.size()) : uint32_t(stored.size());
            m_chunks.push_back(
                MakeChunkEntry(kinds[i], length, kinds[i] == kChunkZeros ? 0 : file.size()));
            file.insert(file.end(), stored.begin(), stored.end());
            if (kinds[i] != kChunkZeros)
                largest = std::max(largest, length);
        }
        m_largest = largest;
        m_stored = file;
    }
    MountRecord Record(const OpenFile& f, const std::vector<ChunkEntry>& chunks) {
        MountRecord r = BaseRecord(f.Handle(), kMediumDvd, kReaderIsz, kTotal);
        r.kindPointer = Ptr(chunks.data());
        r.kindCount = uint32_t(chunks.size());
        r.param80 = kChunkSize;
        r.param84 = m_largest;
        return r;
    }

    Bytes m_image;
    Bytes m_stored;
    std::vector<ChunkEntry> m_chunks;
    uint32_t m_largest = 0;
};

TEST_F(IszTest, EveryChunkKindReadsBack) {
    OpenFile f(m_dir.Write("a.isz", m_stored));
    ASSERT_TRUE(Mount(0, Record(f, m_chunks)));
    SettleDrive();
    // Whole image, then reads that start and end inside chunks and at their boundaries.
    Reply all = Send(A(), 0, Read10(0, kTotal), kTotal * 2048);
    ASSERT_TRUE(all.Good()) << std::hex << all.SenseTriple();
    EXPECT_EQ(all.data, m_image);
    for (auto [lba, count] :
         {std::pair<uint32_t, uint32_t>{3, 2}, {4, 4}, {7, 9}, {20, 2}, {0, 1}}) {
        Reply r = Send(A(), 0, Read10(lba, uint16_t(count)), count * 2048);
        ASSERT_TRUE(r.Good()) << lba;
        EXPECT_EQ(r.data, Slice(m_image, lba * 2048, count * 2048)) << lba;
    }
    EXPECT_EQ(Send(A(), 0, Read10(kTotal, 1), 2048).SenseTriple(), kSenseOutOfRange);
}

TEST_F(IszTest, CorruptChunkIsAMediumErrorAndRetried) {
    Bytes damaged = m_stored;
    uint64_t at = m_chunks[4].fileOffset + 8;
    for (int i = 0; i < 16; ++i)
        damaged[at + i] ^= 0x5A;
    OpenFile f(m_dir.Write("bad.isz", damaged));
    ASSERT_TRUE(Mount(0, Record(f, m_chunks)));
    SettleDrive();
    Reply r = Send(A(), 0, Read10(14, 4), 4 * 2048);
    EXPECT_EQ(r.SenseTriple(), kSenseReadError);
    EXPECT_EQ(LoadBe32(r.outcome.sense.data() + 3), 16u); // first sector of chunk 4
    EXPECT_EQ(r.data.size(), 2u * 2048);
    EXPECT_EQ(Send(A(), 0, Read10(16, 1), 2048).SenseTriple(), kSenseReadError);
    Reply fine = Send(A(), 0, Read10(0, 1), 2048);
    ASSERT_TRUE(fine.Good());
    EXPECT_EQ(fine.data, Slice(m_image, 0, 2048));
}

TEST_F(IszTest, InconsistentChunkTablesAreRefused) {
    OpenFile f(m_dir.Write("a.isz", m_stored));
    struct Case {
        const char* what;
        std::function<void(MountRecord&, std::vector<ChunkEntry>&)> change;
    } cases[] = {
        {"no chunks", [](MountRecord& r, auto&) { r.kindCount = 0; }},
        {"chunk size 0", [](MountRecord& r, auto&) { r.param80 = 0; }},
        {"too few chunks for the image", [](MountRecord& r, auto&) { r.kindCount -= 1; }},
        {"a chunk beyond the image",
         [](MountRecord& r, auto& c) {
             c.push_back(MakeChunkEntry(kChunkZeros, 10, 0));
             r.kindPointer = Ptr(c.data());
             r.kindCount += 1;
         }},
        {"compressed chunk longer than the input buffer",
         [](MountRecord& r, auto&) { r.param84 = 8; }},
        {"stored chunk longer than a chunk",
         [](MountRecord&, auto& c) {
             c[1] = MakeChunkEntry(kChunkStored, kChunkSize + 1, c[1].fileOffset);
         }},
        {"huge chunk size", [](MountRecord& r, auto&) { r.param80 = 0x7FFFFFFF; }},
        {"table unmapped", [](MountRecord& r, auto&) { r.kindPointer = 16; }},
    };
    for (const Case& c : cases) {
        std::vector<ChunkEntry> chunks = m_chunks;
        MountRecord r = Record(f, chunks);
        c.change(r, chunks);
        EXPECT_FALSE(Mount(0, r)) << c.what;
    }
    EXPECT_TRUE(Mount(0, Record(f, m_chunks)));
}

// ---- FLAC ---------------------------------------------------------------------------------

struct FlacDisc {
    Bytes file;
    Bytes pcm; // reference decode by the flac tool
    std::vector<SeekPoint> seek;
    uint32_t blockSize = 0;
    uint64_t totalSamples = 0;
};

bool RunTool(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

Bytes ReadAll(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Encodes `samples` of generated stereo audio and builds a seek table with a point every
// `framesPerPoint` frames by walking the frames.
bool MakeFlacDisc(const TempDir& dir, uint32_t samples, uint32_t blockSize, uint32_t framesPerPoint,
                  FlacDisc* out) {
    Bytes raw(size_t(samples) * 4);
    uint32_t noise = 12345;
    for (uint32_t i = 0; i < samples; ++i) {
        noise = noise * 1103515245u + 12345u;
        int16_t l = int16_t((i * 37) % 20000 - 10000 + int32_t((noise >> 20) & 0xFF));
        int16_t r = int16_t(l / 2 + int32_t((noise >> 8) & 0x3FF));
        StoreLe16(raw.data() + 4 * i, uint16_t(l));
        StoreLe16(raw.data() + 4 * i + 2, uint16_t(r));
    }
    std::filesystem::path rawPath = dir.Write("src.raw", raw);
    std::filesystem::path flacPath = dir.Path("a.flac");
    std::string cmd = "flac --silent --force --endian=little --sign=signed --channels=2 --bps=16 "
                      "--sample-rate=44100 --force-raw-format -b " +
                      std::to_string(blockSize) + " -o '" + flacPath.string() + "' '" +
                      rawPath.string() + "'";
    if (!RunTool(cmd))
        return false;
    out->file = ReadAll(flacPath);
    out->pcm = raw;
    out->blockSize = blockSize;
    out->totalSamples = samples;
    // Metadata blocks, then frames.
    size_t off = 4;
    bool last = false;
    while (!last && off + 4 <= out->file.size()) {
        last = out->file[off] & 0x80;
        off += 4 + LoadBe24(out->file.data() + off + 1);
    }
    std::vector<int32_t> left(blockSize), right(blockSize);
    int32_t* channels[2] = {left.data(), right.data()};
    uint32_t frame = 0;
    uint64_t sample = 0;
    while (off < out->file.size() && sample < samples) {
        if (frame % framesPerPoint == 0)
            out->seek.push_back({uint32_t(sample), uint32_t(off)});
        FlacFrameInfo info;
        size_t size = DecodeFlacFrame(out->file.data() + off, out->file.size() - off, 16, channels,
                                      2, blockSize, &info);
        if (size == 0)
            return false;
        off += size;
        sample += info.blockSize;
        ++frame;
    }
    out->seek.push_back({uint32_t(sample), uint32_t(off)});
    return sample == samples;
}

TEST_F(EngineTest, FlacDiscRipsBitExactly) {
#ifdef _WIN32
    GTEST_SKIP() << "needs the flac tool";
#endif
    if (!RunTool("flac --version > /dev/null 2>&1"))
        GTEST_SKIP() << "flac tool missing";
    constexpr uint32_t kSectors = 40;
    constexpr uint32_t kSamples = kSectors * 588 - 100; // the stream ends inside the last sector
    FlacDisc disc;
    ASSERT_TRUE(MakeFlacDisc(m_dir, kSamples, 1152, 3, &disc));
    OpenFile f(m_dir.Write("disc.flac", disc.file));
    MountRecord r = BaseRecord(f.Handle(), kMediumCd, kReaderFlac, kSectors, 2352);
    r.kindPointer = Ptr(disc.seek.data());
    r.kindCount = uint32_t(disc.seek.size());
    r.param80 = 3;
    r.param84 = 44100;
    r.param88 = 2;
    r.param92 = 16;
    r.param96 = disc.blockSize;
    r.param100 = 0; // largest frame unknown
    r.param104 = disc.totalSamples;
    ASSERT_TRUE(Mount(0, r));
    SettleDrive();

    Bytes expected = disc.pcm;
    expected.resize(size_t(kSectors) * 2352, 0); // silence after the stream
    // One long read, then sector by sector (group cache), then across group boundaries.
    Reply all = Send(A(), 0, ReadCd(0, kSectors, 0xF0, 0, kSectorCdda), kSectors * 2352);
    ASSERT_TRUE(all.Good()) << std::hex << all.SenseTriple();
    EXPECT_EQ(all.data, expected);
    for (uint32_t lba = 0; lba < kSectors; ++lba) {
        Reply one = Send(A(), 0, ReadCd(lba, 1, 0xF8), 2352);
        ASSERT_TRUE(one.Good()) << lba;
        EXPECT_EQ(one.data, Slice(expected, lba * 2352, 2352)) << lba;
    }
    // C2 and sub-channel honoured: records of one stride.
    Reply wide = Send(A(), 0, ReadCd(5, 3, 0xF4, 1), 3 * 2744);
    ASSERT_TRUE(wide.Good());
    for (uint32_t i = 0; i < 3; ++i)
        EXPECT_EQ(Slice(wide.data, i * 2744, 2352), Slice(expected, (5 + i) * 2352, 2352));
    // READ(10) on a FLAC disc: audio has no user data, as on every audio-only disc.
    EXPECT_EQ(Send(A(), 0, Read10(0, 1), 2048).SenseTriple(), kSenseIllegalMode);
}

TEST_F(EngineTest, FlacDamageAndHostileSeekTables) {
#ifdef _WIN32
    GTEST_SKIP() << "needs the flac tool";
#endif
    if (!RunTool("flac --version > /dev/null 2>&1"))
        GTEST_SKIP() << "flac tool missing";
    constexpr uint32_t kSectors = 20;
    FlacDisc disc;
    ASSERT_TRUE(MakeFlacDisc(m_dir, kSectors * 588, 1152, 2, &disc));
    Bytes damaged = disc.file;
    damaged[disc.seek[3].fileOffset] ^= 0xFF; // sync of the frame that starts group 3
    OpenFile f(m_dir.Write("bad.flac", damaged));
    auto record = [&](const std::vector<SeekPoint>& seek) {
        MountRecord r = BaseRecord(f.Handle(), kMediumCd, kReaderFlac, kSectors, 2352);
        r.kindPointer = Ptr(seek.data());
        r.kindCount = uint32_t(seek.size());
        r.param80 = 2;
        r.param92 = 16;
        r.param96 = disc.blockSize;
        r.param104 = disc.totalSamples;
        return r;
    };
    ASSERT_TRUE(Mount(0, record(disc.seek)));
    SettleDrive();
    uint32_t badLba = disc.seek[3].sample / 588;
    Reply r = Send(A(), 0, ReadCd(badLba, 1, 0xF8), 2352);
    EXPECT_EQ(r.SenseTriple(), kSenseReadError);
    EXPECT_EQ(LoadBe32(r.outcome.sense.data() + 3), badLba);
    EXPECT_TRUE(Send(A(), 0, ReadCd(0, 1, 0xF8), 2352).Good());

    std::vector<SeekPoint> descending = disc.seek;
    std::swap(descending[1], descending[2]);
    std::vector<SeekPoint> single(disc.seek.begin(), disc.seek.begin() + 1);
    std::vector<SeekPoint> hugeGroup = disc.seek;
    hugeGroup.back().fileOffset = 0xFFFFFFF0u;
    EXPECT_FALSE(Mount(0, record(descending)));
    EXPECT_FALSE(Mount(0, record(single)));
    EXPECT_FALSE(Mount(0, record(hugeGroup)));
    MountRecord zeroBlock = record(disc.seek);
    zeroBlock.param96 = 0;
    EXPECT_FALSE(Mount(0, zeroBlock));
    MountRecord ape = record(disc.seek);
    ape.readerKind = kReaderApe;
    EXPECT_FALSE(Mount(0, ape)); // no APE frame decoder in the engine yet
}

} // namespace
} // namespace vostrale::test

namespace vostrale::test {
namespace {

// A raw (2352-byte) CD in ISZ form: user data found by mode, raw records with sub-channel.
TEST_F(EngineTest, RawIszCd) {
    constexpr uint32_t kTotal = 6;
    constexpr uint32_t kChunk = 2 * 2352;
    Bytes image;
    for (uint32_t lba = 0; lba < kTotal; ++lba) {
        Bytes user = UserPattern(lba);
        Bytes s(kCdSectorSize, 0);
        ASSERT_TRUE(BuildRawSector(s.data(), int32_t(lba),
                                   lba < 4 ? kSectorMode1 : kSectorMode2Form1, user.data()));
        image.insert(image.end(), s.begin(), s.end());
    }
    Bytes file;
    std::vector<ChunkEntry> chunks;
    uint32_t largest = 0;
    for (uint32_t i = 0; i < kTotal * 2352 / kChunk; ++i) {
        Bytes packed = Deflate(Slice(image, i * kChunk, kChunk));
        chunks.push_back(MakeChunkEntry(kChunkZlib, uint32_t(packed.size()), file.size()));
        largest = std::max(largest, uint32_t(packed.size()));
        file.insert(file.end(), packed.begin(), packed.end());
    }
    OpenFile f(m_dir.Write("raw.isz", file));
    MountRecord r = BaseRecord(f.Handle(), kMediumCd, kReaderIsz, kTotal, 2352);
    r.kindPointer = Ptr(chunks.data());
    r.kindCount = uint32_t(chunks.size());
    r.param80 = kChunk;
    r.param84 = largest;
    ASSERT_TRUE(Mount(0, r));
    SettleDrive();
    Reply user = Send(A(), 0, Read10(2, 4), 4 * 2048);
    ASSERT_TRUE(user.Good()) << std::hex << user.SenseTriple();
    for (uint32_t i = 0; i < 4; ++i)
        EXPECT_EQ(Slice(user.data, i * 2048, 2048), UserPattern(2 + i)) << i;
    Reply raw = Send(A(), 0, ReadCd(1, 3, 0xF8, 1), 3 * 2448);
    ASSERT_TRUE(raw.Good());
    ASSERT_EQ(raw.data.size(), 3u * 2448);
    for (uint32_t i = 0; i < 3; ++i)
        EXPECT_EQ(Slice(raw.data, i * 2448, 2352), Slice(image, (1 + i) * 2352, 2352)) << i;
}

} // namespace
} // namespace vostrale::test
