// The reader on images from the test-side writer: partition kinds, entry forms, names,
// continuation extents and damaged structures.
#include "common/bytes.h"
#include "formats/arena.h"
#include "formats/udf_reader.h"
#include "tests/probe/probe_support.h"
#include "tests/probe/udf_writer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>

namespace vostrale::testing {
namespace {

// "L3", "F12": numbered names (built by append, which older GCC's -Wrestrict leaves alone).
std::string Numbered(const char* prefix, int n) {
    std::string name(prefix);
    name.append(std::to_string(n));
    return name;
}

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
            writer.AddFile(folder, Numbered("file-with-a-longish-name-", i), Bytes(1, 0));
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

size_t CountNodes(const DirectoryNode* dir) {
    size_t count = 0;
    for (const DirectoryNode* n = dir->firstChild; n != nullptr; n = n->nextSibling)
        count += 1 + (n->isDirectory ? CountNodes(n) : 0);
    return count;
}

TEST(UdfReader, DamagedTreesEndWithABoundedTree) {
    using Build = void (*)(UdfImageWriter*);
    struct Case {
        const char* name;
        Build build;
        const char* listing; // null: only bounded
        bool truncated;
    } cases[] = {
        {"folder that holds the root",
         [](UdfImageWriter* w) {
             w->Tweak(w->AddFolder(0, "LOOP")).linkTo = 0;
             w->AddFolder(0, "HVDVD_TS");
         },
         "/LOOP/ /HVDVD_TS/", false},
        {"folder that holds itself",
         [](UdfImageWriter* w) {
             int x = w->AddFolder(0, "X");
             w->Tweak(w->AddFolder(x, "again")).linkTo = x;
         },
         "/X/ /X/again/", false},
        {"two folders holding each other",
         [](UdfImageWriter* w) {
             int a = w->AddFolder(0, "A");
             int b = w->AddFolder(a, "B");
             w->Tweak(w->AddFolder(b, "up")).linkTo = a;
         },
         "/A/ /A/B/ /A/B/up/", false},
        {"fan-out of shared folders",
         [](UdfImageWriter* w) {
             // Each level lists the next one 40 times: 40^5 paths without a single cycle.
             int level[6];
             level[0] = 0;
             for (int d = 1; d < 6; ++d)
                 level[d] = w->AddFolder(level[d - 1], Numbered("L", d));
             for (int d = 1; d < 5; ++d)
                 for (int k = 0; k < 39; ++k)
                     w
                         ->Tweak(w->AddFolder(
                             level[d], Numbered("L", d + 1).append("-").append(std::to_string(k))))
                         .linkTo = level[d + 1];
         },
         nullptr, true},
        {"deep chain",
         [](UdfImageWriter* w) {
             int at = 0;
             for (int d = 0; d < 100; ++d)
                 at = w->AddFolder(at, "D");
         },
         nullptr, true},
        {"continuation chain that loops",
         [](UdfImageWriter* w) {
             int f = w->AddFile(0, "f", Bytes(6000, 1));
             w->Tweak(f).extentPieces = 3;
             w->Tweak(f).piecesPerBlock = 2;
             w->Tweak(f).cyclicContinuation = true;
         },
         "/f(6000)", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UdfImageWriter writer;
        c.build(&writer);
        ImageOnDisk image(writer.Build());
        UdfReader reader;
        ASSERT_TRUE(image.Open(&reader));
        if (c.listing != nullptr) {
            EXPECT_EQ(Listing(reader.Root()), c.listing);
        }
        EXPECT_EQ(reader.TreeTruncated(), c.truncated);
        EXPECT_LE(CountNodes(reader.Root()), ReaderLimits{}.maxNodes);
    }
}

// Hostile values written into otherwise sound images: the probe ends with the base answer
// (4 for these NSR03 discs) or, where the damage is survivable, still finds HVDVD_TS (3).
TEST(ProbeVolume, HostileFieldsAreCheckedBeforeUse) {
    constexpr uint32_t kSector = 2048;
    using Patch = void (*)(std::vector<uint8_t>*, const UdfImageWriter&);
    struct Case {
        const char* name;
        UdfPartition partition;
        Patch patch;
        uint8_t kind;
    } cases[] = {
        {"sound image", UdfPartition::Physical, [](std::vector<uint8_t>*, const UdfImageWriter&) {},
         3},
        {"anchor extent length 4 GiB", UdfPartition::Physical,
         [](std::vector<uint8_t>* im, const UdfImageWriter&) {
             StoreLe32(im->data() + 256 * kSector + 16, 0xFFFFFFFF);
         },
         3},
        {"anchor extent beyond the image", UdfPartition::Physical,
         [](std::vector<uint8_t>* im, const UdfImageWriter&) {
             StoreLe32(im->data() + 256 * kSector + 20, 0x7FFFFFF0);
         },
         4},
        {"anchor missing", UdfPartition::Physical,
         [](std::vector<uint8_t>* im, const UdfImageWriter&) { (*im)[256 * kSector] = 0; }, 4},
        {"partition map count 2^32-1", UdfPartition::Physical,
         [](std::vector<uint8_t>* im, const UdfImageWriter&) {
             StoreLe32(im->data() + UdfImageWriter::kLogicalVolumeSector * kSector + 268,
                       0xFFFFFFFF);
         },
         4},
        {"partition map of length 0", UdfPartition::Physical,
         [](std::vector<uint8_t>* im, const UdfImageWriter&) {
             (*im)[UdfImageWriter::kLogicalVolumeSector * kSector + 441] = 0;
         },
         4},
        {"partition start near 2^32", UdfPartition::Physical,
         [](std::vector<uint8_t>* im, const UdfImageWriter&) {
             StoreLe32(im->data() + 33 * kSector + 188, 0xFFFFFFF0);
         },
         4},
        {"third partition descriptor", UdfPartition::Physical,
         [](std::vector<uint8_t>* im, const UdfImageWriter&) {
             // Two more descriptors before the terminator; the third is ignored.
             uint8_t* seq = im->data() + 32 * kSector;
             std::memcpy(seq + 5 * kSector, seq + 3 * kSector, kSector); // terminator
             std::memcpy(seq + 3 * kSector, seq + 1 * kSector, kSector);
             std::memcpy(seq + 4 * kSector, seq + 1 * kSector, kSector);
             StoreLe32(seq + 4 * kSector + 188, 0x100000);
         },
         3},
        {"root entry with 4 GiB of descriptors", UdfPartition::Physical,
         [](std::vector<uint8_t>* im, const UdfImageWriter& w) {
             StoreLe32(im->data() + size_t(w.EntrySector(0)) * kSector + 172, 0xFFFFFFF0);
         },
         4},
        {"root entry with 4 GiB of attributes", UdfPartition::Physical,
         [](std::vector<uint8_t>* im, const UdfImageWriter& w) {
             StoreLe32(im->data() + size_t(w.EntrySector(0)) * kSector + 168, 0xFFFFFFF0);
         },
         4},
        {"root folder of 1 GiB", UdfPartition::Physical,
         [](std::vector<uint8_t>* im, const UdfImageWriter& w) {
             StoreLe32(im->data() + size_t(w.EntrySector(0)) * kSector + 176, 0x3FFFFFFF);
         },
         4},
        {"identifier with 64 KiB of implementation use", UdfPartition::Physical,
         [](std::vector<uint8_t>* im, const UdfImageWriter& w) {
             StoreLe16(im->data() + size_t(w.DataSector(0)) * kSector + 40 + 36, 0xFFFF);
         },
         4},
        {"root entry pointing outside the partition", UdfPartition::Physical,
         [](std::vector<uint8_t>* im, const UdfImageWriter& w) {
             StoreLe32(im->data() + size_t(w.EntrySector(0) - 1) * kSector + 400 + 4, 0xFFFFFF00);
         },
         4},
        {"table header longer than the table", UdfPartition::Virtual,
         [](std::vector<uint8_t>* im, const UdfImageWriter&) {
             uint8_t* e = im->data() + im->size() - kSector;
             StoreLe16(e + 176, 0xFFFF);
         },
         4},
        {"table claiming 2^63 bytes", UdfPartition::Virtual,
         [](std::vector<uint8_t>* im, const UdfImageWriter&) {
             StoreLe64(im->data() + im->size() - kSector + 56, uint64_t(1) << 63);
         },
         3},
        {"table entries pointing past 2^32", UdfPartition::Virtual,
         [](std::vector<uint8_t>* im, const UdfImageWriter&) {
             uint8_t* e = im->data() + im->size() - kSector;
             for (uint32_t k = 0; k < 4; ++k)
                 StoreLe32(e + 176 + 152 + 4 * k, 0xFFFFFFF0);
         },
         4},
        {"table missing", UdfPartition::Virtual,
         [](std::vector<uint8_t>* im, const UdfImageWriter&) { (*im)[im->size() - kSector] = 0; },
         4},
        {"metadata file with 4 GiB of descriptors, mirror intact", UdfPartition::Metadata,
         [](std::vector<uint8_t>* im, const UdfImageWriter&) {
             StoreLe32(im->data() + 272 * kSector + 172, 0xFFFFFFFF);
         },
         3},
        {"metadata file and mirror unreadable", UdfPartition::Metadata,
         [](std::vector<uint8_t>* im, const UdfImageWriter&) {
             (*im)[272 * kSector] = 0;
             (*im)[273 * kSector] = 0;
         },
         4},
        {"metadata extent of 1 GiB", UdfPartition::Metadata,
         [](std::vector<uint8_t>* im, const UdfImageWriter&) {
             StoreLe32(im->data() + 272 * kSector + 176, 0x3FFFFFFF);
             (*im)[273 * kSector] = 0;
         },
         3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UdfImageWriter writer({.partition = c.partition});
        writer.AddFolder(0, "HVDVD_TS");
        writer.AddFile(writer.AddFolder(0, "DATA"), "f", Bytes(3000, 4));
        std::vector<uint8_t> image = writer.Build();
        c.patch(&image, writer);
        EXPECT_EQ(ProbeImage(image).kind, c.kind);
    }
}

TEST(ProbeVolume, TruncatedImagesEndCleanly) {
    UdfImageWriter writer({.partition = UdfPartition::Metadata});
    writer.AddFolder(0, "HVDVD_TS");
    for (int i = 0; i < 50; ++i)
        writer.AddFile(writer.AddFolder(0, Numbered("F", i)), "f", Bytes(3000, 4));
    std::vector<uint8_t> image = writer.Build();
    for (size_t sectors = 0; sectors * 2048 < image.size(); sectors += 7) {
        SCOPED_TRACE(sectors);
        std::vector<uint8_t> cut(image.begin(), image.begin() + sectors * 2048 + sectors % 3);
        uint8_t kind = ProbeImage(cut).kind;
        // Before the recognition area: nothing; before the file set: the UDF 2 base.
        EXPECT_EQ(kind, sectors < 26 ? 0 : sectors <= writer.EntrySector(0) ? 4 : kind);
        EXPECT_TRUE(kind == 0 || kind == 3 || kind == 4);
    }
}

} // namespace
} // namespace vostrale::testing
