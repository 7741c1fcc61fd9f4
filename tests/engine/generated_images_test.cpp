// Images of every format written at test time, parsed by the real parsers, mounted through a
// control buffer and read through the SCSI door: every track's sectors come back where the
// description put them.
#include "formats/image_parsers.h"
#include "formats/layout.h"
#include "formats/trace.h"
#include "tests/0support/image_writers.h"
#include "tests/engine/engine_fixture.h"

#include <functional>

namespace vostrale::test {
namespace {

namespace w = vostrale::testing;

w::DiscSpec Disc(std::vector<std::vector<w::TrackSpec>> sessions) {
    w::DiscSpec d;
    for (auto& tracks : sessions)
        d.sessions.push_back({tracks});
    d.title = "Album";
    return d;
}

struct Case {
    const char* name;
    const char* file;
    w::DiscSpec disc;
    std::function<bool(const std::filesystem::path&, const w::DiscSpec&)> write;
    bool checkToc;
};

class GeneratedImageTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        SetParserTraceStream(nullptr);
    }
    bool MountImage(const std::filesystem::path& path, std::string* message) {
        return MountParsedImage(path, message);
    }
    void CheckTrack(const char* name, const w::PlacedTrack& t) {
        std::vector<int32_t> lbas = {t.index1, t.index1 + 1, t.end - 1};
        for (int32_t lba : lbas) {
            switch (t.spec.mode) {
            case w::Mode::Mode1:
            case w::Mode::Mode2Form1: {
                Reply r = Send(A(), 0, Read10(uint32_t(lba), 1), 2048);
                ASSERT_TRUE(r.Good())
                    << name << " lba " << lba << std::hex << " " << r.SenseTriple();
                Bytes want(2048);
                for (uint32_t i = 0; i < 2048; ++i)
                    want[i] = w::PatternByte(lba, i);
                EXPECT_EQ(r.data, want) << name << " lba " << lba;
                Reply raw = Send(A(), 0, ReadCd(uint32_t(lba), 1, 0xF0), 2352); // sync..user data
                ASSERT_TRUE(raw.Good()) << name << " lba " << lba;
                Bytes stored = w::RawSector(t.spec.mode, lba);
                size_t head = t.spec.mode == w::Mode::Mode1 ? 16 + 2048 : 24 + 2048;
                ASSERT_EQ(raw.data.size(), head) << name;
                EXPECT_EQ(raw.data, Slice(stored, 0, head)) << name << " lba " << lba;
                break;
            }
            case w::Mode::Mode2Form2: {
                Reply raw =
                    Send(A(), 0, ReadCd(uint32_t(lba), 1, 0x10, 0, kSectorMode2Form2), 2352);
                ASSERT_TRUE(raw.Good())
                    << name << " lba " << lba << std::hex << " " << raw.SenseTriple();
                EXPECT_EQ(Slice(raw.data, 0, 2048), Slice(w::RawSector(t.spec.mode, lba), 24, 2048))
                    << name << " lba " << lba;
                break;
            }
            case w::Mode::Audio: {
                Reply raw = Send(A(), 0, ReadCd(uint32_t(lba), 1, 0xF0, 0, kSectorCdda), 2352);
                ASSERT_TRUE(raw.Good())
                    << name << " lba " << lba << std::hex << " " << raw.SenseTriple();
                EXPECT_EQ(raw.data, w::RawSector(w::Mode::Audio, lba)) << name << " lba " << lba;
                break;
            }
            }
        }
        if (t.spec.pregap) {
            // Pregaps read, stored or not (those no file stores read as zeros).
            Reply gap = Send(A(), 0, ReadCd(uint32_t(t.index0), 1, 0xF8), 2352);
            EXPECT_TRUE(gap.Good()) << name << " pregap";
        }
    }
};

TEST_F(GeneratedImageTest, EveryFormatReadsBackItsTracks) {
    using M = w::Mode;
    std::vector<Case> cases = {
        {"cue raw mixed", "a.cue",
         Disc({{w::Track(M::Mode1, 40), w::Track(M::Audio, 30, 20), w::Track(M::Audio, 25)}}),
         [](auto& p, auto& d) {
             w::CueOptions o;
             o.disc = d;
             return w::WriteCueImage(p, o);
         },
         true},
        {"cue 2336", "b.cue", Disc({{w::Track(M::Mode2Form1, 30), w::Track(M::Mode2Form2, 30)}}),
         [](auto& p, auto& d) {
             w::CueOptions o;
             o.disc = d;
             o.fileName = "b.bin"; // the drive still holds the first image's file
             o.dataStride = 2336;
             return w::WriteCueImage(p, o);
         },
         true},
        {"cue wav with extra chunks", "c.cue",
         Disc({{w::Track(M::Audio, 40), w::Track(M::Audio, 30)}}),
         [](auto& p, auto& d) {
             w::CueOptions o;
             o.disc = d;
             o.wave = true;
             o.fileName = "c.wav";
             o.wavExtensible = true;
             o.wavExtraChunks = true;
             return w::WriteCueImage(p, o);
         },
         true},
        {"nrg dao raw with sub-channel", "d.nrg",
         Disc({{w::Track(M::Mode1, 30), w::Track(M::Audio, 30)}}),
         [](auto& p, auto& d) {
             w::NrgOptions o;
             o.disc = d;
             o.rawData = true;
             o.subchannel = true;
             return w::WriteNrgImage(p, o);
         },
         true},
        {"nrg two sessions", "f.nrg",
         Disc({{w::Track(M::Audio, 30)}, {w::Track(M::Mode2Form1, 30)}}),
         [](auto& p, auto& d) {
             w::NrgOptions o;
             o.disc = d;
             o.rawData = true;
             return w::WriteNrgImage(p, o);
         },
         true},
        {"mds with sub-channel", "g.mds",
         Disc({{w::Track(M::Mode1, 30), w::Track(M::Audio, 30, 10)}}),
         [](auto& p, auto& d) {
             w::MdsOptions o;
             o.disc = d;
             o.subchannel = true;
             return w::WriteMdsImage(p, o);
         },
         true},
        {"mds two sessions", "h.mds", Disc({{w::Track(M::Audio, 30)}, {w::Track(M::Mode1, 30)}}),
         [](auto& p, auto& d) {
             w::MdsOptions o;
             o.disc = d;
             return w::WriteMdsImage(p, o);
         },
         true},
        {"ccd two sessions", "i.ccd", Disc({{w::Track(M::Audio, 30)}, {w::Track(M::Mode1, 30)}}),
         [](auto& p, auto& d) {
             w::CcdOptions o;
             o.disc = d;
             return w::WriteCcdImage(p, o);
         },
         true},
    };
    for (const Case& c : cases) {
        std::filesystem::path path = m_dir.Path(c.file);
        ASSERT_TRUE(c.write(path, c.disc)) << c.name;
        std::string message;
        ASSERT_TRUE(MountImage(path, &message)) << c.name << ": " << message;
        w::Placement placed = w::Place(c.disc);
        for (const w::PlacedTrack& t : placed.tracks)
            CheckTrack(c.name, t);
        if (!c.checkToc)
            continue;
        Reply toc = Send(A(), 0, Bytes{0x43, 0, 0, 0, 0, 0, 0, 0x10, 0, 0}, 4096);
        ASSERT_TRUE(toc.Good()) << c.name;
        ASSERT_EQ((toc.data.size() - 4) / 8, placed.tracks.size() + 1) << c.name;
        for (size_t i = 0; i < placed.tracks.size(); ++i) {
            const uint8_t* d = toc.data.data() + 4 + 8 * i;
            EXPECT_EQ(LoadBe32(d + 4), uint32_t(placed.tracks[i].index1))
                << c.name << " track " << i + 1;
        }
    }
}

TEST_F(GeneratedImageTest, IszOfEveryChunkKind) {
    w::IszOptions o;
    o.sectors = 100;
    o.chunkSize = 16384;
    o.kinds = {w::IszChunk::Zlib, w::IszChunk::Stored, w::IszChunk::Zero, w::IszChunk::Bzip2};
    std::vector<uint8_t> plain;
    std::filesystem::path path = m_dir.Path("a.isz");
    ASSERT_TRUE(w::WriteIszImage(path, o, &plain));
    std::string message;
    ASSERT_TRUE(MountImage(path, &message)) << message;
    Reply all = Send(A(), 0, Read10(0, 100), 100 * 2048);
    ASSERT_TRUE(all.Good()) << std::hex << all.SenseTriple();
    EXPECT_TRUE(all.data == plain);
    o.noTable = true;
    o.kinds = {w::IszChunk::Stored};
    path = m_dir.Path("b.isz"); // a.isz stays open in the drive
    ASSERT_TRUE(w::WriteIszImage(path, o, &plain));
    ASSERT_TRUE(MountImage(path, &message)) << message;
    all = Send(A(), 0, Read10(0, 100), 100 * 2048);
    ASSERT_TRUE(all.Good());
    EXPECT_TRUE(all.data == plain);
}

TEST_F(GeneratedImageTest, CcdSubchannelOfTheSecondSession) {
    w::CcdOptions o;
    o.disc = Disc({{w::Track(w::Mode::Audio, 20)}, {w::Track(w::Mode::Mode1, 20)}});
    std::filesystem::path path = m_dir.Path("s.ccd");
    ASSERT_TRUE(w::WriteCcdImage(path, o));
    std::string message;
    ASSERT_TRUE(MountImage(path, &message)) << message;
    std::ifstream in(m_dir.Path("s.sub"), std::ios::binary);
    Bytes sub((std::istreambuf_iterator<char>(in)), {});
    // The writer always makes the sub-channel file here: a missing one is a fault, not a skip.
    ASSERT_FALSE(sub.empty()) << "the writer made no .sub";
    w::Placement placed = w::Place(o.disc);
    uint32_t second = uint32_t(placed.tracks[1].index1);
    // Its first sector is the 21st of the .img (20 audio sectors before it).
    Reply q = Send(A(), 0, ReadCd(second, 1, 0xF8, 2), 2368);
    ASSERT_TRUE(q.Good());
    uint32_t index = uint32_t(placed.tracks[0].end - placed.tracks[0].index0);
    EXPECT_EQ(Slice(q.data, 2352, 12), Slice(sub, index * 96 + 12, 12));
}

} // namespace
} // namespace vostrale::test
