// The real samples in the shared test data, read in place.
#include "formats/activity_log.h"
#include "formats_fixture.h"

#include <fstream>
#include <regex>
#include <sstream>

namespace vostrale {
namespace {

struct ListedTrack {
    int32_t lsn;
    bool audio;
};

// Track list of a stored cd-info report: "  N: MM:SS:FF  LSN type", lead-out as track 170.
bool ReadCdInfo(const std::filesystem::path& path, std::vector<ListedTrack>* tracks,
                int32_t* leadOut) {
    std::ifstream in(path);
    if (!in)
        return false;
    std::string line;
    std::regex row(R"(^\s*(\d+): \d\d:\d\d:\d\d\s+(\d+) (\w+))");
    while (std::getline(in, line)) {
        std::smatch m;
        if (!std::regex_search(line, m, row))
            continue;
        if (m[1] == "170")
            *leadOut = std::stoi(m[2]);
        else
            tracks->push_back({std::stoi(m[2]), m[3] == "audio"});
    }
    return !tracks->empty();
}

// Track starts, kinds and lead-out as the layout presents them: from the full TOC when there is
// one, else from the track table.
void LayoutTracks(const Opened& o, std::vector<ListedTrack>* tracks, int32_t* leadOut) {
    if (o.TocCount()) {
        for (uint32_t i = 0; i < o.TocCount(); ++i) {
            const uint8_t* d = o.Toc(i);
            const int32_t lba = MsfToLba(d[8], d[9], d[10]);
            if (d[3] >= 1 && d[3] <= 99)
                tracks->push_back({lba, (d[1] & 0x04) == 0});
            else if (d[3] == 0xA2)
                *leadOut = lba;
        }
        return;
    }
    for (uint32_t i = 0; i < o.TrackCount(); ++i)
        tracks->push_back(
            {int32_t(V(o.Track(i).firstLba)), V(o.Track(i).sectorType) == kSectorCdda});
    *leadOut = int32_t(V(o.record.totalSectors));
}

#ifndef _WIN32
TEST(Samples, CueAndNrgLayoutsAgreeWithCdInfo) {
    for (const char* name : {"cdda.cue", "cdda_4_5.cue", "isofs-m1.cue", "p1.nrg", "videocd.nrg"}) {
        std::vector<ListedTrack> expected, actual;
        int32_t expectedLeadOut = -1, actualLeadOut = -2;
        const auto path = SampleDir() / name;
        if (!std::filesystem::exists(path))
            GTEST_SKIP() << "shared samples not present";
        ASSERT_TRUE(ReadCdInfo(SampleDir() / (std::string(name) + ".cd-info.txt"), &expected,
                               &expectedLeadOut));
        Opened o;
        OpenWith(&o, path);
        ASSERT_EQ(o.result, kParseOk) << name << ": " << o.message;
        LayoutTracks(o, &actual, &actualLeadOut);
        EXPECT_EQ(actualLeadOut, expectedLeadOut) << name;
        ASSERT_EQ(actual.size(), expected.size()) << name;
        for (size_t i = 0; i < actual.size(); ++i) {
            EXPECT_EQ(actual[i].lsn, expected[i].lsn) << name << " track " << i + 1;
            EXPECT_EQ(actual[i].audio, expected[i].audio) << name << " track " << i + 1;
        }
    }
}
#endif

TEST(Samples, MalformedCueSheetsAreRefused) {
    const struct {
        const char* name;
        std::string message;
    } cases[] = {
        {"bad-cat1.cue", "Failed to parse .cue file"},
        {"bad-cat2.cue", "Failed to parse .cue file"},
        {"bad-cat3.cue", "Failed to parse .cue file"},
        {"bad-msf-1.cue", "Failed to parse .cue file"},
        {"bad-msf-2.cue", "Failed to parse .cue file"},
        {"bad-msf-3.cue", "Failed to parse .cue file"},
        {"bad-mode1.cue", ""}, // first track of unknown mode: refused without a message
        {"p1.cue", "Open file: " + (SampleDir() / "BOING.BIN").string() + " failure, ErrorCode=2"},
    };
    for (const auto& c : cases) {
        if (!std::filesystem::exists(SampleDir() / c.name))
            GTEST_SKIP() << "shared samples not present";
        Opened o;
        OpenWith(&o, SampleDir() / c.name);
        EXPECT_EQ(o.result, kParseFailed) << c.name;
#ifndef _WIN32
        EXPECT_EQ(o.message, c.message) << c.name;
#endif
    }
}

TEST(Samples, VersionTwoMdsIsRefused) {
    auto dir = testing::MakeTempFolder("vostrale-mds-log");
    for (const char* name : {"test.mds", "test_compress.mds"}) {
        const auto path = SampleDir() / "mds" / name;
        if (!std::filesystem::exists(path))
            GTEST_SKIP() << "shared samples not present";
        ActivityLog log;
        ASSERT_TRUE(log.Open(dir / "log.txt"));
        MountRecord record{};
        std::wstring message;
        ParserIo io;
        io.log = &log;
        io.message = &message;
        SetParserTraceStream(nullptr);
        EXPECT_EQ(OpenImage(&record, path, io), kParseFailed);
        log.Close();
        EXPECT_EQ(message, L"Failed to parse .mds");
        std::ifstream in(dir / "log.txt");
        std::stringstream text;
        text << in.rdbuf();
        EXPECT_NE(text.str().find(" E Unsupported MDS version: 2.1\n"), std::string::npos)
            << text.str();
        in.close(); // Windows does not remove an open file
        std::filesystem::remove(dir / "log.txt");
    }
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace vostrale
