#include "formats/isz.h"
#include "formats_fixture.h"

#include <bzlib.h>
#include <zlib.h>

#include <cstring>
#include <fstream>

namespace vostrale {
namespace {

using testing::IszChunk;
using testing::IszOptions;

using IszTest = TempFolder;

std::vector<uint8_t> ReadAll(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), {});
}

// Decompresses one chunk as the driver will, so the table is checked against the data.
std::vector<uint8_t> Inflate(const std::vector<uint8_t>& file, const ChunkEntry& e,
                             uint32_t chunkSize) {
    const uint32_t length = ChunkLengthOf(e);
    std::vector<uint8_t> in(file.begin() + std::ptrdiff_t(e.fileOffset),
                            file.begin() + std::ptrdiff_t(e.fileOffset + length));
    std::vector<uint8_t> out(chunkSize, 0);
    switch (ChunkKindOf(e)) {
    case kChunkZeros:
        out.resize(length);
        return out;
    case kChunkStored:
        return in;
    case kChunkZlib: {
        uLongf size = chunkSize;
        EXPECT_EQ(uncompress(out.data(), &size, in.data(), in.size()), Z_OK);
        out.resize(size);
        return out;
    }
    case kChunkBzip2: {
        std::memcpy(in.data(), "BZh", 3); // real files lose the stream magic
        unsigned size = chunkSize;
        EXPECT_EQ(BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(out.data()), &size,
                                             reinterpret_cast<char*>(in.data()),
                                             unsigned(in.size()), 0, 0),
                  BZ_OK);
        out.resize(size);
        return out;
    }
    }
    return {};
}

TEST_F(IszTest, AllFourChunkKindsMapToTheImageBytes) {
    for (uint32_t sectorSize : {2048u, 2352u}) {
        IszOptions opt;
        opt.sectorSize = sectorSize;
        opt.sectors = 100;
        opt.chunkSize = 16384;
        opt.kinds = {IszChunk::Stored, IszChunk::Zlib, IszChunk::Zero, IszChunk::Bzip2};
        std::vector<uint8_t> plain;
        ASSERT_TRUE(testing::WriteIszImage(m_dir / "d.isz", opt, &plain));
        Opened o;
        OpenWith(&o, m_dir / "d.isz");
        ASSERT_EQ(o.result, kParseOk) << o.message;
        EXPECT_EQ(V(o.record.readerKind), kReaderIsz);
        EXPECT_EQ(V(o.record.mediumKind), sectorSize == 2352 ? kMediumCd : kMediumDvd);
        EXPECT_EQ(V(o.record.bytesPerSector), sectorSize);
        EXPECT_EQ(V(o.record.totalSectors), 100u);
        EXPECT_EQ(V(o.record.param80), 16384u);
        const uint32_t count = o.record.kindCount;
        ASSERT_EQ(count, (plain.size() + 16383) / 16384);
        const auto* entries = PointerOf<ChunkEntry>(o.record.kindPointer);
        const std::vector<uint8_t> file = ReadAll(m_dir / "d.isz");
        uint32_t largest = 0;
        for (uint32_t i = 0; i < count; ++i) {
            ChunkEntry e;
            std::memcpy(&e, &entries[i], sizeof(e));
            EXPECT_EQ(uint32_t(ChunkKindOf(e)), uint32_t(opt.kinds[i % 4])) << i;
            if (ChunkKindOf(e) != kChunkZeros)
                largest = std::max(largest, ChunkLengthOf(e));
            else
                EXPECT_EQ(V(e.fileOffset), 0u);
            const size_t start = size_t(i) * 16384;
            const std::vector<uint8_t> expected(
                plain.begin() + std::ptrdiff_t(start),
                plain.begin() + std::ptrdiff_t(std::min(plain.size(), start + 16384)));
            EXPECT_EQ(Inflate(file, e, 16384), expected) << "chunk " << i;
        }
        EXPECT_EQ(V(o.record.param84), largest);
    }
}

TEST(IszChunks, UnmaskAndWalkTheTable) {
    IszHeader h{};
    h.sectorSize = 2048;
    h.totalSectors = 3;
    h.chunks = 3;
    h.chunkSize = 2048;
    h.dataOffset = 0x1000;
    const uint32_t values[] = {0x400100, 0x000000, 0x800200};
    const uint8_t mask[4] = {0xB6, 0x8C, 0xA5, 0xDE};
    uint8_t table[9];
    for (int i = 0; i < 9; ++i)
        table[i] = uint8_t(values[i / 3] >> (8 * (i % 3))) ^ mask[i % 4];
    std::vector<ChunkEntry> chunks;
    uint32_t largest = 0;
    std::string problem;
    ASSERT_TRUE(BuildIszChunks(h, table, 0x2000, &chunks, &largest, &problem)) << problem;
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(V(chunks[0].kindAndLength), (0x100u << 2) | 1);
    EXPECT_EQ(V(chunks[0].fileOffset), 0x1000u);
    EXPECT_EQ(V(chunks[1].kindAndLength), 0u);
    EXPECT_EQ(V(chunks[1].fileOffset), 0u);
    EXPECT_EQ(V(chunks[2].kindAndLength), (0x200u << 2) | 2);
    EXPECT_EQ(V(chunks[2].fileOffset), 0x1100u);
    EXPECT_EQ(largest, 0x200u);

    // The published sample table: one zlib chunk of 0xB017 bytes, then stored 128 KiB chunks.
    const uint8_t published[12] = {0xA1, 0x3C, 0x25, 0xDE, 0xB6, 0xCE,
                                   0xA5, 0xDE, 0xF4, 0x8C, 0xA5, 0x9C};
    h.chunks = 4;
    h.chunkSize = 131072;
    h.totalSectors = 256;
    h.dataOffset = 0x2F4;
    ASSERT_TRUE(
        BuildIszChunks(h, published, 0x2F4 + 0xB017 + 3 * 0x20000, &chunks, &largest, &problem))
        << problem;
    EXPECT_EQ(V(chunks[0].kindAndLength), (0xB017u << 2) | 2);
    EXPECT_EQ(V(chunks[3].kindAndLength), (0x20000u << 2) | 1);
    EXPECT_EQ(V(chunks[3].fileOffset), 0x2F4u + 0xB017 + 2 * 0x20000);
    EXPECT_FALSE(BuildIszChunks(h, published, 0x2F4 + 0xB017 + 3 * 0x20000 - 1, &chunks, &largest,
                                &problem));
}

TEST_F(IszTest, HeadersThatCannotBeMountedSayWhy) {
    IszOptions base;
    base.sectors = 64;
    base.chunkSize = 32768;
    ASSERT_TRUE(testing::WriteIszImage(m_dir / "ok.isz", base));
    const std::vector<uint8_t> good = ReadAll(m_dir / "ok.isz");
    auto with = [&](size_t at, std::vector<uint8_t> bytes) {
        auto v = good;
        std::copy(bytes.begin(), bytes.end(), v.begin() + std::ptrdiff_t(at));
        return v;
    };
    const struct {
        std::vector<uint8_t> bytes;
        std::string message;
    } cases[] = {
        {with(0, {'I', 's', 'z', '!'}), "Unknown format, file signature=217A7349"},
        {with(16, {2}), "isz has password, abort"},
        {with(10, {0x00, 0x02}), "Unsupported sector size: 512"},
        {with(33, {4}), "Unsupported chunk unit size: 4, expected 3"},
        {with(39, {0x40}), "Unsupported multi-segement"},
        {with(25, {0xFF, 0xFF, 0xFF, 0x0F}),
         "ReadFile failed: " + std::to_string(good.size() - 64) + ", expected: 805306365"},
        {with(29, {0, 0, 0, 0}), "Invalid chunk table: 4 chunks of 0 bytes for 64 sectors"},
        {with(12, {0xFF}), "Invalid chunk table: 4 chunks of 32768 bytes for 255 sectors"},
        {std::vector<uint8_t>(good.begin(), good.end() - 1), "Chunk 3 lies outside the file"},
        {std::vector<uint8_t>(good.begin(), good.begin() + 63), ""},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(testing::WriteFile(m_dir / "bad.isz", c.bytes));
        Opened o;
        OpenWith(&o, m_dir / "bad.isz");
        EXPECT_EQ(o.result, kParseFailed);
        EXPECT_EQ(o.message, c.message);
        EXPECT_EQ(V(o.record.imageHandle), 0u);
        EXPECT_EQ(V(o.record.kindPointer), 0u);
    }
}

TEST_F(IszTest, ImageWithoutATableHasEveryChunkStored) {
    IszOptions opt;
    opt.noTable = true;
    opt.sectors = 40;
    opt.chunkSize = 16384;
    ASSERT_TRUE(testing::WriteIszImage(m_dir / "plain.isz", opt));
    Opened o;
    OpenWith(&o, m_dir / "plain.isz");
    ASSERT_EQ(o.result, kParseOk) << o.message;
    ASSERT_EQ(V(o.record.kindCount), 5u);
    const auto* entries = PointerOf<ChunkEntry>(o.record.kindPointer);
    ChunkEntry last;
    std::memcpy(&last, &entries[4], sizeof(last));
    EXPECT_EQ(ChunkKindOf(last), kChunkStored);
    EXPECT_EQ(ChunkLengthOf(last), 40u * 2048 - 4 * 16384);
    EXPECT_EQ(V(last.fileOffset), 64u + 4 * 16384);
}

} // namespace
} // namespace vostrale
