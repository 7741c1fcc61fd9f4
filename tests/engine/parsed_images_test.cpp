// Real sample images through the real parsers, mounted through a control buffer: the drive's
// TOC must agree with libcdio's reading of the same image, and the sectors with the files.
#include "formats/image_parsers.h"
#include "formats/layout.h"
#include "formats/trace.h"
#include "tests/engine/engine_fixture.h"

#include <regex>
#include <sstream>

namespace vostrale::test {
namespace {

const std::filesystem::path kCd = std::filesystem::path(VOSTRALE_SHARED_DIR) / "testdata" / "cd";

struct ExpectedTrack {
    uint32_t number;
    uint32_t lba;
    bool audio;
};

// Track list and lead-out from a cd-info report (libcdio's reading of the image).
bool ReadCdInfo(const std::filesystem::path& path, std::vector<ExpectedTrack>* tracks,
                uint32_t* leadOut) {
    std::ifstream in(path);
    std::string line;
    std::regex track(R"(^\s*(\d+): \d\d:\d\d:\d\d\s+(\d+)\s+(\w+))");
    bool any = false;
    while (std::getline(in, line)) {
        std::smatch m;
        if (!std::regex_search(line, m, track))
            continue;
        uint32_t number = uint32_t(std::stoul(m[1]));
        uint32_t lsn = uint32_t(std::stoul(m[2]));
        if (number == 170) {
            *leadOut = lsn;
            any = true;
        } else {
            tracks->push_back({number, lsn, m[3] == "audio"});
        }
    }
    return any && !tracks->empty();
}

class ParsedImageTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        SetParserTraceStream(nullptr);
        if (!std::filesystem::exists(kCd))
            GTEST_SKIP() << "no samples";
    }
    // Parses and mounts on drive 0; the layout is released right after, as the tray does.
    // Images the parsers refuse (a sample naming a file that is not there) are skipped.
    bool MountImage(const std::filesystem::path& path, MountRecord* kept = nullptr,
                    bool* parsed = nullptr) {
        MountRecord record;
        PresetMountRecord(&record);
        std::wstring message;
        ParserIo io;
        io.message = &message;
        bool ok = OpenImage(&record, path, io) == kParseOk;
        if (parsed)
            *parsed = ok;
        if (!ok)
            return false;
        if (kept)
            *kept = record;
        ok = Mount(0, record);
        ReleaseLayout(&record);
        host::AdvanceClock(4000);
        Send(A(), 0, Bytes(6, 0), 0);
        return ok;
    }
};

TEST_F(ParsedImageTest, TocAgreesWithLibcdio) {
    int checked = 0;
    // (cdda_4_5.cue is left out: its tracks are numbered 4 and 5, the CUE builder counts from 1.)
    for (const char* name : {"cdda.cue", "isofs-m1.cue", "p1.cue", "p1.nrg", "videocd.nrg"}) {
        std::filesystem::path image = kCd / name;
        std::vector<ExpectedTrack> tracks;
        uint32_t leadOut = 0;
        if (!std::filesystem::exists(image) ||
            !ReadCdInfo(kCd / (std::string(name) + ".cd-info.txt"), &tracks, &leadOut))
            continue;
        bool parsed = false;
        bool mounted = MountImage(image, nullptr, &parsed);
        if (!parsed)
            continue;
        ASSERT_TRUE(mounted) << name;
        Reply capacity = Send(A(), 0, Bytes{0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8);
        ASSERT_TRUE(capacity.Good()) << name;
        EXPECT_EQ(LoadBe32(capacity.data.data()) + 1, leadOut) << name;

        Reply toc = Send(A(), 0, Bytes{0x43, 0, 0, 0, 0, 0, 0, 0x10, 0, 0}, 4096);
        ASSERT_TRUE(toc.Good()) << name;
        size_t count = (toc.data.size() - 4) / 8;
        ASSERT_EQ(count, tracks.size() + 1) << name;
        for (size_t i = 0; i < tracks.size(); ++i) {
            const uint8_t* d = toc.data.data() + 4 + 8 * i;
            EXPECT_EQ(d[2], tracks[i].number) << name << " " << i;
            EXPECT_EQ(LoadBe32(d + 4), tracks[i].lba) << name << " track " << tracks[i].number;
            EXPECT_EQ((d[1] & 0x04) == 0, tracks[i].audio) << name << " track " << tracks[i].number;
        }
        EXPECT_EQ(LoadBe32(toc.data.data() + 4 + 8 * tracks.size() + 4), leadOut) << name;
        ++checked;
    }
    EXPECT_GE(checked, 3);
}

// Raw BIN files behind CUE sheets: every sector read raw is the sector in the file; user data
// of the data track is what READ(10) returns.
TEST_F(ParsedImageTest, RawSectorsOfCueBinsAreTheFile) {
    for (const char* name : {"cdda.cue", "isofs-m1.cue"}) {
        std::filesystem::path image = kCd / name;
        std::filesystem::path bin =
            kCd / (std::string(name).substr(0, std::string(name).size() - 4) + ".bin");
        if (!std::filesystem::exists(image) || !std::filesystem::exists(bin))
            continue;
        std::ifstream in(bin, std::ios::binary);
        Bytes file((std::istreambuf_iterator<char>(in)), {});
        ASSERT_TRUE(MountImage(image)) << name;
        uint32_t sectors = uint32_t(file.size() / 2352);
        Bytes disc;
        for (uint32_t lba = 0; lba < sectors; lba += 20) {
            uint32_t n = std::min(20u, sectors - lba);
            Reply r = Send(A(), 0, ReadCd(lba, n, 0xF8), n * 2352);
            ASSERT_TRUE(r.Good()) << name << " " << lba;
            disc.insert(disc.end(), r.data.begin(), r.data.end());
        }
        EXPECT_TRUE(disc == Bytes(file.begin(), file.begin() + long(disc.size()))) << name;
        if (std::string(name) == "isofs-m1.cue") {
            Reply pvd = Send(A(), 0, Read10(16, 1), 2048);
            ASSERT_TRUE(pvd.Good());
            EXPECT_EQ(pvd.data, Slice(file, 16 * 2352 + 16, 2048)); // Mode 1: user data at 16
        }
    }
}

TEST_F(ParsedImageTest, PlainIsosReadBackAndCdTextArrives) {
    for (const char* name : {"copying.iso", "joliet.iso", "udf102.iso"}) {
        std::filesystem::path image = kCd / name;
        if (!std::filesystem::exists(image))
            continue;
        std::ifstream in(image, std::ios::binary);
        Bytes file((std::istreambuf_iterator<char>(in)), {});
        if (!MountImage(image))
            continue; // an image the probe does not recognise
        uint32_t sectors = uint32_t(file.size() / 2048);
        Reply all = Send(A(), 0, Read12(0, sectors), sectors * 2048);
        ASSERT_TRUE(all.Good()) << name;
        EXPECT_TRUE(all.data == Bytes(file.begin(), file.begin() + long(sectors) * 2048)) << name;
    }
    std::filesystem::path nrg = kCd / "p1.nrg";
    if (std::filesystem::exists(nrg)) {
        ASSERT_TRUE(MountImage(nrg));
        Reply text = Send(A(), 0, Bytes{0x43, 0, 5, 0, 0, 0, 0, 0x10, 0, 0}, 4096);
        ASSERT_TRUE(text.Good());
        std::string bytes(text.data.begin(), text.data.end());
        EXPECT_NE(bytes.find("Join us now"), std::string::npos);
    }
}

} // namespace
} // namespace vostrale::test
