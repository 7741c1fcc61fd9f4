#include "reporter/handover.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vostrale {
namespace {

std::vector<uint8_t> Block(uint32_t flags, const std::vector<std::string>& strings) {
    std::vector<uint8_t> b(8, 0);
    for (int i = 0; i < 4; ++i)
        b[4 + i] = uint8_t(flags >> (8 * i));
    for (const std::string& s : strings) {
        b.insert(b.end(), s.begin(), s.end());
        b.push_back(0);
    }
    b.push_back(0);
    return b;
}

TEST(Handover, RefusesMissingShortOrUnmarkedBlocks) {
    Handover h;
    EXPECT_FALSE(ParseHandover(nullptr, 0, &h));
    std::vector<uint8_t> b = Block(0xB91E0000u, {});
    EXPECT_FALSE(ParseHandover(b.data(), 5, &h));  // flags would be read past the end
    EXPECT_FALSE(ParseHandover(b.data(), 7, &h));
    b = Block(0x12340000u, {"a", "b", "c", "d"});
    EXPECT_FALSE(ParseHandover(b.data(), b.size(), &h));
}

TEST(Handover, ReadsStringsAndOptionalArchive) {
    Handover h;
    std::vector<uint8_t> b = Block(0xB91E0011u, {"Vostrale", "Vostrale", "vostrale.exe", "host"});
    ASSERT_TRUE(ParseHandover(b.data(), b.size(), &h));
    EXPECT_EQ(h.flags, 0xB91E0011u);
    EXPECT_EQ(h.strings[2], "vostrale.exe");
    EXPECT_FALSE(h.hasArchive);

    b = Block(0xB91E0000u, {"Vostrale", "Vostrale", "vostrale.exe", "host", "C:\\r.zip"});
    ASSERT_TRUE(ParseHandover(b.data(), b.size(), &h));
    EXPECT_TRUE(h.hasArchive);
    EXPECT_EQ(h.archivePath, "C:\\r.zip");

    // A string that runs off the end of the block is not read.
    b = Block(0xB91E0000u, {"Vostrale"});
    b.pop_back();
    b.pop_back();
    ASSERT_TRUE(ParseHandover(b.data(), b.size(), &h));
    EXPECT_EQ(h.strings[0], "");
}

} // namespace
} // namespace vostrale
