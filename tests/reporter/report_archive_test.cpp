#include "app/zip_builder.h"
#include "reporter/report_archive.h"
#include "tests/crash_report/zip_reader.h"

#include <gtest/gtest.h>

namespace vostrale {
namespace {

std::vector<uint8_t> Report() {
    app::ZipBuilder zip;
    app::LocalTime t{2026, 12, 11, 10, 0, 0};
    std::vector<uint8_t> dump(5000, 'D'), shot(3000, 'S'), log = {'l', 'o', 'g'};
    zip.Add(L"crash.dmp", dump.data(), dump.size(), t);
    zip.Add(L"sc1.bin", shot.data(), shot.size(), t);
    zip.Add(L"sc2.bin", shot.data(), 10, t);
    zip.Add(L"log.txt", log.data(), log.size(), t);
    zip.Add(L"sy.bin", log.data(), 1, t);
    std::vector<uint8_t> out;
    zip.Build(&out);
    return out;
}

TEST(ReportArchive, ReadsAndExtractsWhatTheTrayProgramWrites) {
    std::vector<uint8_t> zip = Report();
    std::vector<ArchiveEntry> entries;
    ASSERT_TRUE(ReadArchiveDirectory(zip, &entries));
    ASSERT_EQ(entries.size(), 5u);
    std::vector<uint8_t> data;
    ASSERT_TRUE(ExtractEntry(zip, entries[0], 1 << 20, &data));
    EXPECT_EQ(data, std::vector<uint8_t>(5000, 'D'));
    EXPECT_FALSE(ExtractEntry(zip, entries[0], 4999, &data)); // larger than allowed
    ASSERT_TRUE(ExtractEntry(zip, entries[3], 100, &data));
    EXPECT_EQ(std::string(data.begin(), data.end()), "log");
}

TEST(ReportArchive, LeavesOutScreenshotsAndStaysAValidArchive) {
    std::vector<uint8_t> zip = Report(), without;
    ASSERT_TRUE(WithoutScreenshots(zip, &without));
    std::vector<test::ZipEntryRead> read;
    ASSERT_EQ(test::ReadZip(without, &read), "");
    std::vector<std::string> names;
    for (const auto& e : read)
        names.push_back(e.name);
    EXPECT_EQ(names, (std::vector<std::string>{"crash.dmp", "log.txt", "sy.bin"}));
    EXPECT_EQ(read[0].data, std::vector<uint8_t>(5000, 'D'));
    EXPECT_EQ(read[0].dosDate, ((2026 - 1980) << 9) | (12 << 5) | 11);
}

TEST(ReportArchive, RefusesDamagedArchivesWithoutReadingPastThem) {
    std::vector<uint8_t> zip = Report();
    std::vector<ArchiveEntry> entries;
    // Every cut of the archive is refused or read within its bounds.
    for (size_t cut = 0; cut < zip.size(); cut += 97) {
        std::vector<uint8_t> part(zip.begin(), zip.begin() + std::ptrdiff_t(cut));
        EXPECT_FALSE(ReadArchiveDirectory(part, &entries)) << cut;
    }
    // A flipped byte in a compressed stream fails its inflate or its CRC.
    ASSERT_TRUE(ReadArchiveDirectory(zip, &entries));
    std::vector<uint8_t> bad = zip;
    bad[entries[0].localOffset + 30 + 9 + 20] ^= 0x55;
    std::vector<uint8_t> data;
    EXPECT_FALSE(ExtractEntry(bad, entries[0], 1 << 20, &data));
    // A directory offset pointing past the end.
    bad = zip;
    bad[bad.size() - 6] ^= 0x40;
    EXPECT_FALSE(ReadArchiveDirectory(bad, &entries));
}

TEST(ReportArchive, DetailFileNames) {
    struct Case {
        const char* entry;
        const char* file;
        bool scrambled;
    } cases[] = {
        {"sc1.bin", "screen1.jpg", true}, {"sc12.bin", "screen12.jpg", true},
        {"sy.bin", "system.xml", true},   {"crash.dmp", "crash.dmp", false},
        {"disc.cue", "disc.cue", false},  {"../evil.txt", "", false},
        {"a\\b", "", false},              {"..", "", false},
        {"sc.bin", "sc.bin", false},      {"C:x", "", false},
    };
    for (const Case& c : cases) {
        bool scrambled = true;
        EXPECT_EQ(DetailFileName(c.entry, &scrambled), c.file) << c.entry;
        EXPECT_EQ(scrambled, c.scrambled) << c.entry;
    }
}

} // namespace
} // namespace vostrale
