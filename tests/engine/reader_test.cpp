// READ(10)/(12) and READ CD through the SCSI door over images with mixed stored layouts, CCD
// sub-channel and scrambling, WAV audio and file lists.
#include "codecs/sector.h"
#include "common/disc.h"
#include "tests/engine/engine_fixture.h"

namespace vostrale::test {
namespace {

Bytes RawSector(uint32_t lba, uint8_t type, const Bytes& user) {
    Bytes s(kCdSectorSize, 0);
    EXPECT_TRUE(BuildRawSector(s.data(), int32_t(lba), type, user.data()));
    return s;
}

Bytes UserOf(uint32_t lba, uint32_t size) {
    Bytes b(size);
    for (uint32_t i = 0; i < size; ++i)
        b[i] = PatternByte(lba, i);
    return b;
}

void Append(Bytes* to, const Bytes& from) {
    to->insert(to->end(), from.begin(), from.end());
}

// Layout of the mixed image, one run per stored form.
enum : uint32_t {
    kMode1User = 0,     // 0..9   Mode 1, 2048 bytes stored
    kZeroRun = 10,      // 10..14 not stored, Mode 1
    kMode1Raw = 15,     // 15..19 Mode 1, whole raw sectors, all parts marked
    kForm1Sub = 20,     // 20..24 Form 1, sub-header + user + EDC/ECC (2336)
    kForm2Sub = 25,     // 25..29 Form 2, 2336
    kAudio = 30,        // 30..34 CD-DA 2352
    kMode1WithSub = 35, // 35..39 Mode 1 raw + 96 sub-channel bytes (2448)
    kGapStart = 40,     // 40..41 in no run
    kTruncated = 42,    // 42..44 run past the end of the file
    kMixedTotal = 45,
};

class ReaderTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        Bytes file;
        uint64_t offMode1 = file.size();
        for (uint32_t lba = kMode1User; lba < kMode1User + 10; ++lba)
            Append(&file, UserOf(lba, 2048));
        uint64_t offRaw = file.size();
        for (uint32_t lba = kMode1Raw; lba < kMode1Raw + 5; ++lba)
            Append(&file, RawSector(lba, kSectorMode1, UserOf(lba, 2048)));
        uint64_t offForm1 = file.size();
        for (uint32_t lba = kForm1Sub; lba < kForm1Sub + 5; ++lba)
            Append(&file, Slice(RawSector(lba, kSectorMode2Form1, UserOf(lba, 2048)), 16, 2336));
        uint64_t offForm2 = file.size();
        for (uint32_t lba = kForm2Sub; lba < kForm2Sub + 5; ++lba)
            Append(&file, Slice(RawSector(lba, kSectorMode2Form2, UserOf(lba, 2324)), 16, 2336));
        uint64_t offAudio = file.size();
        for (uint32_t lba = kAudio; lba < kAudio + 5; ++lba)
            Append(&file, UserOf(lba, 2352));
        uint64_t offSub = file.size();
        for (uint32_t lba = kMode1WithSub; lba < kMode1WithSub + 5; ++lba) {
            Append(&file, RawSector(lba, kSectorMode1, UserOf(lba, 2048)));
            Append(&file, UserOf(lba + 1000, 96));
        }
        uint64_t offTruncated = file.size();
        Append(&file, UserOf(kTruncated, 2048)); // only one of three sectors
        m_table = TrackTable({
            Span(kSectorMode1, 0, kMode1User, kMode1User + 10, 2048, offMode1),
            Span(kSectorMode1, 0, kZeroRun, kZeroRun + 5, 0, 0),
            Span(kSectorMode1, 0x0F, kMode1Raw, kMode1Raw + 5, 2352, offRaw),
            Span(kSectorMode2Form1, 0x0C, kForm1Sub, kForm1Sub + 5, 2336, offForm1),
            Span(kSectorMode2Form2, 0x0C, kForm2Sub, kForm2Sub + 5, 2336, offForm2),
            Span(kSectorCdda, 0, kAudio, kAudio + 5, 2352, offAudio),
            Span(kSectorMode1, 0x0F, kMode1WithSub, kMode1WithSub + 5, 2448, offSub),
            Span(kSectorUnknown, 0, kGapStart, kGapStart, 0, 0), // empty: dropped at mount
            Span(kSectorMode1, 0, kTruncated, kTruncated + 3, 2048, offTruncated),
        });
        m_file = std::make_unique<OpenFile>(m_dir.Write("mixed.bin", file));
    }
    void MountMixed() {
        MountRecord r = BaseRecord(m_file->Handle(), kMediumCd, kReaderNrg, kMixedTotal, 2352);
        r.trackTable = Ptr(m_table.data());
        ASSERT_TRUE(Mount(0, r));
        SettleDrive();
    }
    Reply Cmd(const Bytes& cdb, uint32_t length) { return Send(A(), 0, cdb, length); }

    // The raw sector a reader must produce for `lba` of the mixed image.
    static Bytes ExpectedRaw(uint32_t lba) {
        if (lba >= kZeroRun && lba < kZeroRun + 5)
            return RawSector(lba, kSectorMode1, Bytes(2048, 0));
        if (lba >= kForm1Sub && lba < kForm1Sub + 5)
            return RawSector(lba, kSectorMode2Form1, UserOf(lba, 2048));
        if (lba >= kForm2Sub && lba < kForm2Sub + 5)
            return RawSector(lba, kSectorMode2Form2, UserOf(lba, 2324));
        if (lba >= kAudio && lba < kAudio + 5)
            return UserOf(lba, 2352);
        return RawSector(lba, kSectorMode1, UserOf(lba, 2048));
    }

    Bytes m_table;
    std::unique_ptr<OpenFile> m_file;
};

TEST_F(ReaderTest, UserDataAcrossRuns) {
    MountMixed();
    struct Case {
        const char* what;
        uint32_t lba, count;
        uint32_t sense;     // 0: success
        uint32_t failedLba; // INFORMATION for read errors
        uint32_t goodBytes; // data delivered
    } cases[] = {
        {"2048 run", 0, 10, 0, 0, 10 * 2048},
        {"into the zero run", 8, 4, 0, 0, 4 * 2048},
        {"zero run into raw Mode 1 (user data at 16)", 13, 4, 0, 0, 4 * 2048},
        {"Form 1 with sub-header", kForm1Sub, 5, 0, 0, 5 * 2048},
        {"Mode 1 raw with sub-channel", kMode1WithSub, 5, 0, 0, 5 * 2048},
        {"Form 2 is no user-data track", kForm2Sub, 1, kSenseIllegalMode, 0, 0},
        {"audio", kAudio + 1, 1, kSenseIllegalMode, 0, 0},
        {"Form 1 into Form 2", kForm1Sub + 3, 4, kSenseIllegalMode, 0, 2 * 2048},
        {"address in no run", kMode1WithSub + 3, 4, kSenseReadError, kGapStart, 2 * 2048},
        {"file ends inside the run", kTruncated, 3, kSenseReadError, kTruncated + 1, 2048},
        {"past the last sector", kMixedTotal - 1, 2, kSenseOutOfRange, 0, 0},
        {"at the total", kMixedTotal, 1, kSenseOutOfRange, 0, 0},
    };
    for (const Case& c : cases) {
        for (bool twelve : {false, true}) {
            Bytes cdb = twelve ? Read12(c.lba, c.count) : Read10(c.lba, uint16_t(c.count));
            Reply r = Cmd(cdb, c.count * 2048);
            EXPECT_EQ(r.SenseTriple(), c.sense) << c.what;
            EXPECT_EQ(r.data.size(), c.goodBytes) << c.what;
            if (c.sense == kSenseReadError) {
                ASSERT_EQ(r.outcome.sense.size(), 18u);
                EXPECT_EQ(r.outcome.sense[0], 0xF0) << c.what; // INFORMATION valid
                EXPECT_EQ(LoadBe32(r.outcome.sense.data() + 3), c.failedLba) << c.what;
            }
            for (uint32_t i = 0; i < r.data.size() / 2048; ++i) {
                uint32_t lba = c.lba + i;
                bool zero = lba >= kZeroRun && lba < kZeroRun + 5;
                Bytes want = zero ? Bytes(2048, 0) : UserOf(lba, 2048);
                EXPECT_EQ(Slice(r.data, i * 2048, 2048), want) << c.what << " lba " << lba;
            }
        }
    }
    // A transfer length larger than the sectors asked: overrun status and the shorter length.
    Reply longer = Cmd(Read10(0, 1), 4096);
    EXPECT_EQ(longer.outcome.srbStatus, kSrbStatusDataOverrun);
    EXPECT_EQ(longer.data.size(), 2048u);
    EXPECT_EQ(Cmd(Read10(0x80000000u, 1), 2048).SenseTriple(), kSenseInvalidField);
    EXPECT_TRUE(Cmd(Read10(3, 0), 0).Good());
}

TEST_F(ReaderTest, ReadCdWholeSectorsAndFieldSelections) {
    MountMixed();
    // All fields: each sector complete, whatever the run stores.
    for (uint32_t lba = 0; lba < kGapStart; ++lba) {
        Reply r = Cmd(ReadCd(lba, 1, 0xF8), 2352);
        ASSERT_TRUE(r.Good()) << lba;
        ASSERT_EQ(r.data.size(), 2352u);
        EXPECT_EQ(r.data, ExpectedRaw(lba)) << lba;
        if (lba < kAudio || lba >= kAudio + 5) {
            EXPECT_EQ(CheckRawSector(r.data.data()), kSectorCheckOk) << lba;
        }
    }
    // Several sectors across runs in one request, C2 and sub-channel appended per record.
    struct Case {
        const char* what;
        uint8_t fields, sub, expected;
        uint32_t start, length, appendix; // span within the raw sector, bytes after it
    } cases[] = {
        {"user data", 0x10, 0, 0, 16, 2048, 0},
        {"raw with C2 (294)", 0xFA, 0, 0, 0, 2352, 294},
        {"raw with C2 and block error (296)", 0xFC, 0, 0, 0, 2352, 296},
        {"raw with sub-channel", 0xF8, 1, 0, 0, 2352, 96},
        {"raw with C2 and sub-channel", 0xFC, 1, 0, 0, 2352, 296 + 96},
        {"raw with formatted Q", 0xF8, 2, 0, 0, 2352, 16},
        {"header only", 0x20, 0, 2, 12, 4, 0},
        {"sync, headers, user data", 0xF0, 0, 2, 0, 2064, 0},
    };
    const uint32_t first = kMode1Raw - 2; // zero run into raw Mode 1
    for (const Case& c : cases) {
        uint32_t stride = c.length + c.appendix;
        Reply r = Cmd(ReadCd(first, 4, c.fields, c.sub, c.expected), 4 * stride);
        ASSERT_TRUE(r.Good()) << c.what << std::hex << r.SenseTriple();
        EXPECT_EQ(r.outcome.srbStatus, kSrbStatusSuccess) << c.what;
        ASSERT_EQ(r.data.size(), 4u * stride) << c.what;
        for (uint32_t i = 0; i < 4; ++i) {
            Bytes raw = ExpectedRaw(first + i);
            EXPECT_EQ(Slice(r.data, i * stride, c.length), Slice(raw, c.start, c.length))
                << c.what << i;
        }
    }
    // Form 2 and Mode 2 formless spans.
    Reply f2 = Cmd(ReadCd(kForm2Sub, 1, 0x10), 2352);
    ASSERT_TRUE(f2.Good());
    EXPECT_EQ(f2.data, Slice(ExpectedRaw(kForm2Sub), 24, 2328));
    Reply formless = Cmd(ReadCd(kForm1Sub, 2, 0x70, 0, kSectorMode2Formless), 2 * 2340);
    ASSERT_TRUE(formless.Good()) << std::hex << formless.SenseTriple();
    ASSERT_EQ(formless.data.size(), 2u * 2340);
    EXPECT_EQ(Slice(formless.data, 2340, 2340), Slice(ExpectedRaw(kForm1Sub + 1), 12, 2340));
    // Windows' raw read modes (mmc-notes): audio with type CD-DA, XA Form 2.
    Reply cdda = Cmd(ReadCd(kAudio, 5, 0xF0, 0, kSectorCdda), 5 * 2352);
    ASSERT_TRUE(cdda.Good());
    for (uint32_t i = 0; i < 5; ++i)
        EXPECT_EQ(Slice(cdda.data, i * 2352, 2352), UserOf(kAudio + i, 2352));
    EXPECT_TRUE(Cmd(ReadCd(kForm2Sub, 1, 0xF0, 0, kSectorMode2Form2), 2352).Good());

    struct Refusal {
        const char* what;
        Bytes cdb;
        uint32_t sense;
    } refusals[] = {
        {"CD-DA asked on data", ReadCd(0, 1, 0xF8, 0, kSectorCdda), kSenseIllegalMode},
        {"Form 2 asked on Mode 1", ReadCd(0, 1, 0xF8, 0, kSectorMode2Form2), kSenseIllegalMode},
        {"C2 code 3", ReadCd(0, 1, 0xFE), kSenseInvalidField},
        {"sub-channel 3", ReadCd(0, 1, 0xF8, 3), kSenseInvalidField},
        {"sync alone", ReadCd(0, 1, 0x80), kSenseInvalidField},
        {"past the end", ReadCd(kMixedTotal - 1, 2, 0xF8), kSenseOutOfRange},
        {"no run", ReadCd(kGapStart, 1, 0xF8), kSenseReadError},
    };
    for (const Refusal& f : refusals)
        EXPECT_EQ(Cmd(f.cdb, 2 * 2352).SenseTriple(), f.sense) << f.what;
}

TEST_F(ReaderTest, StoredSubchannelOfWideRuns) {
    MountMixed();
    Reply raw = Cmd(ReadCd(kMode1WithSub, 2, 0xF8, 1), 2 * 2448);
    ASSERT_TRUE(raw.Good());
    for (uint32_t i = 0; i < 2; ++i) {
        EXPECT_EQ(Slice(raw.data, i * 2448, 2352), ExpectedRaw(kMode1WithSub + i));
        EXPECT_EQ(Slice(raw.data, i * 2448 + 2352, 96), UserOf(kMode1WithSub + i + 1000, 96));
    }
    Reply q = Cmd(ReadCd(kMode1WithSub, 1, 0xF8, 2), 2368);
    ASSERT_TRUE(q.Good());
    uint8_t linear[96];
    DeinterleaveSubchannel(UserOf(kMode1WithSub + 1000, 96).data(), linear);
    EXPECT_EQ(Slice(q.data, 2352, 12), Bytes(linear + 12, linear + 24));
    // Runs without stored sub-channel give the Q a disc carries (track 1, index 1, LBA 0),
    // no pause flag and nothing in R-W.
    Reply none = Cmd(ReadCd(0, 1, 0xF8, 1), 2448);
    ASSERT_TRUE(none.Good());
    DeinterleaveSubchannel(none.data.data() + 2352, linear);
    EXPECT_EQ(Bytes(linear, linear + 12), Bytes(12, 0));
    EXPECT_EQ(Bytes(linear + 24, linear + 96), Bytes(72, 0));
    EXPECT_EQ(Bytes(linear + 12, linear + 22),
              (Bytes{0x41, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00}));
}

TEST_F(EngineTest, TablelessImages) {
    Bytes iso;
    for (uint32_t lba = 0; lba < 4; ++lba)
        Append(&iso, UserOf(lba, 2048));
    OpenFile plain(m_dir.Write("t.iso", iso));
    // A 2048-byte CD image without a table reads raw as synthesised Mode 1 sectors.
    ASSERT_TRUE(Mount(0, BaseRecord(plain.Handle(), kMediumCd, kReaderPlainFile, 4)));
    SettleDrive();
    Reply r = Send(A(), 0, ReadCd(1, 2, 0xF8), 2 * 2352);
    ASSERT_TRUE(r.Good());
    EXPECT_EQ(Slice(r.data, 2352, 2352), RawSector(2, kSectorMode1, UserOf(2, 2048)));
    // The same image as a DVD: no raw reads.
    ASSERT_TRUE(Mount(0, BaseRecord(plain.Handle(), kMediumDvd, kReaderPlainFile, 4)));
    host::AdvanceClock(4000);
    SettleDrive();
    EXPECT_EQ(Send(A(), 0, ReadCd(0, 1, 0xF8), 2352).SenseTriple(), kSenseIllegalMode);
    EXPECT_EQ(Send(A(), 0, Read10(3, 1), 2048).data, UserOf(3, 2048));

    // A raw 2352-byte image without a table: READ(10) finds the user data by each sector's mode.
    Bytes raw;
    Append(&raw, RawSector(0, kSectorMode1, UserOf(0, 2048)));
    Append(&raw, RawSector(1, kSectorMode2Form1, UserOf(1, 2048)));
    OpenFile rawFile(m_dir.Write("t.bin", raw));
    ASSERT_TRUE(Mount(0, BaseRecord(rawFile.Handle(), kMediumCd, kReaderPlainFile, 2, 2352)));
    host::AdvanceClock(4000);
    SettleDrive();
    Reply u = Send(A(), 0, Read10(0, 2), 4096);
    ASSERT_TRUE(u.Good());
    EXPECT_EQ(Slice(u.data, 0, 2048), UserOf(0, 2048));
    EXPECT_EQ(Slice(u.data, 2048, 2048), UserOf(1, 2048));
    EXPECT_EQ(Send(A(), 0, ReadCd(0, 2, 0xF8), 2 * 2352).data, raw);
}

// CCD: two sessions, the .img without the gap between them, a .sub that follows the .img.
TEST_F(EngineTest, CcdSubchannelAndScrambling) {
    constexpr uint32_t kSession2 = 11400;
    constexpr uint32_t kTotal = kSession2 + 4;
    Bytes img;
    Bytes plainSectors;
    for (uint32_t lba : {0u, 1u, 2u, 3u, kSession2, kSession2 + 1, kSession2 + 2, kSession2 + 3}) {
        Bytes s = RawSector(lba, kSectorMode1, UserOf(lba, 2048));
        Append(&plainSectors, s);
        ScrambleSector(s.data());
        Append(&img, s);
    }
    Bytes sub;
    for (uint32_t index = 0; index < 8; ++index) {
        Bytes record = UserOf(index + 500, 96);
        record[0] = index == 5 ? 0xFF : 0;    // P channel set on one sector
        record[12] = 0x41;                    // Q: control 4, ADR 1
        record[13] = index < 4 ? 0x01 : 0x12; // track (BCD)
        record[14] = 0x01;                    // index
        Append(&sub, record);
    }
    OpenFile imgFile(m_dir.Write("disc.img", img));
    OpenFile subFile(m_dir.Write("disc.sub", sub));
    Bytes table = TrackTable({Span(kSectorMode1, 0x0F, 0, 4, 2352, 0),
                              Span(kSectorMode1, 0x0F, kSession2, kTotal, 2352, 4 * 2352)});
    MountRecord r = BaseRecord(imgFile.Handle(), kMediumCd, kReaderCcd, kTotal, 2352);
    r.trackTable = Ptr(table.data());
    r.kindPointer = subFile.Handle();
    r.scrambled = 1;
    ASSERT_TRUE(Mount(0, r));
    SettleDrive();

    // Scrambled data sectors come back plain, through both read paths.
    Reply all = Send(A(), 0, ReadCd(kSession2, 4, 0xF8), 4 * 2352);
    ASSERT_TRUE(all.Good());
    EXPECT_EQ(all.data, Slice(plainSectors, 4 * 2352, 4 * 2352));
    Reply user = Send(A(), 0, Read10(kSession2 + 1, 1), 2048);
    ASSERT_TRUE(user.Good());
    EXPECT_EQ(user.data, UserOf(kSession2 + 1, 2048));

    // Sub-channel of the second session's first sector is .sub record 4 (its .img index).
    Reply q = Send(A(), 0, ReadCd(kSession2, 2, 0xF8, 2), 2 * 2368);
    ASSERT_TRUE(q.Good());
    EXPECT_EQ(Slice(q.data, 2352, 12), Slice(sub, 4 * 96 + 12, 12));
    EXPECT_EQ(q.data[2352 + 15], 0x00);
    EXPECT_EQ(q.data[2368 + 2352 + 15], 0x80); // record 5 has P set
    Reply pw = Send(A(), 0, ReadCd(kSession2, 1, 0xF8, 1), 2448);
    uint8_t interleaved[96];
    InterleaveSubchannel(sub.data() + 4 * 96, interleaved);
    EXPECT_EQ(Slice(pw.data, 2352, 96), Bytes(interleaved, interleaved + 96));

    // READ SUB-CHANNEL takes ADR/control and track from Q at the current position.
    ASSERT_TRUE(Send(A(), 0, Bytes{0x2B, 0, 0, 0, 0x2C, 0x88, 0, 0, 0, 0}, 0).Good()); // 11400
    Reply pos = Send(A(), 0, Bytes{0x42, 0, 0x40, 1, 0, 0, 0, 0, 16, 0}, 16);
    ASSERT_TRUE(pos.Good());
    EXPECT_EQ(pos.data[5], 0x14);
    EXPECT_EQ(pos.data[6], 12);
    EXPECT_EQ(pos.data[7], 1);
}

TEST_F(EngineTest, WavAudioFromTheDataOffset) {
    constexpr uint32_t kDataOffset = 100; // a RIFF file with extra chunks before "data"
    Bytes wav(kDataOffset, 0x55);
    for (uint32_t lba = 0; lba < 6; ++lba)
        Append(&wav, UserOf(lba, 2352));
    OpenFile file(m_dir.Write("a.wav", wav));
    MountRecord r = BaseRecord(file.Handle(), kMediumCd, kReaderWav, 6, 2352);
    r.param84 = kDataOffset; // where the parser found the data chunk
    ASSERT_TRUE(Mount(0, r));
    SettleDrive();
    Reply audio = Send(A(), 0, ReadCd(1, 3, 0xF0, 0, kSectorCdda), 3 * 2352);
    ASSERT_TRUE(audio.Good());
    EXPECT_EQ(audio.data, Slice(wav, kDataOffset + 2352, 3 * 2352));
    // Field selection, C2 and sub-channel honoured: records of one stride.
    Reply wide = Send(A(), 0, ReadCd(0, 2, 0xF4, 1), 2 * 2744);
    ASSERT_TRUE(wide.Good());
    ASSERT_EQ(wide.data.size(), 2u * 2744);
    EXPECT_EQ(Slice(wide.data, 2744, 2352), UserOf(1, 2352));
    EXPECT_EQ(Send(A(), 0, ReadCd(0, 1, 0x00), 2352).data.size(), 0u);
    EXPECT_EQ(Send(A(), 0, Read10(0, 1), 2048).SenseTriple(), kSenseIllegalMode);
    // Sent without a full TOC, the disc's one track is an audio track.
    Reply toc = Send(A(), 0, Bytes{0x43, 0, 0, 0, 0, 0, 0, 0, 20, 0}, 20);
    ASSERT_TRUE(toc.Good());
    EXPECT_EQ(toc.data[5], 0x10);
    Reply full = Send(A(), 0, Bytes{0x43, 0, 2, 0, 0, 0, 0, 0, 48, 0}, 48);
    ASSERT_EQ(full.data.size(), 48u);
    EXPECT_EQ(full.data[4 + 1], 0x10);
    Reply info = Send(A(), 0, Bytes{0x52, 1, 0, 0, 0, 1, 0, 0, 36, 0}, 36);
    EXPECT_EQ(info.data[5], 0x0);
    EXPECT_EQ(info.data[6], 0x0F);
}

TEST_F(EngineTest, FileListSegments) {
    Bytes first;
    for (uint32_t lba = 0; lba < 4; ++lba)
        Append(&first, UserOf(lba, 2048));
    Bytes second(2048, 0xEE); // one leading sector the list skips
    for (uint32_t lba = 6; lba < 8; ++lba)
        Append(&second, UserOf(lba, 2048));
    OpenFile main(m_dir.Write("one.bin", first));
    m_dir.Write("two.bin", second);
    std::string pool =
        m_dir.Path("").string() + '\0' + "one.bin" + '\0' + "two.bin" + '\0' + "gone.bin" + '\0';
    uint32_t one = uint32_t(pool.find("one.bin"));
    uint32_t two = uint32_t(pool.find("two.bin"));
    uint32_t gone = uint32_t(pool.find("gone.bin"));
    std::vector<SegmentEntry> segments = {{0, 3, one, 0, 0},
                                          {4, 5, kSegmentZeros, 0, 0},
                                          {6, 7, two, 0, 2048},
                                          {8, 8, gone, 0, 0},
                                          {10, 10, one, 0, 0}};
    MountRecord r = BaseRecord(main.Handle(), kMediumCd, kReaderFileList, 12);
    r.kindPointer = Ptr(pool.data());
    r.param84 = uint32_t(pool.size());
    SetSegmentTablePointer(&r, Ptr(segments.data()));
    r.param88 = uint32_t(segments.size());
    ASSERT_TRUE(Mount(0, r));
    SettleDrive();

    Reply all = Send(A(), 0, Read10(0, 8), 8 * 2048);
    ASSERT_TRUE(all.Good());
    for (uint32_t lba = 0; lba < 8; ++lba) {
        Bytes want = (lba == 4 || lba == 5) ? Bytes(2048, 0) : UserOf(lba, 2048);
        EXPECT_EQ(Slice(all.data, lba * 2048, 2048), want) << lba;
    }
    // A file that cannot be opened and an address no segment holds are read errors.
    Reply missing = Send(A(), 0, Read10(7, 2), 4096);
    EXPECT_EQ(missing.SenseTriple(), kSenseReadError);
    EXPECT_EQ(LoadBe32(missing.outcome.sense.data() + 3), 8u);
    EXPECT_EQ(missing.data.size(), 2048u);
    Reply hole = Send(A(), 0, Read10(9, 1), 2048);
    EXPECT_EQ(hole.SenseTriple(), kSenseReadError);
    // Raw reads of a list: synthesised Mode 1.
    Reply raw = Send(A(), 0, ReadCd(6, 1, 0xF8), 2352);
    ASSERT_TRUE(raw.Good());
    EXPECT_EQ(raw.data, RawSector(6, kSectorMode1, UserOf(6, 2048)));
}

} // namespace
} // namespace vostrale::test
