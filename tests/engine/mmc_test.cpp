// The SCSI door: drive state, media changes and the command replies.
#include "common/disc.h"
#include "tests/engine/engine_fixture.h"

namespace vostrale::test {
namespace {

constexpr uint8_t kTestUnitReady[6] = {0x00, 0, 0, 0, 0, 0};
const Bytes kTur(kTestUnitReady, kTestUnitReady + 6);
const Bytes kEject = {0x1B, 0, 0, 0, 0x02, 0};
const Bytes kLoad = {0x1B, 0, 0, 0, 0x03, 0};

class MmcTest : public PlainIsoTest<64> {
  protected:
    Reply Cmd(const Bytes& cdb, uint32_t length = 0) { return Send(A(), 0, cdb, length); }
};

Bytes Cdb(std::initializer_list<int> bytes) {
    Bytes b;
    for (int v : bytes)
        b.push_back(uint8_t(v));
    return b;
}

TEST_F(MmcTest, ReadinessUnitAttentionAndMediaChange) {
    EXPECT_EQ(Cmd(kTur).SenseTriple(), kSenseTrayOpen); // empty drive
    ASSERT_TRUE(Mount(0, Plain()));
    // A first mount: one unit attention, then ready.
    EXPECT_EQ(Cmd(kTur).SenseTriple(), kSenseChanged);
    EXPECT_TRUE(Cmd(kTur).Good());

    // Eject: not ready until a load; a load within the 4 s still reads as not ready.
    ASSERT_TRUE(Cmd(kEject).Good());
    EXPECT_EQ(Cmd(kTur).SenseTriple(), kSenseTrayOpen);
    host::AdvanceClock(1000);
    ASSERT_TRUE(Cmd(kLoad).Good());
    EXPECT_EQ(Cmd(kTur).SenseTriple(), kSenseTrayOpen);
    host::AdvanceClock(2999);
    EXPECT_EQ(Cmd(kTur).SenseTriple(), kSenseTrayOpen);
    host::AdvanceClock(1);
    EXPECT_EQ(Cmd(kTur).SenseTriple(), kSenseChanged);
    EXPECT_TRUE(Cmd(kTur).Good());

    // Disc change on a ready drive: "tray open" for 4 s, one unit attention, ready.
    ASSERT_TRUE(Mount(0, Plain()));
    EXPECT_EQ(Cmd(kTur).SenseTriple(), kSenseTrayOpen);
    host::AdvanceClock(4000);
    EXPECT_EQ(Cmd(kTur).SenseTriple(), kSenseChanged);
    EXPECT_TRUE(Cmd(kTur).Good());

    // Unmount: no medium.
    ASSERT_TRUE(Simple(kCtlUnmount, 0));
    EXPECT_EQ(Cmd(kTur).SenseTriple(), kSenseTrayOpen);
}

TEST_F(MmcTest, SenseDeliveryAndRequestSense) {
    ASSERT_TRUE(Mount(0, Plain()));
    SettleDrive();
    // Autosense without INFORMATION: response code 0x70, additional length 10.
    Reply bad = Cmd(Cdb({0xFF, 0, 0, 0, 0, 0}));
    ASSERT_EQ(bad.outcome.sense.size(), kSenseSize);
    EXPECT_EQ(bad.outcome.srbStatus, kSrbStatusError | kSrbStatusAutosenseValid);
    EXPECT_EQ(bad.outcome.sense[0], 0x70);
    EXPECT_EQ(bad.outcome.sense[7], 10);
    EXPECT_EQ(bad.SenseTriple(), kSenseInvalidOpcode);
    // Delivered sense is cleared completely: REQUEST SENSE reports nothing.
    Reply rs = Cmd(Cdb({0x03, 0, 0, 0, 18, 0}), 18);
    ASSERT_TRUE(rs.Good());
    ASSERT_EQ(rs.data.size(), 18u);
    EXPECT_EQ(rs.data[2] | rs.data[12] | rs.data[13], 0);

    // Without autosense the sense waits for REQUEST SENSE, and is cleared after it.
    ScsiOutcome o = A().Scsi(0, 0, 0, Cdb({0x12, 1, 0, 0, 36, 0}).data(), 6, nullptr, 0, 0);
    EXPECT_EQ(o.srbStatus, kSrbStatusError);
    EXPECT_TRUE(o.sense.empty());
    rs = Cmd(Cdb({0x03, 0, 0, 0, 18, 0}), 18);
    EXPECT_EQ(rs.data[0], 0x70);
    EXPECT_EQ((uint32_t(rs.data[2]) << 16) | (rs.data[12] << 8) | rs.data[13], kSenseInvalidField);
    rs = Cmd(Cdb({0x03, 0, 0, 0, 18, 0}), 18);
    EXPECT_EQ(rs.data[2] | rs.data[12] | rs.data[13], 0);
}

TEST_F(MmcTest, InquiryModeSenseCapacity) {
    ASSERT_TRUE(Mount(0, Plain(kMediumCd, kSectors)));
    SettleDrive();
    Reply inq = Cmd(Cdb({0x12, 0, 0, 0, 36, 0}), 36);
    ASSERT_TRUE(inq.Good());
    EXPECT_EQ(inq.outcome.srbStatus, kSrbStatusSuccess);
    ASSERT_EQ(inq.data.size(), 36u);
    EXPECT_EQ(inq.data[0], 0x05);
    EXPECT_EQ(inq.data[1], 0x80);
    EXPECT_EQ(std::string(inq.data.begin() + 8, inq.data.begin() + 16), "Melkorin");
    EXPECT_EQ(std::string(inq.data.begin() + 16, inq.data.begin() + 24), "Vostrale");
    EXPECT_EQ(std::string(inq.data.begin() + 32, inq.data.begin() + 35), "1.0");
    EXPECT_EQ(Cmd(Cdb({0x12, 1, 0, 0, 36, 0}), 36).SenseTriple(), kSenseInvalidField);
    // A buffer larger than the allocation: data overrun status, allocation-sized reply.
    Reply longer = Cmd(Cdb({0x12, 0, 0, 0, 36, 0}), 96);
    EXPECT_EQ(longer.outcome.srbStatus, kSrbStatusDataOverrun);
    EXPECT_EQ(longer.data.size(), 36u);

    struct ModeCase {
        Bytes cdb;
        uint32_t length;
        uint32_t pageOffset;
        uint32_t size;
    } modes[] = {
        {Cdb({0x1A, 0, 0x2A, 0, 36, 0}), 36, 4, 30},
        {Cdb({0x1A, 8, 0x3F, 0, 255, 0}), 255, 4 + 12, 42}, // page 01 first
        {Cdb({0x5A, 8, 0x2A, 0, 0, 0, 0, 0, 40, 0}), 40, 8, 34},
    };
    for (const ModeCase& m : modes) {
        Reply r = Cmd(m.cdb, m.length);
        ASSERT_TRUE(r.Good());
        ASSERT_EQ(r.data.size(), m.size);
        const uint8_t* page = r.data.data() + m.pageOffset;
        EXPECT_EQ(page[0], 0x2A);
        EXPECT_EQ(page[1], 24);
        EXPECT_EQ(page[5], 0x07); // R-W supported: raw reads with sub-channel pass
        EXPECT_EQ(page[6], 0x28); // tray, eject
    }
    EXPECT_EQ(Cmd(Cdb({0x1A, 0, 0x0E, 0, 36, 0}), 36).SenseTriple(), kSenseInvalidField);

    // READ CAPACITY: last LBA and 2048-byte blocks, also for a raw 2352-byte image.
    Reply cap = Cmd(Cdb({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 8);
    ASSERT_TRUE(cap.Good());
    EXPECT_EQ(LoadBe32(cap.data.data()), kSectors - 1);
    EXPECT_EQ(LoadBe32(cap.data.data() + 4), 2048u);
    EXPECT_EQ(Cmd(Cdb({0x25, 0, 0, 0, 0, 1, 0, 0, 0, 0}), 8).SenseTriple(), kSenseInvalidField);
    MountRecord raw = BaseRecord(m_iso->Handle(), kMediumCd, kReaderPlainFile, 16, 2352);
    ASSERT_TRUE(Mount(0, raw));
    host::AdvanceClock(4000);
    SettleDrive();
    cap = Cmd(Cdb({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 8);
    EXPECT_EQ(LoadBe32(cap.data.data() + 4), 2048u);

    // REPORT LUNS and unknown commands.
    Reply luns = Cmd(Cdb({0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0}), 16);
    ASSERT_TRUE(luns.Good());
    EXPECT_EQ(LoadBe32(luns.data.data()), 8u);
    EXPECT_EQ(Cmd(Cdb({0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0}), 16).SenseTriple(),
              kSenseInvalidOpcode);
    for (int op : {0x04, 0x2A, 0x35, 0xB9})
        EXPECT_EQ(Cmd(Cdb({op, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 0).SenseTriple(), kSenseInvalidOpcode)
            << op;
}

// A two-session CD TOC: tracks 1 (audio) and 2 (data) in session 1, track 3 in session 2.
Bytes TwoSessionToc(uint32_t total) {
    struct D {
        uint8_t session, adr, point;
        int32_t lba;
    } ds[] = {{1, 0x10, 0xA0, -1},   {1, 0x14, 0xA1, -1},
              {1, 0x14, 0xA2, 9000}, {1, 0x10, 1, 0},
              {1, 0x14, 2, 5000},    {2, 0x14, 0xA0, -1},
              {2, 0x14, 0xA1, -1},   {2, 0x14, 0xA2, int32_t(total)},
              {2, 0x14, 3, 20000}};
    Bytes b(FullTocSize(uint32_t(std::size(ds))), 0);
    StoreBe16(b.data(), uint16_t(b.size() - 2));
    b[2] = 1;
    b[3] = 2;
    for (size_t i = 0; i < std::size(ds); ++i) {
        uint8_t* d = b.data() + 4 + 11 * i;
        d[0] = ds[i].session;
        d[1] = ds[i].adr;
        d[3] = ds[i].point;
        if (ds[i].point == 0xA0) {
            d[8] = ds[i].session == 1 ? 1 : 3;
            d[9] = 0x20; // CD-ROM XA
        } else if (ds[i].point == 0xA1) {
            d[8] = ds[i].session == 1 ? 2 : 3;
        } else {
            Msf m = LbaToMsf(ds[i].lba);
            d[8] = m.minute;
            d[9] = m.second;
            d[10] = m.frame;
        }
    }
    return b;
}

Bytes ReadToc(uint8_t format, bool msf, uint8_t track, uint16_t allocation) {
    Bytes c = Cdb({0x43, msf ? 2 : 0, format, 0, 0, 0, track, 0, 0, 0});
    StoreBe16(c.data() + 7, allocation);
    return c;
}

TEST_F(MmcTest, ReadTocFormatsAndTrackField) {
    constexpr uint32_t kTotal = 30000;
    Bytes toc = TwoSessionToc(kTotal);
    Bytes cdText(4 + 18, 0x41);
    StoreBe16(cdText.data(), uint16_t(cdText.size() - 2));
    MountRecord r = Plain(kMediumCd, kTotal);
    r.fullToc = Ptr(toc.data());
    r.cdText = Ptr(cdText.data());
    r.sessions = 2;
    ASSERT_TRUE(Mount(0, r));
    SettleDrive();

    // Format 0, LBA: three tracks plus the lead-out.
    Reply f0 = Cmd(ReadToc(0, false, 0, 1000), 1000);
    ASSERT_TRUE(f0.Good());
    ASSERT_EQ(f0.data.size(), 4u + 8 * 4);
    EXPECT_EQ(LoadBe16(f0.data.data()), 2 + 8 * 4);
    EXPECT_EQ(f0.data[2], 1);
    EXPECT_EQ(f0.data[3], 3);
    struct Expect {
        uint8_t adr, track;
        uint32_t lba;
    } want[] = {{0x10, 1, 0}, {0x14, 2, 5000}, {0x14, 3, 20000}, {0x14, 0xAA, kTotal}};
    for (size_t i = 0; i < 4; ++i) {
        const uint8_t* d = f0.data.data() + 4 + 8 * i;
        EXPECT_EQ(d[1], want[i].adr) << i;
        EXPECT_EQ(d[2], want[i].track) << i;
        EXPECT_EQ(LoadBe32(d + 4), want[i].lba) << i;
    }
    // MSF: 150 frames added once.
    Reply f0m = Cmd(ReadToc(0, true, 2, 1000), 1000);
    ASSERT_TRUE(f0m.Good());
    ASSERT_EQ(f0m.data.size(), 4u + 8 * 3);
    Msf m = LbaToMsf(5000);
    EXPECT_EQ(f0m.data[4 + 2], 2);
    EXPECT_EQ(f0m.data[4 + 5], m.minute);
    EXPECT_EQ(f0m.data[4 + 6], m.second);
    EXPECT_EQ(f0m.data[4 + 7], m.frame);
    // 0xAA: only the lead-out; above the last track: invalid field.
    Reply leadOut = Cmd(ReadToc(0, false, 0xAA, 1000), 1000);
    ASSERT_TRUE(leadOut.Good());
    ASSERT_EQ(leadOut.data.size(), 12u);
    EXPECT_EQ(leadOut.data[6], 0xAA);
    EXPECT_EQ(LoadBe16(leadOut.data.data()), 10);
    EXPECT_EQ(Cmd(ReadToc(0, false, 4, 1000), 1000).SenseTriple(), kSenseInvalidField);
    // The allocation length cuts the reply, the length field still tells the whole.
    Reply cut = Cmd(ReadToc(0, false, 0, 12), 1000);
    EXPECT_EQ(cut.data.size(), 12u);
    EXPECT_EQ(LoadBe16(cut.data.data()), 2 + 8 * 4);
    EXPECT_EQ(cut.outcome.srbStatus, kSrbStatusDataOverrun);

    // Format 1: first track of the last session.
    Reply f1 = Cmd(ReadToc(1, false, 0, 12), 12);
    ASSERT_TRUE(f1.Good());
    EXPECT_EQ(f1.outcome.srbStatus, kSrbStatusSuccess);
    EXPECT_EQ(f1.data[3], 2);
    EXPECT_EQ(f1.data[6], 3);
    EXPECT_EQ(LoadBe32(f1.data.data() + 8), 20000u);
    // Formats 2 and 5 as stored; others invalid.
    Reply f2 = Cmd(ReadToc(2, false, 0, 2000), 2000);
    EXPECT_EQ(f2.data, toc);
    Reply f5 = Cmd(ReadToc(5, false, 0, 2000), 2000);
    EXPECT_EQ(f5.data, cdText);
    EXPECT_EQ(Cmd(ReadToc(3, false, 0, 2000), 2000).SenseTriple(), kSenseInvalidField);

    // Disc and track information from the same TOC.
    Reply di = Cmd(Cdb({0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0}), 34);
    ASSERT_TRUE(di.Good());
    EXPECT_EQ(di.data[2], 0x0E);
    EXPECT_EQ(di.data[4], 2);
    EXPECT_EQ(di.data[5], 3);
    EXPECT_EQ(di.data[6], 3);
    EXPECT_EQ(di.data[8], 0x20);
    EXPECT_EQ(di.data[16], 0xFF);
    struct TrackCase {
        uint8_t addressType;
        uint32_t address;
        uint8_t track, session, mode;
        uint32_t start, size;
    } tracks[] = {
        {1, 1, 1, 1, 0x0, 0, 5000},      {1, 2, 2, 1, 0x4, 5000, 4000},
        {1, 3, 3, 2, 0x4, 20000, 10000}, {0, 6000, 2, 1, 0x4, 5000, 4000},
        {2, 2, 3, 2, 0x4, 20000, 10000},
    };
    for (const TrackCase& t : tracks) {
        Bytes c = Cdb({0x52, t.addressType, 0, 0, 0, 0, 0, 0, 36, 0});
        StoreBe32(c.data() + 2, t.address);
        Reply ti = Cmd(c, 36);
        ASSERT_TRUE(ti.Good()) << t.address;
        EXPECT_EQ(ti.data[2], t.track) << t.address;
        EXPECT_EQ(ti.data[3], t.session) << t.address;
        EXPECT_EQ(ti.data[5], t.mode) << t.address;
        EXPECT_EQ(LoadBe32(ti.data.data() + 8), t.start) << t.address;
        EXPECT_EQ(LoadBe32(ti.data.data() + 24), t.size) << t.address;
    }
    EXPECT_EQ(Cmd(Cdb({0x52, 1, 0, 0, 0, 9, 0, 0, 36, 0}), 36).SenseTriple(), kSenseInvalidField);
}

TEST_F(MmcTest, TocWithoutFullTocBlock) {
    ASSERT_TRUE(Mount(0, Plain(kMediumCd, kSectors)));
    SettleDrive();
    Reply f0 = Cmd(ReadToc(0, true, 0, 20), 20);
    ASSERT_TRUE(f0.Good());
    ASSERT_EQ(f0.data.size(), 20u);
    EXPECT_EQ(f0.data[6], 1);
    EXPECT_EQ(f0.data[9], 0); // track 1 at 00:02:00
    EXPECT_EQ(f0.data[10], 2);
    EXPECT_EQ(f0.data[11], 0);
    Msf end = LbaToMsf(kSectors);
    EXPECT_EQ(f0.data[14], 0xAA);
    EXPECT_EQ(f0.data[17], end.minute);
    EXPECT_EQ(f0.data[18], end.second);
    EXPECT_EQ(f0.data[19], end.frame);
    Reply f2 = Cmd(ReadToc(2, false, 0, 48), 48);
    ASSERT_TRUE(f2.Good());
    ASSERT_EQ(f2.data.size(), 48u);
    EXPECT_EQ(FullTocDescriptorCount(f2.data.data(), 48), 4);
    EXPECT_EQ(Cmd(ReadToc(5, false, 0, 48), 48).SenseTriple(), kSenseInvalidField);
    Reply ti = Cmd(Cdb({0x52, 1, 0, 0, 0, 1, 0, 0, 36, 0}), 36);
    ASSERT_TRUE(ti.Good());
    EXPECT_EQ(LoadBe32(ti.data.data() + 24), kSectors);
}

struct ConfigFeature {
    uint16_t code;
    bool current;
};

std::vector<ConfigFeature> Features(const Bytes& reply, uint16_t* profile,
                                    std::vector<uint16_t>* currentProfiles) {
    std::vector<ConfigFeature> out;
    *profile = LoadBe16(reply.data() + 6);
    size_t end = 4 + LoadBe32(reply.data());
    EXPECT_EQ(end, reply.size());
    size_t off = 8;
    while (off + 4 <= end) {
        uint16_t code = LoadBe16(reply.data() + off);
        uint8_t length = reply[off + 3];
        out.push_back({code, (reply[off + 2] & 1) != 0});
        if (code == 0) {
            for (size_t p = off + 4; p + 4 <= off + 4 + length; p += 4) {
                if (reply[p + 2] & 1)
                    currentProfiles->push_back(LoadBe16(reply.data() + p));
            }
        }
        EXPECT_EQ(length % 4, 0) << code;
        off += 4 + length;
    }
    EXPECT_EQ(off, end);
    return out;
}

TEST_F(MmcTest, GetConfigurationPerMedium) {
    struct Case {
        uint8_t medium;
        uint16_t profile;
        uint16_t mediumFeature;
    } cases[] = {{kMediumCd, 0x0008, 0x001E},
                 {kMediumDvd, 0x0010, 0x001F},
                 {kMediumHdDvd, 0x0050, 0x0050},
                 {kMediumBd, 0x0040, 0x0040}};
    Bytes all = Cdb({0x46, 0, 0, 0, 0, 0, 0, 0x01, 0, 0});
    // No medium: profile 0, no profile current, only the always-current features.
    Reply none = Cmd(all, 256);
    ASSERT_TRUE(none.Good());
    uint16_t profile = 99;
    std::vector<uint16_t> current;
    std::vector<ConfigFeature> fs = Features(none.data, &profile, &current);
    EXPECT_EQ(profile, 0);
    EXPECT_TRUE(current.empty());
    for (const ConfigFeature& f : fs)
        EXPECT_EQ(f.current, f.code <= 0x0003 || f.code >= 0x0100) << std::hex << f.code;

    for (const Case& c : cases) {
        ASSERT_TRUE(Mount(0, Plain(c.medium)));
        for (uint8_t rt : {0, 1}) {
            Bytes cdb = all;
            cdb[1] = rt;
            Reply r = Cmd(cdb, 256);
            ASSERT_TRUE(r.Good());
            current.clear();
            fs = Features(r.data, &profile, &current);
            EXPECT_EQ(profile, c.profile);
            EXPECT_EQ(current, std::vector<uint16_t>{c.profile});
            bool sawMediumFeature = false;
            for (size_t i = 0; i < fs.size(); ++i) {
                if (i > 0) {
                    EXPECT_LT(fs[i - 1].code, fs[i].code) << "ascending order";
                }
                if (rt == 1) {
                    EXPECT_TRUE(fs[i].current) << fs[i].code;
                }
                if (fs[i].code == c.mediumFeature)
                    sawMediumFeature = fs[i].current;
            }
            EXPECT_TRUE(sawMediumFeature) << int(c.medium);
        }
        // RT 2: exactly the starting feature.
        Bytes one = Cdb({0x46, 2, 0, 0x10, 0, 0, 0, 0x01, 0, 0});
        Reply r = Cmd(one, 256);
        fs = Features(r.data, &profile, &current);
        ASSERT_EQ(fs.size(), 1u);
        EXPECT_EQ(fs[0].code, 0x0010);
    }
    EXPECT_EQ(Cmd(Cdb({0x46, 3, 0, 0, 0, 0, 0, 0x01, 0, 0}), 256).SenseTriple(),
              kSenseInvalidField);
    // The allocation length cuts, the data length tells the whole.
    Reply cut = Cmd(Cdb({0x46, 0, 0, 0, 0, 0, 0, 0, 8, 0}), 256);
    EXPECT_EQ(cut.data.size(), 8u);
    EXPECT_GT(LoadBe32(cut.data.data()), 4u);
}

TEST_F(MmcTest, EventStatusReportsMediaInEveryReply) {
    Bytes gesn = Cdb({0x4A, 1, 0, 0, 0x10, 0, 0, 0, 8, 0});
    auto poll = [&]() {
        Reply r = Cmd(gesn, 8);
        EXPECT_TRUE(r.Good());
        EXPECT_EQ(r.data.size(), 8u);
        return std::pair<uint8_t, uint8_t>(r.data[4], r.data[5]);
    };
    // A new empty drive counts as tray open (as its TEST UNIT READY says): no event.
    EXPECT_EQ(poll(), std::make_pair(uint8_t(0), uint8_t(1)));
    ASSERT_TRUE(Mount(0, Plain()));
    EXPECT_EQ(poll(), std::make_pair(uint8_t(2), uint8_t(2))); // new media, present
    EXPECT_EQ(poll(), std::make_pair(uint8_t(0), uint8_t(2))); // no change, still present
    ASSERT_TRUE(Cmd(kEject).Good());
    EXPECT_EQ(poll(), std::make_pair(uint8_t(3), uint8_t(1))); // removal, tray open
    EXPECT_EQ(poll(), std::make_pair(uint8_t(0), uint8_t(1)));
    ASSERT_TRUE(Cmd(kLoad).Good());
    host::AdvanceClock(4000);
    EXPECT_EQ(poll(), std::make_pair(uint8_t(2), uint8_t(2)));

    // Class mask 0: the supported classes with "no event available".
    Reply r = Cmd(Cdb({0x4A, 1, 0, 0, 0, 0, 0, 0, 8, 0}), 8);
    ASSERT_TRUE(r.Good());
    ASSERT_EQ(r.data.size(), 4u);
    EXPECT_EQ(r.data[2], 0x80);
    EXPECT_EQ(r.data[3], 0x10);
    EXPECT_EQ(Cmd(Cdb({0x4A, 0, 0, 0, 0x10, 0, 0, 0, 8, 0}), 8).SenseTriple(), kSenseInvalidField);
}

TEST_F(MmcTest, DvdStructuresAndRegionKeys) {
    MountRecord r = Plain(kMediumDvd, 2295105);
    r.regionByte = 0xFE; // region 1 only
    ASSERT_TRUE(Mount(0, r));
    Bytes physical = Cdb({0xAD, 0, 0, 0, 0, 0, 0, 0, 0x08, 0x04, 0, 0});
    Reply p = Cmd(physical, 2052);
    ASSERT_TRUE(p.Good());
    EXPECT_EQ(p.outcome.srbStatus, kSrbStatusSuccess);
    ASSERT_EQ(p.data.size(), 2052u);
    EXPECT_EQ(LoadBe16(p.data.data()), 0x0802);
    EXPECT_EQ(p.data[4], 0x01);
    EXPECT_EQ(p.data[6], 0x20); // two layers
    EXPECT_EQ(LoadBe32(p.data.data() + 8), 0x030000u);
    EXPECT_EQ(LoadBe32(p.data.data() + 12), 0x030000u + 2295105 - 1);

    Reply copyright = Cmd(Cdb({0xAD, 0, 0, 0, 0, 0, 0, 1, 0, 8, 0, 0}), 8);
    ASSERT_TRUE(copyright.Good());
    EXPECT_EQ(copyright.data[5], 0xFE); // the disc's byte, not the drive's
    EXPECT_EQ(Cmd(Cdb({0xAD, 0, 0, 0, 0, 0, 0, 2, 0, 8, 0, 0}), 8).SenseTriple(),
              kSenseInvalidField);

    Bytes reportKey = Cdb({0xA4, 0, 0, 0, 0, 0, 0, 0, 0, 8, 8, 0});
    Reply key = Cmd(reportKey, 8);
    ASSERT_TRUE(key.Good());
    EXPECT_EQ(key.data[4], 0x64);
    EXPECT_EQ(key.data[5], 0xFE);
    EXPECT_EQ(key.data[6], 1);

    Bytes sendKey = Cdb({0xA3, 0, 0, 0, 0, 0, 0, 0, 0, 8, 6, 0});
    struct SendCase {
        uint32_t length;
        uint8_t value;
        uint32_t sense;
    } sends[] = {{0, 0, kSenseInvalidField},
                 {4, 0xFB, kSenseInvalidField},
                 {8, 0xF3, kSenseBadParameter}, // two playable regions
                 {8, 0xFF, kSenseBadParameter}, // none
                 {8, 0xFB, 0}};
    for (const SendCase& s : sends) {
        Bytes parameters(8, 0);
        parameters[4] = s.value;
        ScsiOutcome o = A().Scsi(0, 0, 0, sendKey.data(), sendKey.size(),
                                 s.length ? parameters.data() : nullptr, s.length);
        uint32_t triple =
            o.sense.empty() ? 0
                            : (uint32_t(o.sense[2] & 15) << 16) | (o.sense[12] << 8) | o.sense[13];
        EXPECT_EQ(triple, s.sense) << s.length << " " << int(s.value);
    }
    key = Cmd(reportKey, 8);
    EXPECT_EQ(key.data[5], 0xFB); // region 3 set by the last SEND KEY

    // Single layer and HD DVD limits; structures on a CD are refused.
    ASSERT_TRUE(Mount(0, Plain(kMediumDvd, 2295104)));
    EXPECT_EQ(Cmd(physical, 2052).data[6], 0x00);
    MountRecord hd = Plain(kMediumHdDvd, 7340033);
    ASSERT_TRUE(Mount(0, hd));
    p = Cmd(physical, 2052);
    EXPECT_EQ(p.data[4], 0x41);
    EXPECT_EQ(p.data[6], 0x20);
    MountRecord twoLayer = Plain(kMediumDvd, 3000000);
    twoLayer.layer0Sectors = 1500000;
    ASSERT_TRUE(Mount(0, twoLayer));
    p = Cmd(physical, 2052);
    EXPECT_EQ(p.data[6], 0x30);
    EXPECT_EQ(LoadBe24(p.data.data() + 17), 1500000u + 0x2FFFF);
    ASSERT_TRUE(Mount(0, Plain(kMediumCd)));
    EXPECT_EQ(Cmd(physical, 2052).SenseTriple(), 0x053002u); // incompatible format
}

TEST_F(MmcTest, SubChannelPositionAndSeek) {
    ASSERT_TRUE(Mount(0, Plain()));
    SettleDrive();
    ASSERT_TRUE(Cmd(Cdb({0x2B, 0, 0, 0, 0, 10, 0, 0, 0, 0})).Good());
    Bytes lbaForm = Cdb({0x42, 0, 0x40, 1, 0, 0, 0, 0, 16, 0});
    Reply r = Cmd(lbaForm, 16);
    ASSERT_TRUE(r.Good());
    EXPECT_EQ(r.data[5], 0x14);
    EXPECT_EQ(LoadBe32(r.data.data() + 8), 10u);
    EXPECT_EQ(LoadBe32(r.data.data() + 12), 10u);
    Reply msf = Cmd(Cdb({0x42, 2, 0x40, 1, 0, 0, 0, 0, 16, 0}), 16);
    ASSERT_TRUE(msf.Good());
    Msf abs = LbaToMsf(10); // 150 added once
    EXPECT_EQ(msf.data[9], abs.minute);
    EXPECT_EQ(msf.data[10], abs.second);
    EXPECT_EQ(msf.data[11], abs.frame);
    EXPECT_EQ(msf.data[15], 10);
    // A completed read moves the position.
    ASSERT_TRUE(Cmd(Read10(20, 2), 4096).Good());
    r = Cmd(lbaForm, 16);
    EXPECT_EQ(LoadBe32(r.data.data() + 8), 22u);
    EXPECT_EQ(Cmd(Cdb({0x42, 0, 0x40, 4, 0, 0, 0, 0, 16, 0}), 16).SenseTriple(),
              kSenseInvalidField);
    Reply header = Cmd(Cdb({0x42, 0, 0, 1, 0, 0, 0, 0, 16, 0}), 16);
    EXPECT_EQ(header.data.size(), 4u);
}

} // namespace
} // namespace vostrale::test
