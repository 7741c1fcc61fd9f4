#include "common/bytes.h"
#include "common/crc.h"
#include "formats/cdtext.h"
#include "formats/layout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace vostrale {
namespace {

struct Block {
    uint8_t* data = nullptr;
    uint32_t size = 0;
    ~Block() { FreeLayoutBlock(data); }
    const uint8_t* Pack(uint32_t i) const { return data + 4 + 18 * i; }
    uint32_t Packs() const { return (size - 4) / 18; }
};

void Build(Block* b, const CdTextStrings& album, const std::vector<CdTextStrings>& tracks) {
    b->data = BuildCdTextBlock(album, tracks, &b->size);
    ASSERT_NE(b->data, nullptr);
    for (uint32_t i = 0; i < b->Packs(); ++i) {
        const uint16_t crc = uint16_t(~Crc16Xmodem(b->Pack(i), 16));
        EXPECT_EQ(LoadBe16(b->Pack(i) + 16), crc) << "pack " << i;
        EXPECT_EQ(b->Pack(i)[2], i) << "sequence";
    }
}

TEST(CdText, PackCrcMatchesKnownVector) {
    uint8_t pack[18] = {0x80, 0, 0, 0, 'A', 'B'};
    SetPackCrc(pack);
    EXPECT_EQ(pack[16], 0xCD);
    EXPECT_EQ(pack[17], 0xDD);
}

TEST(CdText, SmallestBlockLayout) {
    Block b;
    Build(&b, {"AB", ""}, {{"", ""}});
    ASSERT_EQ(b.size, 94u);
    EXPECT_EQ(LoadBe16(b.data), 92);
    const uint8_t pack0[16] = {0x80, 0, 0, 0, 'A', 'B', 0, 0};
    EXPECT_EQ(std::memcmp(b.Pack(0), pack0, 16), 0);
    const uint8_t pack1[16] = {0x81, 0, 1, 0};
    EXPECT_EQ(std::memcmp(b.Pack(1), pack1, 16), 0);
    for (uint32_t i = 2; i < 5; ++i) {
        EXPECT_EQ(b.Pack(i)[0], 0x8F);
        EXPECT_EQ(b.Pack(i)[1], i - 2);
    }
    // Size information: first/last track, counts per type, last sequence number, language.
    uint8_t info[36];
    for (int i = 0; i < 3; ++i)
        std::memcpy(info + 12 * i, b.Pack(2 + i) + 4, 12);
    EXPECT_EQ(info[1], 1);
    EXPECT_EQ(info[2], 1);
    EXPECT_EQ(info[4], 1);  // 0x80 packs
    EXPECT_EQ(info[5], 1);  // 0x81 packs
    EXPECT_EQ(info[19], 3); // 0x8F packs
    EXPECT_EQ(info[20], 4);
    EXPECT_EQ(info[28], 0x09);
}

TEST(CdText, LongStringsSpillWithCharacterPositions) {
    Block b;
    Build(&b, {"ABCDEFGHIJKL", "P"}, {{"0123456789abcdefghijklmnopqrstuvwxyz", "Q"}});
    // Album title: 12 characters fill pack 0; its terminator opens pack 1 at position 12.
    EXPECT_EQ(b.Pack(0)[1], 0);
    EXPECT_EQ(b.Pack(1)[1], 0);
    EXPECT_EQ(b.Pack(1)[3], 12);
    EXPECT_EQ(b.Pack(1)[4], 0);
    EXPECT_EQ(b.Pack(1)[5], '0');
    // Track 1's title began in pack 1 (owned by the album); packs 2 and 3 carry it at 11 and 15.
    EXPECT_EQ(b.Pack(2)[1], 1);
    EXPECT_EQ(b.Pack(2)[3], 11);
    EXPECT_EQ(b.Pack(3)[3], 15);
    uint32_t titles = 0, performers = 0;
    for (uint32_t i = 0; i < b.Packs(); ++i) {
        titles += b.Pack(i)[0] == 0x80;
        performers += b.Pack(i)[0] == 0x81;
    }
    EXPECT_EQ(titles, 5u);
    EXPECT_EQ(performers, 1u);
    EXPECT_EQ(b.Pack(b.Packs() - 3)[4 + 4], titles);
    EXPECT_EQ(b.Pack(b.Packs() - 3)[4 + 5], performers);
}

TEST(CdText, WrappedPacksGetHeaderAndCrc) {
    uint8_t packs[36] = {0x80, 0, 0, 0, 'x'};
    packs[18] = 0x81;
    uint8_t* block = WrapCdTextPacks(packs, 36, true);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(LoadBe16(block), 38);
    EXPECT_EQ(LoadBe16(block + 4 + 16), uint16_t(~Crc16Xmodem(block + 4, 16)));
    EXPECT_EQ(LoadBe16(block + 22 + 16), uint16_t(~Crc16Xmodem(block + 22, 16)));
    FreeLayoutBlock(block);
    EXPECT_EQ(WrapCdTextPacks(packs, 20, true), nullptr);
    uint8_t* empty = WrapCdTextPacks(nullptr, 0, true); // an empty CDTX chunk
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(LoadBe16(empty), 2);
    FreeLayoutBlock(empty);
}

} // namespace
} // namespace vostrale
