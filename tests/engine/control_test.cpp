// The control door: request codes, drive slots and counts, and mount records from a hostile
// sender.
#include "tests/engine/engine_fixture.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace vostrale::test {
namespace {

class ControlTest : public PlainIsoTest<40> {};

TEST_F(ControlTest, FixedRepliesAndHeaderChecks) {
    struct Case {
        const char* what;
        Bytes buffer;
        bool ok;
        uint32_t replyLength;
    };
    Bytes badMagic = ControlBuffer(kCtlPing, 0);
    badMagic[0] ^= 1;
    Bytes longBody = ControlBuffer(kCtlPing, 0, Bytes(4));
    StoreLe32(longBody.data() + 8, 100); // says more than the buffer holds
    Case cases[] = {
        {"ping", ControlBuffer(kCtlPing, 0), true, 16},
        {"bad magic", badMagic, false, 0},
        {"body longer than buffer", longBody, false, 0},
        {"value 7", ControlBuffer(kCtlPing, 7), false, 0},
        {"unknown code", ControlBuffer(11, 0), false, 0},
        {"layout sizes, 16 bytes", ControlBuffer(kCtlGetLayoutSizes, 0), true, 16},
        {"layout sizes, 24 bytes", ControlBuffer(kCtlGetLayoutSizes, 0, Bytes(8)), true, 24},
        {"version, 20 bytes", ControlBuffer(kCtlGetVersion, 0, Bytes(4)), true, 20},
        {"version, 16 bytes", ControlBuffer(kCtlGetVersion, 0), true, 16},
        {"query, wrong body", ControlBuffer(kCtlQueryDrive, 0, Bytes(4)), false, 0},
        {"set count, no body", ControlBuffer(kCtlSetDriveCount, 0), false, 0},
        {"short buffer", Bytes(12, 0), false, 0},
    };
    for (Case& c : cases) {
        uint32_t returned = 99;
        EXPECT_EQ(A().Control(c.buffer.data(), c.buffer.size(), &returned), c.ok) << c.what;
        EXPECT_EQ(returned, c.replyLength) << c.what;
    }
    Bytes sizes = ControlBuffer(kCtlGetLayoutSizes, 0, Bytes(8));
    ASSERT_TRUE(A().Control(sizes.data(), sizes.size()));
    EXPECT_EQ(LoadLe32(sizes.data() + 16), 128u);
    EXPECT_EQ(LoadLe32(sizes.data() + 20), 24u);
    Bytes version = ControlBuffer(kCtlGetVersion, 0, Bytes(4));
    ASSERT_TRUE(A().Control(version.data(), version.size()));
    EXPECT_EQ(version[16 + 2], 1);
    EXPECT_EQ(version[16 + 3], 0);
}

TEST_F(ControlTest, DriveCountSlotsAndBusChanges) {
    uint32_t value = 0;
    ASSERT_TRUE(Simple(kCtlGetDriveCount, 0, &value));
    EXPECT_EQ(value, 1u); // NumberOfDrives absent

    Bytes same = ControlBuffer(kCtlSetDriveCount, 0, Bytes{1, 0, 0, 0});
    EXPECT_TRUE(A().Control(same.data(), same.size()));
    EXPECT_EQ(A().BusChanges(), 0u);
    Bytes eight = ControlBuffer(kCtlSetDriveCount, 0, Bytes{8, 0, 0, 0});
    EXPECT_FALSE(A().Control(eight.data(), eight.size()));

    // Mount on drive 3 while the count is 2 is refused.
    Bytes two = ControlBuffer(kCtlSetDriveCount, 0, Bytes{2, 1, 0, 0});
    ASSERT_TRUE(A().Control(two.data(), two.size()));
    EXPECT_EQ(A().BusChanges(), 1u);
    EXPECT_EQ(host::StoredDriveCount(), 2u);
    EXPECT_FALSE(Mount(3, Plain()));

    // SCSI to a target at or above the count.
    Reply r = Send(A(), 3, Bytes(6, 0), 0);
    EXPECT_EQ(r.outcome.srbStatus, kSrbStatusInvalidTargetId);
    r = Send(A(), 0, Bytes(6, 0), 0);
    EXPECT_NE(r.outcome.srbStatus, kSrbStatusInvalidTargetId);
    EXPECT_EQ(A().Scsi(1, 0, 0, Bytes(6, 0).data(), 6, nullptr, 0).srbStatus,
              kSrbStatusInvalidPathId);
    EXPECT_EQ(A().Scsi(0, 0, 1, Bytes(6, 0).data(), 6, nullptr, 0).srbStatus, kSrbStatusInvalidLun);
    EXPECT_EQ(A().Scsi(0, 0, 0, Bytes(6, 0).data(), 6, nullptr, 0, 18, kSrbFunctionFlush).srbStatus,
              kSrbStatusSuccess);
    EXPECT_EQ(A().Scsi(0, 0, 0, Bytes(6, 0).data(), 6, nullptr, 0, 18, 0x20).srbStatus,
              kSrbStatusInvalidRequest);

    // Free-drive search and counts.
    ASSERT_TRUE(Mount(0, Plain()));
    ASSERT_TRUE(Mount(1, Plain()));
    ASSERT_TRUE(Simple(kCtlFindFreeDrive, 0, &value));
    EXPECT_EQ(value, 2u);
    ASSERT_TRUE(Simple(kCtlCountMounted, 0, &value));
    EXPECT_EQ(value, 2u);

    // Lowering the count keeps the workers and only lowers what is reported.
    Bytes one = ControlBuffer(kCtlSetDriveCount, 0, Bytes{1, 0, 0, 0});
    ASSERT_TRUE(A().Control(one.data(), one.size()));
    ASSERT_TRUE(Simple(kCtlGetDriveCount, 0, &value));
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(Send(A(), 1, Bytes(6, 0), 0).outcome.srbStatus, kSrbStatusInvalidTargetId);
    EXPECT_EQ(host::StoredDriveCount(), 2u); // not persisted

    ASSERT_TRUE(Simple(kCtlUnmountAll, 0));
    ASSERT_TRUE(Simple(kCtlCountMounted, 0, &value));
    EXPECT_EQ(value, 0u);
    EXPECT_FALSE(Simple(kCtlUnmount, 0));
}

TEST(ControlDriveCount, StoredValueIsCapped) {
    for (auto [stored, expected] :
         {std::pair<std::optional<uint32_t>, uint32_t>{std::nullopt, 1}, {9u, 7}, {3u, 3}}) {
        host::SetStoredDriveCount(stored);
        HostAdapter a;
        Bytes b = ControlBuffer(kCtlGetDriveCount, 0);
        ASSERT_TRUE(a.Control(b.data(), b.size()));
        EXPECT_EQ(ReplyValue(b), expected);
        uint32_t free = 0;
        Bytes f = ControlBuffer(kCtlFindFreeDrive, 0);
        ASSERT_TRUE(a.Control(f.data(), f.size()));
        free = ReplyValue(f);
        EXPECT_EQ(free, 0u);
    }
    host::SetStoredDriveCount(std::nullopt);
}

TEST_F(ControlTest, MountStatusQueryAndUnmount) {
    uint32_t status = 0;
    EXPECT_FALSE(A().Control(ControlBuffer(kCtlQueryDrive, 0, Bytes(8)).data(), 24));
    ASSERT_TRUE(Mount(0, Plain(kMediumDvd), &status));
    EXPECT_EQ(status, uint32_t(kStatusLoaded | kStatusAttached | kStatusUnitAttention));

    Bytes q = ControlBuffer(kCtlQueryDrive, 0, Bytes(8));
    uint32_t returned = 0;
    ASSERT_TRUE(A().Control(q.data(), q.size(), &returned));
    EXPECT_EQ(returned, 24u);
    EXPECT_EQ(q[16 + 0], 1); // region 1
    EXPECT_EQ(q[16 + 1], kMediumDvd);
    EXPECT_EQ(q[16 + 2], 1);
    EXPECT_EQ(q[16 + 3], 0);

    // Eject: the tray-open flag of QueryDrive.
    Bytes eject = {0x1B, 0, 0, 0, 0x02, 0};
    ASSERT_TRUE(Send(A(), 0, eject, 0).Good());
    q = ControlBuffer(kCtlQueryDrive, 0, Bytes(8));
    ASSERT_TRUE(A().Control(q.data(), q.size()));
    EXPECT_EQ(q[16 + 3], 1);

    // Remount on a ready drive: Changing instead of an immediate unit attention.
    Bytes load = {0x1B, 0, 0, 0, 0x03, 0};
    ASSERT_TRUE(Send(A(), 0, load, 0).Good());
    host::AdvanceClock(4000);
    SettleDrive();
    ASSERT_TRUE(Mount(0, Plain(), &status));
    EXPECT_EQ(status, uint32_t(kStatusLoaded | kStatusAttached | kStatusChanging));
    // The timer's end of the change: Changing gives way to a unit attention.
    host::AdvanceClock(4000);
    q = ControlBuffer(kCtlQueryDrive, 0, Bytes(8));
    ASSERT_TRUE(A().Control(q.data(), q.size()));
    EXPECT_EQ(ReplyValue(q), uint32_t(kStatusLoaded | kStatusAttached | kStatusUnitAttention));

    uint32_t after = 0;
    ASSERT_TRUE(Simple(kCtlUnmount, 0, &after));
    EXPECT_EQ(after & (kStatusAttached | kStatusUnitAttention), 0u);
    EXPECT_FALSE(Simple(kCtlUnmount, 0));
}

TEST_F(ControlTest, RegionRuleAtMount) {
    // Drive set to region 2 through SEND KEY, then a disc that only allows region 1.
    ASSERT_TRUE(Mount(0, Plain(kMediumDvd)));
    Bytes sendKey(12, 0);
    sendKey[0] = 0xA3;
    StoreBe16(sendKey.data() + 8, 8);
    sendKey[10] = 6;
    Bytes parameters(8, 0);
    parameters[4] = uint8_t(~0x02);
    ScsiOutcome o = A().Scsi(0, 0, 0, sendKey.data(), sendKey.size(), parameters.data(), 8);
    ASSERT_EQ(o.scsiStatus, 0);

    MountRecord r = Plain(kMediumDvd);
    r.regionByte = 0xFE;
    ASSERT_TRUE(Mount(0, r));
    Bytes q = ControlBuffer(kCtlQueryDrive, 0, Bytes(8));
    ASSERT_TRUE(A().Control(q.data(), q.size()));
    EXPECT_EQ(q[16], 0x01);

    // A disc that bars every region leaves the drive alone.
    r.regionByte = 0xFF;
    ASSERT_TRUE(Mount(0, r));
    q = ControlBuffer(kCtlQueryDrive, 0, Bytes(8));
    ASSERT_TRUE(A().Control(q.data(), q.size()));
    EXPECT_EQ(q[16], 0x01);
}

// Mount records that must be refused, each breaking one rule, and the pool left as it was.
TEST_F(ControlTest, HostileRecordsAreRefused) {
#ifdef _WIN32
    GTEST_SKIP() << "uses POSIX pipes and unmapped pages";
#else
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    int writeOnly = ::open(m_dir.Path("plain.iso").c_str(), O_WRONLY);
    ASSERT_GE(writeOnly, 0);
    // An address that is certainly unmapped.
    void* hole = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(hole, MAP_FAILED);

    Bytes overlapping = TrackTable({Span(2, 0, 0, 20, 2048, 0), Span(2, 0, 10, 30, 2048, 0)});
    Bytes unsorted = TrackTable({Span(2, 0, 20, 30, 2048, 0), Span(2, 0, 0, 10, 2048, 0)});
    Bytes emptyRun = TrackTable({Span(2, 0, 5, 5, 2048, 0)}); // nothing left once dropped
    Bytes backwards = TrackTable({Span(2, 0, 9, 5, 2048, 0)});
    Bytes pastEnd = TrackTable({Span(2, 0, 0, kSectors + 1, 2048, 0)});
    Bytes badType = TrackTable({Span(6, 0, 0, 10, 2048, 0)});
    Bytes badStride = TrackTable({Span(2, 0, 0, 10, 2000, 0)});
    Bytes partsDisagree = TrackTable({Span(2, 0, 0, 10, 2336, 0)}); // Mode 1 2336 needs EDC/ECC
    Bytes form2As2048 = TrackTable({Span(5, 0, 0, 10, 2048, 0)});
    Bytes highParts = TrackTable({Span(2, 0x10, 0, 10, 2048, 0)});
    Bytes offsetOverflow = TrackTable({Span(2, 0, 0, 10, 2048, UINT64_MAX - 100)});
    Bytes zeroCount = TrackTable({});
    Bytes hugeCount = TrackTable({Span(2, 0, 0, 10, 2048, 0)});
    StoreLe16(hugeCount.data(), 60000); // more entries than the block holds
    Bytes badToc(4 + 10, 0);
    StoreBe16(badToc.data(), 12); // not 2 + 11n
    Bytes tocTooLong(4 + 11, 0);
    StoreBe16(tocTooLong.data(), 0xFFFF); // length runs past the block into unmapped memory
    Bytes tocAtHole(2);

    struct Case {
        const char* what;
        MountRecord record;
    };
    std::vector<Case> cases;
    auto add = [&](const char* what, auto change) {
        MountRecord r = Plain();
        change(r);
        cases.push_back({what, r});
    };
    add("medium 0", [](MountRecord& r) { r.mediumKind = 0; });
    add("medium 5", [](MountRecord& r) { r.mediumKind = 5; });
    add("reader 0", [](MountRecord& r) { r.readerKind = 0; });
    add("reader 10", [](MountRecord& r) { r.readerKind = 10; });
    add("no sectors", [](MountRecord& r) { r.totalSectors = 0; });
    add("plain 2000-byte sectors", [](MountRecord& r) { r.bytesPerSector = 2000; });
    add("no image handle", [](MountRecord& r) { r.imageHandle = 0; });
    add("handle not open", [](MountRecord& r) { r.imageHandle = 999; });
    add("handle of a pipe", [&](MountRecord& r) { r.imageHandle = uint64_t(pipeFds[0]); });
    add("handle without read access", [&](MountRecord& r) { r.imageHandle = uint64_t(writeOnly); });
    add("track table unmapped", [&](MountRecord& r) { r.trackTable = Ptr(hole); });
    add("track table count 0", [&](MountRecord& r) { r.trackTable = Ptr(zeroCount.data()); });
    add("track table count past block",
        [&](MountRecord& r) { r.trackTable = Ptr(hugeCount.data()); });
    add("overlapping runs", [&](MountRecord& r) { r.trackTable = Ptr(overlapping.data()); });
    add("unsorted runs", [&](MountRecord& r) { r.trackTable = Ptr(unsorted.data()); });
    add("only an empty run", [&](MountRecord& r) { r.trackTable = Ptr(emptyRun.data()); });
    add("run ends before it starts", [&](MountRecord& r) { r.trackTable = Ptr(backwards.data()); });
    add("run past total", [&](MountRecord& r) { r.trackTable = Ptr(pastEnd.data()); });
    add("sector type 6", [&](MountRecord& r) { r.trackTable = Ptr(badType.data()); });
    add("stride 2000", [&](MountRecord& r) { r.trackTable = Ptr(badStride.data()); });
    add("parts disagree with stride",
        [&](MountRecord& r) { r.trackTable = Ptr(partsDisagree.data()); });
    add("Form 2 stored as 2048", [&](MountRecord& r) { r.trackTable = Ptr(form2As2048.data()); });
    add("high parts bits", [&](MountRecord& r) { r.trackTable = Ptr(highParts.data()); });
    add("run offset overflows", [&](MountRecord& r) { r.trackTable = Ptr(offsetOverflow.data()); });
    add("full TOC length not 2+11n", [&](MountRecord& r) { r.fullToc = Ptr(badToc.data()); });
    add("full TOC unmapped", [&](MountRecord& r) { r.fullToc = Ptr(hole); });
    add("CD-Text unmapped", [&](MountRecord& r) { r.cdText = Ptr(hole); });
    add("CD-Text longer than mapped", [&](MountRecord& r) {
        // Length field at the end of a page whose next page is unmapped.
        r.cdText = Ptr(hole) - 2;
    });
    add("ISZ without chunk table", [](MountRecord& r) {
        r.readerKind = kReaderIsz;
        r.kindPointer = 0;
    });

    int64_t before = host::OutstandingPoolBlocks();
    for (const Case& c : cases) {
        EXPECT_FALSE(Mount(0, c.record)) << c.what;
        EXPECT_EQ(host::OutstandingPoolBlocks(), before) << c.what;
        uint32_t mounted = 1;
        ASSERT_TRUE(Simple(kCtlCountMounted, 0, &mounted));
        EXPECT_EQ(mounted, 0u) << c.what;
    }
    // The plain record itself is fine.
    EXPECT_TRUE(Mount(0, Plain()));
    ::munmap(hole, 4096);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    ::close(writeOnly);
#endif
}

TEST_F(ControlTest, HostileFileLists) {
    std::string pool = std::string(m_dir.Path("").string()) + '\0' + "plain.iso" + '\0';
    std::vector<SegmentEntry> segments = {{0, 9, uint32_t(pool.find("plain.iso")), 0, 0},
                                          {10, 19, kSegmentZeros, 0, 0}};
    auto list = [&](const std::string& p, const std::vector<SegmentEntry>& s) {
        MountRecord r = Plain();
        r.readerKind = kReaderFileList;
        r.kindPointer = Ptr(p.data());
        r.param84 = uint32_t(p.size());
        SetSegmentTablePointer(&r, Ptr(s.data()));
        r.param88 = uint32_t(s.size());
        return r;
    };
    std::string unterminated = pool.substr(0, pool.size() - 1);
    std::vector<SegmentEntry> outside = segments;
    outside[0].nameOffset = uint32_t(pool.size());
    std::vector<SegmentEntry> reversed = {segments[1], segments[0]};
    std::vector<SegmentEntry> beyond = segments;
    beyond[1].lastLba = kSectors;

    EXPECT_FALSE(Mount(0, list(unterminated, segments)));
    EXPECT_FALSE(Mount(0, list(pool, outside)));
    EXPECT_FALSE(Mount(0, list(pool, reversed)));
    EXPECT_FALSE(Mount(0, list(pool, beyond)));
    host::SetSecurityCaptureFails(true);
    EXPECT_FALSE(Mount(0, list(pool, segments))); // never read files with the driver's rights
    host::SetSecurityCaptureFails(false);
    EXPECT_TRUE(Mount(0, list(pool, segments)));
}

} // namespace
} // namespace vostrale::test
