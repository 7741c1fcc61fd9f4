// Mounts, unmounts, media changes and reads of one drive from several threads: every reply is
// either the right data or one of the sense conditions a disc change explains.
#include "tests/engine/engine_fixture.h"

#include <atomic>
#include <thread>

namespace vostrale::test {
namespace {

TEST_F(EngineTest, ReadsRacingMountsStayConsistent) {
    constexpr uint32_t kSectors = 32;
    Bytes a, b;
    for (uint32_t lba = 0; lba < kSectors; ++lba) {
        Bytes s = UserPattern(lba);
        a.insert(a.end(), s.begin(), s.end());
        Bytes t = UserPattern(lba + 100);
        b.insert(b.end(), t.begin(), t.end());
    }
    OpenFile fa(m_dir.Write("a.iso", a));
    OpenFile fb(m_dir.Write("b.iso", b));
    ASSERT_TRUE(Mount(0, BaseRecord(fa.Handle(), kMediumCd, kReaderPlainFile, kSectors)));

    std::atomic<bool> stop{false};
    std::atomic<uint32_t> good{0};
    std::thread reader([&] {
        uint32_t lba = 0;
        while (!stop) {
            Reply r = Send(A(), 0, Read10(lba, 2), 4096);
            if (r.Good()) {
                // Both sectors come from one image: a mount never lands inside a read.
                Bytes first = Slice(r.data, 0, 2048);
                Bytes second = Slice(r.data, 2048, 2048);
                bool fromA = first == UserPattern(lba) && second == UserPattern(lba + 1);
                bool fromB = first == UserPattern(lba + 100) && second == UserPattern(lba + 101);
                EXPECT_TRUE(fromA || fromB) << lba;
                ++good;
            } else {
                uint32_t s = r.SenseTriple();
                EXPECT_TRUE(s == kSenseChanged || s == kSenseTrayOpen) << std::hex << s;
            }
            lba = (lba + 3) % (kSectors - 1);
        }
    });
    std::thread clock([&] {
        while (!stop) {
            host::AdvanceClock(500);
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 200; ++i) {
        const OpenFile& f = (i % 2) ? fa : fb;
        if (i % 7 == 0) {
            EXPECT_TRUE(Simple(kCtlUnmount, 0));
        }
        EXPECT_TRUE(Mount(0, BaseRecord(f.Handle(), kMediumCd, kReaderPlainFile, kSectors)));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (i % 5 == 0) {
            Send(A(), 0, Bytes{0x1B, 0, 0, 0, 0x02, 0}, 0);
            Send(A(), 0, Bytes{0x1B, 0, 0, 0, 0x03, 0}, 0);
        }
    }
    // A settled drive at the end: the reader must then see good data.
    host::AdvanceClock(4000);
    for (int i = 0; i < 200 && good.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    stop = true;
    reader.join();
    clock.join();
    EXPECT_GT(good.load(), 0u);
}

} // namespace
} // namespace vostrale::test

namespace vostrale::test {
namespace {

// Unmounting and removing the adapter release every file and block the drives held.
TEST(EngineLifetime, UnmountAndAdapterRemovalReleaseEverything) {
    host::SetStoredDriveCount(3);
    TempDir dir;
    Bytes image(8 * 2048, 0x11);
    OpenFile file(dir.Write("a.iso", image));
    OpenFile sub(dir.Write("a.sub", Bytes(8 * 96, 0)));
    int64_t blocks = host::OutstandingPoolBlocks();
    int64_t files = host::OpenFileReferences();
    {
        HostAdapter a;
        int64_t idleBlocks = host::OutstandingPoolBlocks();
        MountRecord r = BaseRecord(file.Handle(), kMediumCd, kReaderCcd, 4, 2352);
        r.kindPointer = sub.Handle();
        for (uint32_t drive = 0; drive < 3; ++drive) {
            Bytes b = MountBuffer(drive, r);
            ASSERT_TRUE(a.Control(b.data(), b.size()));
        }
        EXPECT_EQ(host::OpenFileReferences(), files + 6);
        Bytes u = ControlBuffer(kCtlUnmount, 1);
        ASSERT_TRUE(a.Control(u.data(), u.size()));
        EXPECT_EQ(host::OpenFileReferences(), files + 4);
        // A remount replaces the disc and its files.
        Bytes m = MountBuffer(0, r);
        ASSERT_TRUE(a.Control(m.data(), m.size()));
        EXPECT_EQ(host::OpenFileReferences(), files + 4);
        Bytes all = ControlBuffer(kCtlUnmountAll, 0);
        ASSERT_TRUE(a.Control(all.data(), all.size()));
        EXPECT_EQ(host::OpenFileReferences(), files);
        EXPECT_EQ(host::OutstandingPoolBlocks(), idleBlocks);
        for (uint32_t drive = 0; drive < 2; ++drive) {
            Bytes b = MountBuffer(drive, r);
            ASSERT_TRUE(a.Control(b.data(), b.size()));
        }
    } // removed with two images mounted
    EXPECT_EQ(host::OpenFileReferences(), files);
    EXPECT_EQ(host::OutstandingPoolBlocks(), blocks);
    host::SetStoredDriveCount(std::nullopt);
}

} // namespace
} // namespace vostrale::test
