#include "common/bytes.h"
#include "common/crc.h"
#include "common/disc.h"
#include "common/wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace vostrale {
namespace {

TEST(LbaToMsf, ConvertsAcrossPregapAndLeadIn) {
    struct Case {
        int32_t lba;
        int m, s, f;
    } cases[] = {
        {0, 0, 2, 0},       {-150, 0, 0, 0},     {-151, 99, 59, 74}, {-450150, 0, 0, 0},
        {74, 0, 2, 74},     {75, 0, 3, 0},       {4350, 1, 0, 0},    {359849, 79, 59, 74},
        {302, 0, 6, 2},     {-1, 0, 1, 74},
    };
    for (const Case& c : cases) {
        Msf msf = LbaToMsf(c.lba);
        EXPECT_EQ(msf.minute, c.m) << c.lba;
        EXPECT_EQ(msf.second, c.s) << c.lba;
        EXPECT_EQ(msf.frame, c.f) << c.lba;
        if (c.lba >= -150) {
            EXPECT_EQ(MsfToLba(msf.minute, msf.second, msf.frame), c.lba);
        }
    }
}

TEST(SectorTypeOf, ReadsSyncModeAndSubmode) {
    auto raw = [](uint8_t mode, uint8_t submode) {
        std::vector<uint8_t> s(32, 0);
        std::memset(&s[1], 0xFF, 10);
        s[15] = mode;
        s[18] = submode;
        return s;
    };
    EXPECT_EQ(SectorTypeOf(raw(1, 0).data()), kSectorMode1);
    EXPECT_EQ(SectorTypeOf(raw(2, 0x20).data()), kSectorMode2Form2);
    EXPECT_EQ(SectorTypeOf(raw(2, 0x08).data()), kSectorMode2Form1);
    EXPECT_EQ(SectorTypeOf(raw(0, 0).data()), kSectorUnknown);
    EXPECT_EQ(SectorTypeOf(raw(3, 0).data()), kSectorUnknown);

    auto broken = raw(1, 0);
    broken[11] = 0x01;  // sync tail wrong, even though bytes 1..10 are 0xFF
    EXPECT_EQ(SectorTypeOf(broken.data()), kSectorUnknown);
    broken = raw(1, 0);
    broken[0] = 0xFF;
    EXPECT_EQ(SectorTypeOf(broken.data()), kSectorUnknown);
    broken = raw(1, 0);
    broken[5] = 0xFE;
    EXPECT_EQ(SectorTypeOf(broken.data()), kSectorUnknown);

    const uint8_t form2[8] = {0, 0, 0x20, 0, 0, 0, 0x20, 0};
    const uint8_t form1[8] = {0, 0, 0x08, 0, 0, 0, 0x08, 0};
    EXPECT_EQ(Mode2TypeOfSubheader(form2), kSectorMode2Form2);
    EXPECT_EQ(Mode2TypeOfSubheader(form1), kSectorMode2Form1);
}

TEST(SingleSessionToc, OneTrackBlockHasPointsA0A1A2AndTrack) {
    const uint32_t starts[] = {0};
    std::vector<uint8_t> toc(FullTocSize(4), 0xEE);
    ASSERT_EQ(toc.size(), 48u);
    WriteSingleSessionToc(starts, 1, 302, kAdrControlData, 0x20, toc.data());

    EXPECT_EQ(LoadBe16(toc.data()), 46);
    EXPECT_EQ(toc[2], 1);
    EXPECT_EQ(toc[3], 1);
    EXPECT_EQ(FullTocDescriptorCount(toc.data(), uint32_t(toc.size())), 4);
    const uint8_t expected[4][11] = {
        {1, 0x14, 0, 0xA0, 0, 0, 0, 0, 1, 0x20, 0},
        {1, 0x14, 0, 0xA1, 0, 0, 0, 0, 1, 0, 0},
        {1, 0x14, 0, 0xA2, 0, 0, 0, 0, 0, 6, 2},
        {1, 0x14, 0, 0x01, 0, 0, 0, 0, 0, 2, 0},
    };
    for (int d = 0; d < 4; ++d)
        EXPECT_EQ(0, std::memcmp(&toc[4 + 11 * d], expected[d], 11)) << "descriptor " << d;
}

TEST(SingleSessionToc, AudioVariantMarksEveryDescriptorAudio) {
    const uint32_t starts[] = {0, 13000, 20000};
    std::vector<uint8_t> toc(FullTocSize(6));
    WriteSingleSessionToc(starts, 3, 30000, kAdrControlAudio, 0, toc.data());
    for (int d = 0; d < 6; ++d)
        EXPECT_EQ(toc[4 + 11 * d + 1], 0x10);
    EXPECT_EQ(toc[4 + 11 + 8], 3);  // A1 PMIN = last track
    Msf t3 = LbaToMsf(20000);
    EXPECT_EQ(toc[4 + 55 + 3], 3);
    EXPECT_EQ(toc[4 + 55 + 8], t3.minute);
    EXPECT_EQ(toc[4 + 55 + 9], t3.second);
    EXPECT_EQ(toc[4 + 55 + 10], t3.frame);
}

TEST(FullTocDescriptorCount, RejectsLengthsThatDoNotFit) {
    uint8_t block[48] = {};
    StoreBe16(block, 46);
    EXPECT_EQ(FullTocDescriptorCount(block, 48), 4);
    EXPECT_EQ(FullTocDescriptorCount(block, 47), -1);  // length says more than the block holds
    StoreBe16(block, 45);
    EXPECT_EQ(FullTocDescriptorCount(block, 48), -1);  // not 2 + 11n
    StoreBe16(block, 0);
    EXPECT_EQ(FullTocDescriptorCount(block, 48), -1);
    EXPECT_EQ(FullTocDescriptorCount(block, 3), -1);
}

TEST(Crc, MatchesKnownCheckValues) {
    const char* check = "123456789";
    EXPECT_EQ(Crc32(0, check, 9), 0xCBF43926u);
    EXPECT_EQ(Crc32(Crc32(0, check, 4), check + 4, 5), 0xCBF43926u);  // chunked
    EXPECT_EQ(Crc16Xmodem(check, 9), 0x31C3);
    // CD-Text pack: the stored CRC is the inverted value, high byte first.
    const uint8_t pack[16] = {0x80, 0, 0, 0, 0x41, 0x42};
    uint16_t stored = uint16_t(~Crc16Xmodem(pack, 16));
    EXPECT_EQ(stored, 0xCDDD);
}

// Eight bytes are folded in at a time: every length and start around that step, and chunks
// that split it, against a bit-at-a-time CRC-32.
TEST(Crc, WideStepsAgreeWithBitAtATime) {
    std::vector<uint8_t> bytes(300);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t(i * 131 + (i >> 3) * 7);
    auto bitwise = [](const uint8_t* p, size_t n) {
        uint32_t crc = 0xFFFFFFFFu;
        for (size_t i = 0; i < n; ++i) {
            crc ^= p[i];
            for (int k = 0; k < 8; ++k)
                crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        }
        return ~crc;
    };
    for (size_t start = 0; start < 9; ++start) {
        for (size_t length = 0; length + start <= bytes.size(); length += 1 + length / 4) {
            const uint8_t* p = bytes.data() + start;
            ASSERT_EQ(Crc32(0, p, length), bitwise(p, length)) << start << " " << length;
            const size_t half = length / 2 + start % 3;
            if (half <= length) {
                ASSERT_EQ(Crc32(Crc32(0, p, half), p + half, length - half), bitwise(p, length));
            }
        }
    }
}

TEST(Bytes, BigAndLittleEndianRoundTrip) {
    uint8_t b[8];
    StoreBe32(b, 0x01020304);
    EXPECT_EQ(b[0], 1);
    EXPECT_EQ(LoadBe32(b), 0x01020304u);
    StoreBe24(b, 0xABCDEF);
    EXPECT_EQ(LoadBe24(b), 0xABCDEFu);
    StoreLe64(b, 0x1122334455667788ull);
    EXPECT_EQ(b[0], 0x88);
    EXPECT_EQ(LoadLe64(b), 0x1122334455667788ull);
    EXPECT_EQ(LoadLe16(b), 0x7788);
}

TEST(Wire, RecordFieldsLandAtTheirByteOffsets) {
    MountRecord r{};
    r.totalSectors = 0x11223344;
    r.readerKind = kReaderIsz;
    SetSegmentTablePointer(&r, 0x8877665544332211ull);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&r);
    EXPECT_EQ(LoadLe32(bytes + 40), 0x11223344u);
    EXPECT_EQ(bytes[33], kReaderIsz);
    EXPECT_EQ(LoadLe64(bytes + 76), 0x8877665544332211ull);
    EXPECT_EQ(SegmentTablePointer(r), 0x8877665544332211ull);

    ChunkEntry c = MakeChunkEntry(kChunkBzip2, 0x3FFFFFFF, 77);
    EXPECT_EQ(ChunkKindOf(c), kChunkBzip2);
    EXPECT_EQ(ChunkLengthOf(c), 0x3FFFFFFFu);
}

TEST(RangeFits, RejectsOverflowingRanges) {
    EXPECT_TRUE(RangeFits(0, 10, 10));
    EXPECT_TRUE(RangeFits(10, 0, 10));
    EXPECT_FALSE(RangeFits(11, 0, 10));
    EXPECT_FALSE(RangeFits(5, 6, 10));
    EXPECT_FALSE(RangeFits(UINT64_MAX, 2, 10));
    EXPECT_FALSE(RangeFits(2, UINT64_MAX, 10));
}

} // namespace
} // namespace vostrale
