// The reader on images from the test-side writer: partition kinds, entry forms, names,
// continuation extents and damaged structures.
#include "formats/arena.h"
#include "formats/udf_reader.h"
#include "tests/probe/probe_support.h"
#include "tests/probe/udf_writer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>

namespace vostrale::testing {
namespace {

std::vector<uint8_t> Bytes(size_t size, uint8_t seed) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = uint8_t(seed + i * 7 + (i >> 11));
    return data;
}

// A small disc: a data folder, a DVD-Video folder with its manager and a nested folder.
void AddSampleTree(UdfImageWriter* w) {
    int data = w->AddFolder(UdfImageWriter::kRoot, "DATA");
    w->AddFile(data, "a.bin", Bytes(5000, 1));
    int nested = w->AddFolder(data, "NESTED");
    w->AddFile(nested, "empty.txt", {});
    w->AddFile(nested, "b.bin", Bytes(3, 2));
    w->AddFile(UdfImageWriter::kRoot, "README", Bytes(100, 3));
}
const char kSampleListing[] =
    "/DATA/ /DATA/a.bin(5000) /DATA/NESTED/ /DATA/NESTED/empty.txt(0) /DATA/NESTED/b.bin(3) "
    "/README(100)";

TEST(UdfReader, MountsEveryPartitionKindAndBuildsTheTree) {
    struct Case {
        const char* name;
        UdfWriterOptions options;
    } cases[] = {
        {"physical NSR03", {}},
        {"physical NSR02", {.nsr03 = false}},
        {"physical, extended entries", {.extendedEntries = true}},
        {"physical, partition number 5", {.partitionNumber = 5}},
        {"ISO bridge", {.isoBridge = true}},
        {"metadata", {.partition = UdfPartition::Metadata}},
        {"metadata, extended entries",
         {.partition = UdfPartition::Metadata, .extendedEntries = true}},
        {"metadata split in two extents",
         {.partition = UdfPartition::Metadata, .splitMetadata = true}},
        {"metadata main copy unreadable",
         {.partition = UdfPartition::Metadata, .brokenMetadataMain = true}},
        {"metadata map before physical map",
         {.partition = UdfPartition::Metadata, .type2MapFirst = true}},
        {"metadata on partition 3", {.partition = UdfPartition::Metadata, .partitionNumber = 3}},
        {"virtual", {.partition = UdfPartition::Virtual}},
        {"virtual, table 2 blocks before the end",
         {.partition = UdfPartition::Virtual, .sectorsAfterVat = 2}},
        {"virtual map before physical map",
         {.partition = UdfPartition::Virtual, .type2MapFirst = true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UdfImageWriter writer(c.options);
        AddSampleTree(&writer);
        ImageOnDisk image(writer.Build());
        UdfReader reader;
        ASSERT_TRUE(image.Open(&reader));
        EXPECT_EQ(Listing(reader.Root()), kSampleListing);
        EXPECT_FALSE(reader.TreeTruncated());
    }
}

const DirectoryNode* Child(const DirectoryNode* dir, const char* name) {
    for (const DirectoryNode* n = dir->firstChild; n != nullptr; n = n->nextSibling)
        if (std::strcmp(n->name, name) == 0)
            return n;
    return nullptr;
}

size_t ChildCount(const DirectoryNode* dir) {
    size_t count = 0;
    for (const DirectoryNode* n = dir->firstChild; n != nullptr; n = n->nextSibling)
        ++count;
    return count;
}

// Reads a file back through its extents.
std::vector<uint8_t> ReadFile(UdfReader* reader, const DirectoryNode* file) {
    std::vector<uint8_t> out;
    for (uint32_t i = 0; i < file->extentCount; ++i) {
        uint32_t length = file->extents[i].lengthField & 0x3FFFFFFF;
        std::vector<uint8_t> piece(length);
        if (!reader->ReadBytes(file->extents[i].sector, piece.data(), length))
            return {};
        out.insert(out.end(), piece.begin(), piece.end());
    }
    return out;
}

TEST(UdfReader, NamesDeletedEntriesAndEmbeddedData) {
    for (UdfPartition kind :
         {UdfPartition::Physical, UdfPartition::Metadata, UdfPartition::Virtual}) {
        SCOPED_TRACE(int(kind));
        UdfImageWriter writer({.partition = kind});
        int wide = writer.AddFolder(0, "VIDEO_TS");
        writer.Tweak(wide).utf16 = true;
        writer.Tweak(writer.AddFile(wide, "gone.bin", Bytes(10, 1))).deleted = true;
        int small = writer.AddFile(wide, "small.txt", Bytes(40, 2));
        writer.Tweak(small).embedded = true;
        int inside = writer.AddFolder(0, "INSIDE");
        writer.Tweak(inside).embedded = true;
        writer.AddFile(inside, "x", Bytes(1, 3));
        writer.Tweak(writer.AddFolder(0, "OLD")).deleted = true;
        ImageOnDisk image(writer.Build());
        UdfReader reader;
        ASSERT_TRUE(image.Open(&reader));
        EXPECT_EQ(Listing(reader.Root()),
                  "/VIDEO_TS/ /VIDEO_TS/small.txt(40) /INSIDE/ /INSIDE/x(1)");
        const DirectoryNode* embedded = Child(Child(reader.Root(), "VIDEO_TS"), "small.txt");
        ASSERT_NE(embedded, nullptr);
        EXPECT_EQ(embedded->extentCount, 0u);
        const DirectoryNode* folder = Child(reader.Root(), "INSIDE");
        ASSERT_NE(folder, nullptr);
        EXPECT_EQ(folder->data.kind, kExtentEmbedded);
    }
}

TEST(UdfReader, FollowsContinuationExtents) {
    for (UdfPartition kind : {UdfPartition::Physical, UdfPartition::Metadata}) {
        SCOPED_TRACE(int(kind));
        UdfImageWriter writer({.partition = kind});
        std::vector<uint8_t> content = Bytes(40 * 3000, 9);
        int file = writer.AddFile(0, "big.bin", content);
        writer.Tweak(file).extentPieces = 40;
        writer.Tweak(file).piecesPerBlock = 3;
        ImageOnDisk image(writer.Build());
        UdfReader reader;
        ASSERT_TRUE(image.Open(&reader));
        const DirectoryNode* node = Child(reader.Root(), "big.bin");
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(node->extentCount, 40u);
        EXPECT_EQ(node->informationLength, content.size());
        EXPECT_TRUE(ReadFile(&reader, node) == content);
    }
}

TEST(UdfReader, FoldersSpanningManyBlocksAreReadThroughTheMapping) {
    struct Case {
        const char* name;
        UdfWriterOptions options;
    } cases[] = {
        {"physical", {}},
        {"metadata split", {.partition = UdfPartition::Metadata, .splitMetadata = true}},
        {"virtual, blocks apart on disc", {.partition = UdfPartition::Virtual}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UdfImageWriter writer(c.options);
        int folder = writer.AddFolder(0, "MANY");
        for (int i = 0; i < 300; ++i)
            writer.AddFile(folder, "file-with-a-longish-name-" + std::to_string(i), Bytes(1, 0));
        writer.AddFolder(0, "HVDVD_TS");
        ImageOnDisk image(writer.Build());
        UdfReader reader;
        ASSERT_TRUE(image.Open(&reader));
        const DirectoryNode* many = Child(reader.Root(), "MANY");
        ASSERT_NE(many, nullptr);
        EXPECT_GT(many->data.length, 4 * 2048u);
        EXPECT_EQ(ChildCount(many), 300u);
        EXPECT_NE(Child(many, "file-with-a-longish-name-299"), nullptr);
    }
}

TEST(NodeArena, HandsOutZeroedAlignedMemoryInChunks) {
    NodeArena arena(4096);
    EXPECT_EQ(arena.Allocate(4096), nullptr);
    EXPECT_EQ(arena.Allocate(0), nullptr);
    std::vector<uint8_t*> blocks;
    for (int i = 0; i < 20; ++i) {
        auto* p = static_cast<uint8_t*>(arena.Allocate(1000));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
        for (int k = 0; k < 1000; ++k)
            ASSERT_EQ(p[k], 0);
        std::memset(p, 0xAB, 1000);
        blocks.push_back(p);
    }
    EXPECT_EQ(arena.ChunkCount(), 5u); // four 1008-byte blocks fit after the chunk link
    EXPECT_STREQ(arena.CopyString("VIDEO_TS", 8), "VIDEO_TS");
    arena.Release();
    EXPECT_EQ(arena.ChunkCount(), 0u);
}

} // namespace
} // namespace vostrale::testing
