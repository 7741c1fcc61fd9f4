#include "app/zip_builder.h"
#include "tests/crash_report/zip_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>

namespace vostrale::app {
namespace {

const LocalTime kWhen{2026, 12, 11, 13, 45, 31};

std::vector<uint8_t> Bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(i % 7 == 0 ? rng() : i & 0x0F); // partly compressible
    return b;
}

TEST(ZipBuilder, EmptyArchiveIsTheEndRecordAlone) {
    ZipBuilder zip;
    std::vector<uint8_t> out;
    ASSERT_TRUE(zip.Build(&out));
    EXPECT_EQ(out, (std::vector<uint8_t>{0x50, 0x4B, 5, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                         0, 0, 0, 0, 0}));
}

TEST(ZipBuilder, EntriesReadBackWithNamesFlagsAndOffsets) {
    ZipBuilder zip;
    std::vector<uint8_t> big = Bytes(300000, 1), incompressible(5000);
    std::mt19937 rng(9);
    for (uint8_t& b : incompressible)
        b = uint8_t(rng());
    ASSERT_TRUE(zip.Add(L"crash.dmp", big.data(), big.size(), kWhen));
    ASSERT_TRUE(zip.Add(L"sub\\d\x00E9j\x00E0.iso", incompressible.data(), incompressible.size(), kWhen));
    ASSERT_TRUE(zip.Add(L"empty.txt", nullptr, 0, kWhen));
    std::vector<uint8_t> out;
    ASSERT_TRUE(zip.Build(&out));
    std::vector<test::ZipEntryRead> entries;
    ASSERT_EQ(test::ReadZip(out, &entries), "");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].name, "crash.dmp");
    EXPECT_EQ(entries[0].data, big);
    EXPECT_EQ(entries[1].name, "sub/d\xC3\xA9j\xC3\xA0.iso");
    EXPECT_EQ(entries[1].data, incompressible);
    EXPECT_EQ(entries[2].data.size(), 0u);
    uint64_t local = 0;
    for (const auto& e : entries) {
        EXPECT_EQ(e.flags, 0x0800);
        EXPECT_EQ(e.method, 8);
        EXPECT_EQ(e.localOffset, local);
        EXPECT_EQ(e.dosDate, ((2026 - 1980) << 9) | (12 << 5) | 11);
        EXPECT_EQ(e.dosTime, (13 << 11) | (45 << 5) | 15);
        local += 30 + e.name.size() + e.compressedSize;
    }
    // The directory starts where the local parts end.
    EXPECT_EQ(test::Le(out, out.size() - 22 + 16, 4), local);
}

TEST(ZipBuilder, TimeStampsOutsideTheDosRangeBecomeTheEpoch) {
    struct Case {
        LocalTime t;
        uint16_t date, time;
    } cases[] = {
        {{1980, 1, 1, 0, 0, 0}, 0x21, 0},
        {{2107, 12, 31, 23, 59, 59}, uint16_t((127 << 9) | (12 << 5) | 31), uint16_t((23 << 11) | (59 << 5) | 29)},
        {{1979, 12, 31, 23, 59, 59}, 0x21, 0},
        {{2108, 1, 1, 0, 0, 0}, 0x21, 0},
        {{2020, 13, 1, 0, 0, 0}, 0x21, 0},
    };
    for (const Case& c : cases) {
        uint16_t d = 0, t = 0;
        DosDateTime(c.t, &d, &t);
        EXPECT_EQ(d, c.date) << c.t.year;
        EXPECT_EQ(t, c.time) << c.t.year;
    }
}

TEST(ZipBuilder, RefusesNamesTheFieldsCannotHold) {
    ZipBuilder zip;
    uint8_t b = 1;
    EXPECT_FALSE(zip.Add(L"", &b, 1, kWhen));
    EXPECT_FALSE(zip.Add(std::wstring(0x10000, L'a'), &b, 1, kWhen));
    EXPECT_TRUE(zip.Add(std::wstring(0xFFFF, L'a'), &b, 1, kWhen));
    EXPECT_EQ(zip.Count(), 1u);
}

#ifndef _WIN32
// Independent readers: Python's zipfile and unzip -t.
TEST(ZipBuilder, PythonAndUnzipAcceptTheArchive) {
    if (std::system("command -v python3 > /dev/null 2>&1 && command -v unzip > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "python3 or unzip missing";
    ZipBuilder zip;
    std::vector<uint8_t> a = Bytes(70000, 2);
    ASSERT_TRUE(zip.Add(L"log.txt", a.data(), a.size(), kWhen));
    ASSERT_TRUE(zip.Add(L"\x00FC" L"ber.cue", a.data(), 10, kWhen));
    std::vector<uint8_t> out;
    ASSERT_TRUE(zip.Build(&out));
    std::string path = testing::TempDir() + "zip_builder_test.zip";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(out.data()), out.size());
    std::string py = "python3 -c \"import sys,zipfile; z=zipfile.ZipFile(sys.argv[1]); "
                     "assert z.testzip() is None; "
                     "assert [i.filename for i in z.infolist()]==['log.txt','\\u00fcber.cue'], z.namelist(); "
                     "assert z.getinfo('log.txt').date_time==(2026,12,11,13,45,30)\" " + path;
    EXPECT_EQ(std::system(py.c_str()), 0);
    EXPECT_EQ(std::system(("unzip -tq " + path + " > /dev/null").c_str()), 0);
    std::remove(path.c_str());
}
#endif

} // namespace
} // namespace vostrale::app
