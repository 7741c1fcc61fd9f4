// ProbeVolume on images made by real tools and on the raw sector view.
#include "formats/probe.h"

#include "common/bytes.h"
#include "formats/udf_reader.h"
#include "tests/probe/probe_support.h"
#include "tests/probe/udf_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

namespace vostrale::testing {
namespace {

#define REQUIRE_TOOL(tool)                                                                         \
    if (!HaveTool(tool))                                                                           \
    GTEST_SKIP() << tool << " is not available"

// The smallest DVD-Video file set genisoimage accepts: a manager with one title, whose
// region mask (byte 35) differs from byte 23, and one title set.
void WriteDvdVideoFolder(const TempFolder& tmp, const std::string& root, uint8_t regionMask) {
    constexpr uint32_t kSector = 2048;
    std::vector<uint8_t> vmg(2 * kSector, 0);
    std::memcpy(vmg.data(), "DVDVIDEO-VMG", 12);
    StoreBe32(vmg.data() + 0x0C, 3); // last sector of the manager set
    StoreBe32(vmg.data() + 0x1C, 1); // last sector of the IFO
    vmg[23] = 0x5A;
    vmg[35] = regionMask;
    StoreBe16(vmg.data() + 0x3E, 1); // title sets
    StoreBe32(vmg.data() + 0xC4, 1); // title search pointers in sector 1
    uint8_t* titles = vmg.data() + kSector;
    StoreBe16(titles, 1);
    StoreBe32(titles + 4, 19);
    titles[8 + 6] = 1; // title set 1, title 1
    titles[8 + 7] = 1;
    StoreBe32(titles + 8 + 8, 4); // title set start sector
    std::vector<uint8_t> vts(2 * kSector, 0);
    std::memcpy(vts.data(), "DVDVIDEO-VTS", 12);
    StoreBe32(vts.data() + 0x0C, 5);
    StoreBe32(vts.data() + 0x1C, 1);
    StoreBe32(vts.data() + 0xC4, 2);
    tmp.Write(root + "/VIDEO_TS/VIDEO_TS.IFO", vmg);
    tmp.Write(root + "/VIDEO_TS/VIDEO_TS.BUP", vmg);
    tmp.Write(root + "/VIDEO_TS/VTS_01_0.IFO", vts);
    tmp.Write(root + "/VIDEO_TS/VTS_01_0.BUP", vts);
    tmp.Write(root + "/VIDEO_TS/VTS_01_1.VOB", std::vector<uint8_t>(2 * kSector, 0));
    tmp.Write(root + "/AUDIO_TS/.keep", {});
}

TEST(ProbeVolumeTools, Iso9660WithAndWithoutJolietIsACd) {
    REQUIRE_TOOL("xorriso");
    TempFolder tmp;
    tmp.Write("tree/DOCS/readme.txt", {'h', 'i'});
    for (const char* extra : {"", "-J"}) {
        SCOPED_TRACE(extra);
        auto iso = tmp.Path() / "disc.iso";
        ASSERT_EQ(RunCommand("xorriso -as mkisofs -quiet " + std::string(extra) + " -o " +
                             iso.string() + " " + (tmp.Path() / "tree").string() +
                             " >/dev/null 2>&1"),
                  0);
        ProbeOutcome out = ProbeFile(iso);
        EXPECT_EQ(out.kind, 1);
        EXPECT_EQ(out.region, 0);

        uint32_t error = 0;
        platform::NativeFile file = platform::OpenForRead(iso, &error);
        uint64_t size = 0;
        platform::FileSize(file, &size);
        ImageBlockDevice device(file, size, 2048);
        CountingDevice counter(&device);
        UdfReader reader;
        EXPECT_FALSE(reader.Open(&counter));
        EXPECT_EQ(reader.RecognitionFlags(),
                  *extra ? uint32_t(kSeenIsoPrimary | kSeenIsoSupplementary) : kSeenIsoPrimary);
        // Only the recognition area is read for a disc without UDF.
        EXPECT_EQ(counter.commands, 1u);
        EXPECT_EQ(counter.sectors, 10u);
        reader.Close();
        platform::CloseFile(file);
    }
}

TEST(ProbeVolumeTools, GenisoimageUdfBridge) {
    REQUIRE_TOOL("genisoimage");
    TempFolder tmp;
    tmp.Write("plain/DATA/file.bin", std::vector<uint8_t>(3000, 7));
    WriteDvdVideoFolder(tmp, "dvd", 0xFE);
    auto plain = tmp.Path() / "plain.iso";
    auto dvd = tmp.Path() / "dvd.iso";
    ASSERT_EQ(RunCommand("genisoimage -quiet -udf -o " + plain.string() + " " +
                         (tmp.Path() / "plain").string() + " >/dev/null 2>&1"),
              0);
    ASSERT_EQ(RunCommand("genisoimage -quiet -udf -dvd-video -o " + dvd.string() + " " +
                         (tmp.Path() / "dvd").string() + " >/dev/null 2>&1"),
              0);
    ProbeOutcome out = ProbeFile(plain);
    EXPECT_EQ(out.kind, 2);
    EXPECT_EQ(out.region, 0);
    out = ProbeFile(dvd);
    EXPECT_EQ(out.kind, 2);
    EXPECT_EQ(out.region, 0xFE);

    // The same disc as raw Mode 1 sectors.
    std::ifstream in(dvd, std::ios::binary);
    std::vector<uint8_t> cooked((std::istreambuf_iterator<char>(in)), {});
    out = ProbeImage(ToRaw(cooked), 2352);
    EXPECT_EQ(out.kind, 2);
    EXPECT_EQ(out.region, 0xFE);
}

// mkudffs writes virtual allocation tables on write-once media and sparable maps on rewritable
// ones (recognised, not read); it writes no metadata partition, which the writer tests cover.
TEST(ProbeVolumeTools, MkudffsRevisionsMediaAndPartitionKinds) {
    REQUIRE_TOOL("mkudffs");
    struct Case {
        const char* media;
        const char* revision;
        const char* extra;
        uint8_t kind;
        bool mounts; // false: recognised only (sparable partitions are not read)
    } cases[] = {
        {"hd", "1.02", "", 2, true},          {"hd", "1.50", "", 2, true},
        {"hd", "2.01", "", 4, true},          {"hd", "2.01", "--noefe", 4, true},
        {"dvd", "1.02", "", 2, true},         {"dvdram", "2.01", "", 4, true},
        {"dvdrw", "2.01", "", 4, false},      {"cdrw", "2.01", "", 4, false},
        {"cdrw", "1.50", "", 2, false},       {"cdr", "2.01", "", 4, true},
        {"cdr", "2.50", "", 4, true},         {"dvdr", "2.01", "", 4, true},
        {"dvdr", "2.50", "", 4, true},        {"bdr", "2.50", "", 4, true},
        {"bdr", "2.60", "", 4, true},         {"hd", "2.01", "--ad=short", 4, true},
        {"hd", "2.01", "--ad=long", 4, true}, {"dvdr", "1.50", "", 2, false},
    };
    TempFolder tmp;
    int index = 0;
    for (const Case& c : cases) {
        std::string name = std::string(c.media) + "-" + c.revision + c.extra;
        SCOPED_TRACE(name);
        auto image = tmp.Path() / ("udf" + std::to_string(index++) + ".img");
        ASSERT_EQ(RunCommand("mkudffs --new-file -b 2048 -m " + std::string(c.media) + " -r " +
                             c.revision + " " + c.extra + " " + image.string() +
                             " 3000 >/dev/null 2>&1"),
                  0);
        EXPECT_EQ(ProbeFile(image).kind, c.kind);

        uint32_t error = 0;
        platform::NativeFile file = platform::OpenForRead(image, &error);
        uint64_t size = 0;
        platform::FileSize(file, &size);
        UdfReader reader;
        EXPECT_EQ(reader.Open(file, size, 2048), c.mounts);
        if (c.mounts) {
            ASSERT_NE(reader.Root(), nullptr);
            EXPECT_EQ(reader.Root()->firstChild, nullptr); // mkudffs leaves the root empty
            EXPECT_NE(reader.Root()->data.length, 0u);
        }
        reader.Close();
        platform::CloseFile(file);
    }
}

std::vector<uint8_t> Manager(uint32_t size, uint8_t regionMask,
                             const char* magic = "DVDVIDEO-VMG") {
    std::vector<uint8_t> ifo(size, 0);
    std::memcpy(ifo.data(), magic, Min<size_t>(12, size));
    if (size > 23)
        ifo[23] = 0x5A;
    if (size > 35)
        ifo[35] = regionMask;
    return ifo;
}

TEST(ProbeVolume, ClassifiesByRecognitionAndRootFolders) {
    using Build = void (*)(UdfImageWriter*);
    struct Case {
        const char* name;
        UdfWriterOptions options;
        Build build;
        uint8_t kind;
        uint8_t region;
    } cases[] = {
        {"UDF 2 without video folders",
         {},
         [](UdfImageWriter* w) { w->AddFolder(0, "DATA"); },
         4,
         0},
        {"UDF 1.02 without video folders",
         {.nsr03 = false},
         [](UdfImageWriter* w) { w->AddFolder(0, "DATA"); },
         2,
         0},
        {"empty UDF 2 root", {}, [](UdfImageWriter*) {}, 4, 0},
        {"DVD-Video",
         {},
         [](UdfImageWriter* w) {
             w->AddFolder(0, "AUDIO_TS");
             int v = w->AddFolder(0, "VIDEO_TS");
             w->AddFile(v, "VIDEO_TS.BUP", Manager(2048, 0x11));
             w->AddFile(v, "VIDEO_TS.IFO", Manager(2048, 0x2C));
         },
         2,
         0x2C},
        {"HD DVD", {}, [](UdfImageWriter* w) { w->AddFolder(0, "HVDVD_TS"); }, 3, 0},
        {"HVDVD_TS before VIDEO_TS",
         {},
         [](UdfImageWriter* w) {
             w->AddFolder(0, "HVDVD_TS");
             int v = w->AddFolder(0, "VIDEO_TS");
             w->AddFile(v, "VIDEO_TS.IFO", Manager(2048, 0x2C));
         },
         3,
         0},
        {"VIDEO_TS before HVDVD_TS",
         {},
         [](UdfImageWriter* w) {
             int v = w->AddFolder(0, "VIDEO_TS");
             w->AddFile(v, "VIDEO_TS.IFO", Manager(2048, 0x2C));
             w->AddFolder(0, "HVDVD_TS");
         },
         2,
         0x2C},
        {"lower-case video_ts",
         {},
         [](UdfImageWriter* w) {
             int v = w->AddFolder(0, "video_ts");
             w->AddFile(v, "VIDEO_TS.IFO", Manager(2048, 0x2C));
         },
         4,
         0},
        {"manager of 24 bytes",
         {},
         [](UdfImageWriter* w) {
             w->AddFile(w->AddFolder(0, "VIDEO_TS"), "VIDEO_TS.IFO", Manager(24, 0));
         },
         2,
         0},
        {"manager too short for the region mask",
         {},
         [](UdfImageWriter* w) {
             w->AddFile(w->AddFolder(0, "VIDEO_TS"), "VIDEO_TS.IFO", Manager(35, 0));
         },
         2,
         0},
        {"manager with a foreign header",
         {},
         [](UdfImageWriter* w) {
             w->AddFile(w->AddFolder(0, "VIDEO_TS"), "VIDEO_TS.IFO",
                        Manager(2048, 0x2C, "DVDVIDEO-VTS"));
         },
         2,
         0},
        {"VIDEO_TS.IFO that is a folder",
         {},
         [](UdfImageWriter* w) { w->AddFolder(w->AddFolder(0, "VIDEO_TS"), "VIDEO_TS.IFO"); },
         2,
         0},
        {"16-bit names",
         {},
         [](UdfImageWriter* w) {
             int v = w->AddFolder(0, "VIDEO_TS");
             w->Tweak(v).utf16 = true;
             int m = w->AddFile(v, "VIDEO_TS.IFO", Manager(2048, 0x2C));
             w->Tweak(m).utf16 = true;
         },
         2,
         0x2C},
        {"deleted HVDVD_TS ahead of VIDEO_TS",
         {},
         [](UdfImageWriter* w) {
             w->Tweak(w->AddFolder(0, "HVDVD_TS")).deleted = true;
             w->AddFile(w->AddFolder(0, "VIDEO_TS"), "VIDEO_TS.IFO", Manager(2048, 0x2C));
         },
         2,
         0x2C},
        {"bridge with ISO 9660, UDF 2",
         {.isoBridge = true},
         [](UdfImageWriter* w) { w->AddFolder(0, "DATA"); },
         4,
         0},
        {"bridge with ISO 9660, HD DVD",
         {.isoBridge = true},
         [](UdfImageWriter* w) { w->AddFolder(0, "HVDVD_TS"); },
         3,
         0},
        {"metadata partition, DVD-Video",
         {.partition = UdfPartition::Metadata},
         [](UdfImageWriter* w) {
             w->AddFile(w->AddFolder(0, "VIDEO_TS"), "VIDEO_TS.IFO", Manager(4096, 0xFD));
         },
         2,
         0xFD},
        {"virtual partition, HD DVD",
         {.partition = UdfPartition::Virtual},
         [](UdfImageWriter* w) { w->AddFolder(0, "HVDVD_TS"); },
         3,
         0},
        // NSR02 with two partition maps is refused, so the root is never seen.
        {"NSR02 with two maps",
         {.nsr03 = false, .partition = UdfPartition::Metadata},
         [](UdfImageWriter* w) { w->AddFolder(0, "HVDVD_TS"); },
         2,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UdfImageWriter writer(c.options);
        c.build(&writer);
        std::vector<uint8_t> image = writer.Build();
        ProbeOutcome out = ProbeImage(image);
        EXPECT_EQ(out.kind, c.kind);
        EXPECT_EQ(out.region, c.region);
        // A raw copy of the same disc gives the same answer.
        for (uint8_t mode : {1, 2}) {
            out = ProbeImage(ToRaw(image, mode), 2352);
            EXPECT_EQ(out.kind, c.kind) << "mode " << int(mode);
            EXPECT_EQ(out.region, c.region) << "mode " << int(mode);
        }
    }
}

TEST(ProbeVolume, UnrecognisedImagesGiveZeroAndClearTheRegion) {
    UdfImageWriter writer;
    writer.AddFolder(0, "HVDVD_TS");
    std::vector<uint8_t> udf = writer.Build();
    std::vector<uint8_t> shortImage(udf.begin(), udf.begin() + 25 * 2048);
    std::vector<uint8_t> stopped = udf;
    stopped[16 * 2048 + 6] = 0; // structure version 0: the scan ends before NSR03
    std::vector<uint8_t> noise(300 * 2048);
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = uint8_t(i * 2654435761u >> 13);
    struct Case {
        const char* name;
        std::vector<uint8_t> image;
        uint32_t bytesPerSector;
    } cases[] = {
        {"4096 zero bytes", std::vector<uint8_t>(4096, 0), 2048},
        {"empty file", {}, 2048},
        {"shorter than 26 sectors", shortImage, 2048},
        {"recognition stopped by structure version 0", stopped, 2048},
        {"noise", noise, 2048},
        {"raw sectors probed as cooked", ToRaw(udf), 2048},
        {"cooked sectors probed as raw", udf, 2352},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProbeOutcome out = ProbeImage(c.image, c.bytesPerSector);
        EXPECT_EQ(out.kind, 0);
        EXPECT_EQ(out.region, 0);
    }
}

} // namespace
} // namespace vostrale::testing
