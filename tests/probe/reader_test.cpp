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

} // namespace
} // namespace vostrale::testing
