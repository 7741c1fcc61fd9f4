// Scenarios on the shipped driver: discs mounted through the control path and read through
// SRBs, answered byte for byte as the host engine answers the same commands; unmount, drive
// count, media change, hostile senders and adapter removal with requests in flight.
#include "codecs/ape/ape_decoder.h"
#include "driver/host/host_adapter.h"
#include "driver/host/host_services.h"
#include "formats/audio_source.h"
#include "formats/image_parsers.h"
#include "formats/layout.h"
#include "formats/trace.h"
#include "platform/platform.h"
#include "tests/0support/image_writers.h"
#include "tests/ntsim/driver_fixture.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <thread>

namespace ntsim::test {
namespace {

namespace fs = std::filesystem;
namespace w = vostrale::testing;
using vostrale::MountRecord;

Bytes Cdb(std::initializer_list<uint8_t> bytes) {
    return Bytes(bytes);
}

Bytes Read10(uint32_t lba, uint16_t count) {
    Bytes c(10, 0);
    c[0] = 0x28;
    vostrale::StoreBe32(c.data() + 2, lba);
    vostrale::StoreBe16(c.data() + 7, count);
    return c;
}

Bytes ReadCd(uint32_t lba, uint32_t count, uint8_t fields, uint8_t sub = 0, uint8_t type = 0) {
    Bytes c(12, 0);
    c[0] = 0xBE;
    c[1] = uint8_t(type << 2);
    vostrale::StoreBe32(c.data() + 2, lba);
    vostrale::StoreBe24(c.data() + 6, count);
    c[9] = fields;
    c[10] = sub;
    return c;
}

// A 2048-byte file-list CD whose first file is `first`, with its name pool and segments.
bool FileListRecord(const fs::path& first, const std::string& pool,
                    const vostrale::SegmentEntry* segments, uint32_t segmentCount,
                    uint32_t totalSectors, MountRecord* r) {
    vostrale::PresetMountRecord(r);
    r->readerKind = vostrale::kReaderFileList;
    r->imageHandle = vostrale::platform::OpenForRead(first, nullptr);
    r->bytesPerSector = 2048;
    r->mediumKind = vostrale::kMediumCd;
    r->totalSectors = totalSectors;
    r->kindPointer = uint64_t(uintptr_t(pool.data()));
    r->param84 = uint32_t(pool.size());
    vostrale::SetSegmentTablePointer(r, uint64_t(uintptr_t(segments)));
    r->param88 = segmentCount;
    return r->imageHandle != 0;
}

struct Command {
    const char* what;
    Bytes cdb;
    uint32_t length;
};

// The commands both doors answer for every disc: identification, capacity, TOC in its
// formats, cooked and raw reads inside, across and past the tracks, and a few refusals.
std::vector<Command> CommandTable(uint32_t lastLba) {
    return {
        {"INQUIRY", Cdb({0x12, 0, 0, 0, 96, 0}), 96},
        {"TEST UNIT READY", Cdb({0x00, 0, 0, 0, 0, 0}), 0},
        {"READ CAPACITY", Cdb({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 8},
        {"READ TOC lba", Cdb({0x43, 0, 0, 0, 0, 0, 0, 0x03, 0x24, 0}), 804},
        {"READ TOC msf", Cdb({0x43, 2, 0, 0, 0, 0, 0, 0x03, 0x24, 0}), 804},
        {"READ TOC session", Cdb({0x43, 0, 1, 0, 0, 0, 0, 0, 12, 0}), 12},
        {"READ TOC full", Cdb({0x43, 2, 2, 0, 0, 0, 1, 0x08, 0, 0}), 2048},
        {"READ TOC cd-text", Cdb({0x43, 0, 5, 0, 0, 0, 0, 0x08, 0, 0}), 2048},
        {"READ TOC short allocation", Cdb({0x43, 0, 0, 0, 0, 0, 0, 0, 6, 0}), 6},
        {"READ(10) first", Read10(0, 1), 2048},
        {"READ(10) sixteen", Read10(1, 16), 16 * 2048},
        {"READ(10) last", Read10(lastLba, 1), 2048},
        {"READ(10) past the end", Read10(lastLba + 1, 1), 2048},
        {"READ(10) short buffer", Read10(2, 2), 3000},
        {"READ CD all fields", ReadCd(0, 2, 0xF8), 2 * 2352},
        {"READ CD user data", ReadCd(3, 3, 0x10), 3 * 2352},
        {"READ CD headers and C2", ReadCd(4, 1, 0xFA), 2352 + 294},
        {"READ CD formatted Q", ReadCd(5, 2, 0xF8, 2), 2 * (2352 + 16)},
        {"READ CD last", ReadCd(lastLba, 1, 0xF8), 2352},
        {"READ CD past the end", ReadCd(lastLba + 1, 1, 0xF8), 2352},
        {"READ CD mode 1 only", ReadCd(0, 1, 0x10, 0, 2), 2352},
        {"READ CD bad sub-channel", ReadCd(0, 1, 0xF8, 5), 2352},
        {"READ SUB-CHANNEL", Cdb({0x42, 2, 0x40, 1, 0, 0, 0, 0, 48, 0}), 48},
        {"GET CONFIGURATION", Cdb({0x46, 0, 0, 0, 0, 0, 0, 0x04, 0, 0}), 1024},
        {"MODE SENSE(10) all", Cdb({0x5A, 0, 0x3F, 0, 0, 0, 0, 0x04, 0, 0}), 1024},
        {"READ DISC INFORMATION", Cdb({0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0}), 34},
        {"READ TRACK INFORMATION", Cdb({0x52, 1, 0, 0, 0, 1, 0, 0, 36, 0}), 36},
        {"GET EVENT STATUS", Cdb({0x4A, 1, 0, 0, 0x10, 0, 0, 0, 8, 0}), 8},
        {"unknown opcode", Cdb({0xFF, 0, 0, 0, 0, 0}), 0},
    };
}

class DiscTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        vostrale::SetParserTraceStream(nullptr);
        vostrale::host::SetStoredDriveCount(std::nullopt);
        m_host = std::make_unique<vostrale::HostAdapter>();
        m_dir = w::MakeTempFolder("vostrale-ntsim");
    }
    void TearDown() override {
        m_host.reset();
        std::error_code ec;
        fs::remove_all(m_dir, ec);
        DriverTest::TearDown();
    }

    // Mounts the record on drive 0 of both doors: the host engine directly, the driver
    // through the control request of a sender whose handle table holds the record's files.
    // The record is released afterwards, as the tray program does.
    ::testing::AssertionResult MountBoth(MountRecord& record) {
        AdoptRecordHandles(record);
        Bytes hostBuffer = MountBuffer(0, record);
        bool hostOk = m_host->Control(hostBuffer.data(), hostBuffer.size());
        Bytes buffer = MountBuffer(0, record);
        ControlResult c = Control(buffer);
        ReleaseRecord(record);
        if (!hostOk)
            return ::testing::AssertionFailure() << "the host engine refused the record";
        if (c.status != 0)
            return ::testing::AssertionFailure() << "the driver refused the record: " << std::hex
                                                 << uint32_t(c.status);
        if (vostrale::LoadLe32(buffer.data() + 12) != vostrale::LoadLe32(hostBuffer.data() + 12))
            return ::testing::AssertionFailure() << "the drive status differs";
        return ::testing::AssertionSuccess();
    }

    void AdoptRecordHandles(const MountRecord& record) {
        m_adopted.clear();
        if (record.imageHandle)
            m_adopted.push_back(AdoptHandle(Sender(), uintptr_t(record.imageHandle), {}));
        if (record.readerKind == vostrale::kReaderCcd && record.kindPointer)
            m_adopted.push_back(AdoptHandle(Sender(), uintptr_t(record.kindPointer), {}));
    }

    // The tray closes its own handles once the request has returned.
    void ReleaseRecord(MountRecord& record) {
        for (uint64_t h : m_adopted)
            CloseProcessHandle(Sender(), h);
        m_adopted.clear();
        vostrale::ReleaseLayout(&record);
    }

    bool Parse(const fs::path& path, MountRecord* record) {
        vostrale::PresetMountRecord(record);
        std::wstring message;
        vostrale::ParserIo io;
        io.message = &message;
        return vostrale::OpenImage(record, path, io) == vostrale::kParseOk;
    }

    // A plain image of 2048-byte sectors as the tray sends it (the volume probe is not
    // needed for a pattern file).
    bool Plain(const fs::path& path, uint32_t sectors, MountRecord* r) {
        if (!w::WriteFile(path, PlainImage(sectors)))
            return false;
        vostrale::PresetMountRecord(r);
        r->imageHandle = vostrale::platform::OpenForRead(path, nullptr);
        r->bytesPerSector = 2048;
        r->mediumKind = vostrale::kMediumCd;
        r->totalSectors = sectors;
        return r->imageHandle != 0;
    }

    // A single-file audio disc (FLAC or APE) as the tray sends it: its sector count, or 0 when
    // the source does not open (the file is closed then).
    using AudioOpener = int (*)(vostrale::platform::NativeFile, MountRecord*, const fs::path&,
                                const vostrale::ParserIo&);
    uint32_t AudioDisc(const fs::path& path, AudioOpener open, MountRecord* record) {
        vostrale::platform::NativeFile file = vostrale::platform::OpenForRead(path, nullptr);
        if (!file)
            return 0;
        *record = MountRecord{};
        std::wstring message;
        vostrale::ParserIo io;
        io.message = &message;
        if (open(file, record, path, io) != vostrale::kParseOk) {
            vostrale::platform::CloseFile(file);
            return 0;
        }
        uint32_t sectors = uint32_t((vostrale::AudioSourceTotalSamples(*record) + 587) / 588);
        record->imageHandle = file;
        record->bytesPerSector = 2352;
        record->mediumKind = vostrale::kMediumCd;
        record->sessions = 1;
        record->totalSectors = sectors;
        return sectors;
    }

    // Ends the media-change phase on both sides and takes the unit attention.
    void Settle() {
        vostrale::host::AdvanceClock(4000);
        AdvanceClock(4000);
        for (int i = 0; i < 2; ++i) {
            m_host->Scsi(0, 0, 0, Bytes(6, 0).data(), 6, nullptr, 0);
            port::Scsi(0, Bytes(6, 0), 0);
        }
    }

    // Every command of the table through both doors: status, sense and data must agree.
    // Returns how many of them succeeded with data (so a test sees that reads happened).
    int Compare(const std::vector<Command>& table, uint8_t target = 0) {
        int good = 0;
        for (const Command& c : table) {
            Bytes hostData(c.length);
            vostrale::ScsiOutcome h = m_host->Scsi(0, target, 0, c.cdb.data(), c.cdb.size(),
                                                   c.length ? hostData.data() : nullptr,
                                                   c.length);
            hostData.resize(h.bytes);
            ScsiResult d = port::Scsi(target, c.cdb, c.length);
            EXPECT_EQ(d.srbStatus, h.srbStatus) << c.what;
            EXPECT_EQ(d.scsiStatus, h.scsiStatus) << c.what;
            EXPECT_EQ(d.sense, h.sense) << c.what;
            EXPECT_EQ(d.data.size(), hostData.size()) << c.what;
            EXPECT_TRUE(d.data == hostData) << c.what << ": the data differs";
            good += d.scsiStatus == 0 && !d.data.empty() ? 1 : 0;
        }
        return good;
    }

    Bytes PlainImage(uint32_t sectors) {
        Bytes image(size_t(sectors) * 2048);
        for (size_t i = 0; i < image.size(); ++i)
            image[i] = uint8_t((i / 2048) * 7 + i * 13);
        return image;
    }

    std::unique_ptr<vostrale::HostAdapter> m_host;
    fs::path m_dir;
    std::vector<uint64_t> m_adopted;
};

TEST_F(DiscTest, PlainIsoReadsAsTheEngineReadsIt) {
    MountRecord record;
    ASSERT_TRUE(Plain(m_dir / "plain.iso", 300, &record));
    ASSERT_TRUE(MountBoth(record));
    // The first commands after a mount report the change, on both doors alike.
    Compare({{"TEST UNIT READY", Bytes(6, 0), 0}});
    Settle();
    EXPECT_GE(Compare(CommandTable(299)), 18);
    Bytes image = PlainImage(300);
    EXPECT_EQ(port::Scsi(0, Read10(7, 1), 2048).data,
              Bytes(image.begin() + 7 * 2048, image.begin() + 8 * 2048));
}

TEST_F(DiscTest, CueBinWithAudioReadsAsTheEngineReadsIt) {
    w::CueOptions o;
    o.disc.sessions.push_back({{w::Track(w::Mode::Mode1, 150), w::Track(w::Mode::Audio, 120),
                                w::Track(w::Mode::Audio, 90, 0, "Last")}});
    o.disc.title = "Album";
    fs::path cue = m_dir / "disc.cue";
    ASSERT_TRUE(w::WriteCueImage(cue, o));
    MountRecord record;
    ASSERT_TRUE(Parse(cue, &record));
    ASSERT_TRUE(MountBoth(record));
    Settle();
    std::vector<Command> table = CommandTable(359);
    // Across the data/audio boundary and inside the audio.
    table.push_back({"READ CD across tracks", ReadCd(148, 4, 0xF8), 4 * 2352});
    table.push_back({"READ CD audio raw P-W", ReadCd(200, 2, 0xF8, 1), 2 * (2352 + 96)});
    table.push_back({"READ(10) on audio", Read10(200, 1), 2048});
    table.push_back({"READ CD audio as mode 1", ReadCd(200, 1, 0x10, 0, 2), 2352});
    EXPECT_GE(Compare(table), 20);
}

TEST_F(DiscTest, FlacDiscReadsAsTheEngineReadsIt) {
    fs::path samples = fs::path(VOSTRALE_SHARED_DIR) / "testdata" / "flac";
    if (!fs::exists(samples))
        GTEST_SKIP() << "no samples";
    int mounted = 0;
    for (const char* name : {"subset-01-blocksize-4096.flac", "subset-10-blocksize-2304.flac"}) {
        MountRecord record;
        uint32_t sectors = AudioDisc(samples / name, vostrale::OpenFlacSource, &record);
        if (sectors == 0)
            continue;
        ASSERT_TRUE(MountBoth(record)) << name; // closes the file with the record
        Settle();
        EXPECT_EQ(Compare({
            {"READ TOC", Cdb({0x43, 0, 0, 0, 0, 0, 0, 0x03, 0x24, 0}), 804},
            {"READ CD start", ReadCd(0, 3, 0xF8), 3 * 2352},
            {"READ CD middle", ReadCd(sectors / 2, 5, 0xF8), 5 * 2352},
            {"READ CD last", ReadCd(sectors - 1, 1, 0xF8), 2352},
            {"READ CD past the end", ReadCd(sectors, 1, 0xF8), 2352},
            {"READ(10) refused", Read10(0, 1), 2048},
        }), 4);
        ++mounted;
    }
    EXPECT_GT(mounted, 0);
}

// The driver runs the AVX2 filters only between the kernel's save and restore of the wide
// registers (the model checks the pairing); where the system has not enabled them, or a save
// fails, it decodes with SSE2. Every way answers as the host engine does.
TEST_F(DiscTest, ApeDiscReadsAsTheEngineReadsItWithAndWithoutWideRegisters) {
    fs::path path = fs::path(VOSTRALE_SHARED_DIR) / "testdata" / "ape" / "encoded" /
                    "music10s_s16_c5000.ape";
    if (!fs::exists(path))
        GTEST_SKIP() << "no samples";
    struct Case {
        const char* name;
        uint64_t enabled;
        uint32_t failedSaves;
        bool saves; // whether the driver saves the wide registers for its reads
    };
    const bool wide = vostrale::ApeWideFiltersAvailable();
    const Case cases[] = {
        {"AVX enabled", 0x7, 0, wide},
        {"AVX not enabled", 0x3, 0, false},
        {"saves fail", 0x7, 1000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MountRecord record;
        uint32_t sectors = AudioDisc(path, vostrale::OpenApeSource, &record);
        ASSERT_NE(sectors, 0u);
        ASSERT_TRUE(MountBoth(record)); // closes the file with the record
        Settle();
        SetEnabledExtendedFeatures(c.enabled);
        FailNextExtendedStateSaves(c.failedSaves);
        uint64_t before = ExtendedStateSaves();
        EXPECT_EQ(Compare({
            {"READ CD start", ReadCd(0, 3, 0xF8), 3 * 2352},
            {"READ CD middle", ReadCd(sectors / 2, 5, 0xF8), 5 * 2352},
            {"READ CD last", ReadCd(sectors - 1, 1, 0xF8), 2352},
        }), 3);
        EXPECT_EQ(ExtendedStateSaves() > before, c.saves);
        SetEnabledExtendedFeatures(0x7);
        FailNextExtendedStateSaves(0);
    }
}

TEST_F(DiscTest, UnmountAndMediaChange) {
    MountRecord record;
    ASSERT_TRUE(Plain(m_dir / "a.iso", 64, &record));
    ASSERT_TRUE(MountBoth(record));
    Settle();
    // A second disc while the first is ready: the tray is "open" until the timer's deferred
    // procedure (run by the model's clock at DISPATCH_LEVEL) ends the change.
    ASSERT_TRUE(Plain(m_dir / "b.iso", 32, &record));
    ASSERT_TRUE(MountBoth(record));
    Compare({{"TEST UNIT READY while changing", Bytes(6, 0), 0}});
    vostrale::host::AdvanceClock(4000);
    AdvanceClock(4000);
    Compare({{"TEST UNIT READY after the change", Bytes(6, 0), 0},
             {"TEST UNIT READY settled", Bytes(6, 0), 0},
             {"READ CAPACITY of the new disc", Cdb({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 8}});

    Bytes unmount = ControlBuffer(vostrale::kCtlUnmount, 0);
    EXPECT_EQ(Control(unmount).status, 0);
    Bytes hostUnmount = ControlBuffer(vostrale::kCtlUnmount, 0);
    EXPECT_TRUE(m_host->Control(hostUnmount.data(), hostUnmount.size()));
    Compare({{"TEST UNIT READY empty", Bytes(6, 0), 0}, {"READ(10) empty", Read10(0, 1), 2048}});
    // Nothing is mounted any more: a second unmount is refused and passed on to the port.
    Bytes again = ControlBuffer(vostrale::kCtlUnmount, 0);
    EXPECT_NE(Control(again).status, 0);
    Bytes count = ControlBuffer(vostrale::kCtlCountMounted, 0);
    ASSERT_EQ(Control(count).status, 0);
    EXPECT_EQ(vostrale::LoadLe32(count.data() + 12), 0u);
}

TEST_F(DiscTest, SenderEndsWhileItsMountWaits) {
    MountRecord record;
    ASSERT_TRUE(Plain(m_dir / "held.iso", 200, &record));
    Process* sender = CreateSenderProcess("short-lived");
    uint64_t handle = AdoptHandle(sender, uintptr_t(record.imageHandle), {});
    ASSERT_NE(handle, 0u);
    // Keep the worker busy so the mount waits behind reads, and end the sender meanwhile.
    std::vector<PendingRequest*> queued;
    for (int i = 0; i < 16; ++i)
        queued.push_back(port::Submit(0, Read10(0, 1), 2048));
    Bytes buffer = MountBuffer(0, record);
    ControlResult mounted;
    std::thread mount([&] { mounted = port::DeviceControl(sender, port::kControlCode, &buffer,
                                                          uint32_t(buffer.size())); });
    EndProcess(sender);
    mount.join();
    for (PendingRequest* p : queued)
        port::Wait(p);
    vostrale::ReleaseLayout(&record);
    // Either the mount took its own reference before the handle went, or it was refused;
    // a mounted disc reads from the driver's own reference.
    if (mounted.status == 0) {
        Settle();
        ScsiResult r = port::Scsi(0, Read10(10, 2), 4096);
        EXPECT_EQ(r.srbStatus, port::kSrbStatusSuccess);
        Bytes image = PlainImage(200);
        EXPECT_EQ(r.data, Bytes(image.begin() + 10 * 2048, image.begin() + 12 * 2048));
    }
}

TEST_F(DiscTest, HostileRecordsAreRefused) {
    fs::path iso = m_dir / "h.iso";
    ASSERT_TRUE(w::WriteFile(iso, PlainImage(20)));
    vostrale::platform::NativeFile file = vostrale::platform::OpenForRead(iso, nullptr);
    ASSERT_NE(file, 0u);
    uint64_t good = AdoptHandle(Sender(), uintptr_t(file), {});
    FileOptions writeOnly;
    writeOnly.access = kFileGenericWrite;
    vostrale::platform::NativeFile second = vostrale::platform::OpenForRead(iso, nullptr);
    uint64_t noRead = AdoptHandle(Sender(), uintptr_t(second), writeOnly);
    FileOptions pipe;
    pipe.fileSystem = FileSystem::NamedPipe;
    vostrale::platform::NativeFile third = vostrale::platform::OpenForRead(iso, nullptr);
    uint64_t pipeHandle = AdoptHandle(Sender(), uintptr_t(third), pipe);
    FileOptions async;
    async.synchronous = false;
    vostrale::platform::NativeFile fourth = vostrale::platform::OpenForRead(iso, nullptr);
    uint64_t asyncHandle = AdoptHandle(Sender(), uintptr_t(fourth), async);

    // A page that is mapped and then released: a user address that faults.
    std::vector<uint8_t>* released = new std::vector<uint8_t>(1 << 20);
    uint64_t stale = uint64_t(uintptr_t(released->data()) + (1 << 19));
    delete released;
    uint8_t tableHeader[4] = {0xFF, 0xFF, 0, 0}; // 65535 entries

    auto record = [&](uint64_t handle) {
        MountRecord r{};
        r.imageHandle = handle;
        r.bytesPerSector = 2048;
        r.presetOne = 1;
        r.mediumKind = vostrale::kMediumCd;
        r.readerKind = vostrale::kReaderPlainFile;
        r.sessions = 1;
        r.totalSectors = 20;
        return r;
    };
    struct Case {
        const char* what;
        MountRecord r;
    };
    std::vector<Case> cases;
    cases.push_back({"a kernel handle", record(0xFFFFFFFF80000004ull)});
    cases.push_back({"a handle not in the sender's table", record(0x7FF0)});
    cases.push_back({"a handle without read access", record(noRead)});
    cases.push_back({"a named pipe", record(pipeHandle)});
    cases.push_back({"a handle for asynchronous I/O", record(asyncHandle)});
    MountRecord kernelPointer = record(good);
    kernelPointer.trackTable = 0xFFFF800000001000ull; // ProbeForRead raises
    cases.push_back({"a track table in kernel space", kernelPointer});
    MountRecord wild = record(good);
    wild.trackTable = stale; // the copy faults inside the driver's handler
    cases.push_back({"a track table at a released address", wild});
    MountRecord huge = record(good);
    huge.trackTable = uint64_t(uintptr_t(tableHeader));
    cases.push_back({"a track table of 65535 entries", huge});
    MountRecord toc = record(good);
    toc.fullToc = 0x7FFFFFFEFFFFull; // the length field straddles the user limit
    cases.push_back({"a TOC at the end of user space", toc});

    uint64_t completed = CompletedIrps();
    for (Case& c : cases) {
        Bytes buffer = MountBuffer(0, c.r);
        ControlResult result = Control(buffer);
        EXPECT_NE(result.status, 0) << c.what;
    }
    EXPECT_EQ(CompletedIrps(), completed + cases.size());
    // The drive is still empty and the driver still answers.
    Bytes count = ControlBuffer(vostrale::kCtlCountMounted, 0);
    ASSERT_EQ(Control(count).status, 0);
    EXPECT_EQ(vostrale::LoadLe32(count.data() + 12), 0u);
    // And the good handle mounts.
    Bytes buffer = MountBuffer(0, record(good));
    EXPECT_EQ(Control(buffer).status, 0);
    for (vostrale::platform::NativeFile f : {file, second, third, fourth})
        vostrale::platform::CloseFile(f);
}

TEST_F(DiscTest, FileListOpensNamesAsTheMountingUser) {
    // Segments from the main file, from a second file opened by name on the worker while it
    // impersonates the sender, zeros, and a file the sender may not read (stays zero).
    fs::path folder = m_dir / "list";
    fs::create_directories(folder);
    Bytes a = PlainImage(10), b = PlainImage(12), secret(10 * 2048, 0x77);
    ASSERT_TRUE(w::WriteFile(folder / "a.bin", a));
    ASSERT_TRUE(w::WriteFile(folder / "b.bin", b));
    ASSERT_TRUE(w::WriteFile(folder / "secret.bin", secret));
    DenyToSenders((folder / "secret.bin").wstring());
    std::string prefix = folder.string() + "\\";
    std::string pool = prefix + '\0' + "a.bin" + '\0' + "b.bin" + '\0' + "secret.bin" + '\0';
    uint32_t nameA = uint32_t(prefix.size() + 1), nameB = nameA + 6, nameSecret = nameB + 6;
    vostrale::SegmentEntry segments[] = {
        {0, 9, nameA, 0, 0},
        {10, 19, nameB, 0, 2 * 2048}, // b.bin from its third sector
        {20, 24, vostrale::kSegmentZeros, 0, 0},
        {25, 29, nameSecret, 0, 0},
    };
    MountRecord r;
    ASSERT_TRUE(FileListRecord(folder / "a.bin", pool, segments, 4, 30, &r));
    MountRecord copy = r;
    AdoptRecordHandles(r);
    Bytes buffer = MountBuffer(0, r);
    ASSERT_EQ(Control(buffer).status, 0);
    Bytes hostBuffer = MountBuffer(0, r);
    ASSERT_TRUE(m_host->Control(hostBuffer.data(), hostBuffer.size()));
    for (uint64_t h : m_adopted)
        CloseProcessHandle(Sender(), h);
    vostrale::platform::CloseFile(copy.imageHandle);
    Settle();
    EXPECT_EQ(Compare({{"READ(10) across a and b", Read10(8, 4), 4 * 2048},
                       {"READ(10) into the zeros", Read10(18, 4), 4 * 2048}}),
              2);
    ScsiResult listed = port::Scsi(0, Read10(10, 2), 2 * 2048);
    EXPECT_EQ(listed.data, Bytes(b.begin() + 2 * 2048, b.begin() + 4 * 2048));
    // The sender may not read it, so neither may the driver on its behalf: a medium error,
    // and none of the file's bytes.
    ScsiResult denied = port::Scsi(0, Read10(25, 2), 2 * 2048);
    EXPECT_EQ(denied.scsiStatus, 2);
    ASSERT_GT(denied.sense.size(), 2u);
    EXPECT_EQ(denied.sense[2] & 0x0F, 3);
    EXPECT_EQ(std::count(denied.data.begin(), denied.data.end(), 0x77), 0);
}

TEST_F(DiscTest, MountsPinAtMostTheAdaptersBound) {
    // A FLAC record whose one seek group is as large as a record may ask for: the driver
    // keeps a 16 MiB group buffer and 16 MiB of decoded samples for it. Two of them exceed
    // what the adapter lets all its discs pin together, on both doors alike.
    fs::path flac = m_dir / "large.flac";
    ASSERT_TRUE(w::WriteFile(flac, Bytes(4096, 0)));
    vostrale::SeekPoint seek[2] = {{0, 0}, {4u << 20, 16u << 20}};
    auto mount = [&](bool* hostOk) {
        MountRecord r;
        vostrale::PresetMountRecord(&r);
        r.readerKind = vostrale::kReaderFlac;
        r.imageHandle = vostrale::platform::OpenForRead(flac, nullptr);
        r.bytesPerSector = 2352;
        r.mediumKind = vostrale::kMediumCd;
        r.totalSectors = (4u << 20) / 588;
        r.kindPointer = uint64_t(uintptr_t(seek));
        r.kindCount = 2;
        r.param92 = 16;
        r.param96 = 4096;
        AdoptRecordHandles(r);
        Bytes hostBuffer = MountBuffer(0, r);
        *hostOk = m_host->Control(hostBuffer.data(), hostBuffer.size());
        Bytes buffer = MountBuffer(0, r);
        ControlResult c = Control(buffer);
        for (uint64_t h : m_adopted)
            CloseProcessHandle(Sender(), h);
        m_adopted.clear();
        vostrale::platform::CloseFile(r.imageHandle);
        return c.status == 0;
    };
    bool host = false;
    EXPECT_TRUE(mount(&host));
    EXPECT_TRUE(host);
    uint64_t paged = Account().pagedBytes;
    EXPECT_GT(paged, uint64_t(32) << 20);
    // The same again replaces the disc, but both would be held while it does: refused.
    EXPECT_FALSE(mount(&host));
    EXPECT_FALSE(host);
    EXPECT_EQ(Account().pagedBytes, paged);
    // Once the drive is empty it mounts.
    Bytes unmount = ControlBuffer(vostrale::kCtlUnmount, 0);
    EXPECT_EQ(Control(unmount).status, 0);
    Bytes hostUnmount = ControlBuffer(vostrale::kCtlUnmount, 0);
    EXPECT_TRUE(m_host->Control(hostUnmount.data(), hostUnmount.size()));
    EXPECT_TRUE(mount(&host));
    EXPECT_TRUE(host);
}

TEST_F(DiscTest, FileRuleByTheVolumeTheImageLivesOn) {
    fs::path iso = m_dir / "where.iso";
    ASSERT_TRUE(w::WriteFile(iso, PlainImage(20)));
    struct Case {
        const char* what;
        FileSystem where;
        bool accepted;
    } cases[] = {
        {"a local disk", FileSystem::Disk, true},
        {"a network share", FileSystem::Network, true},
        {"a real CD or DVD", FileSystem::CdRom, true},
        {"one of the driver's own drives", FileSystem::OwnDrive, false},
        {"a named pipe", FileSystem::NamedPipe, false},
    };
    for (const Case& c : cases) {
        MountRecord r;
        vostrale::PresetMountRecord(&r);
        vostrale::platform::NativeFile file = vostrale::platform::OpenForRead(iso, nullptr);
        ASSERT_NE(file, 0u);
        FileOptions options;
        options.fileSystem = c.where;
        r.imageHandle = AdoptHandle(Sender(), uintptr_t(file), options);
        r.bytesPerSector = 2048;
        r.mediumKind = vostrale::kMediumCd;
        r.totalSectors = 20;
        Bytes buffer = MountBuffer(0, r);
        EXPECT_EQ(Control(buffer).status == 0, c.accepted) << c.what;
        CloseProcessHandle(Sender(), r.imageHandle);
        vostrale::platform::CloseFile(file);
    }
}

class CountTest : public DiscTest {
  protected:
    void BeforeStart() override { SetRegistryDword(kServiceKey, L"NumberOfDrives", 3); }
};

TEST_F(CountTest, DriveCountFromTheRegistryAndChangedAtRunTime) {
    Bytes get = ControlBuffer(vostrale::kCtlGetDriveCount, 0);
    ASSERT_EQ(Control(get).status, 0);
    EXPECT_EQ(vostrale::LoadLe32(get.data() + 12), 3u);
    EXPECT_EQ(port::Scsi(2, Cdb({0x12, 0, 0, 0, 36, 0}), 36).srbStatus,
              port::kSrbStatusSuccess);
    // Five drives, kept: the bus is rescanned and the value stored for the next start.
    uint32_t changes = port::BusChanges();
    Bytes set = ControlBuffer(vostrale::kCtlSetDriveCount, 0, Bytes{5, 1, 0, 0});
    ASSERT_EQ(Control(set).status, 0);
    EXPECT_EQ(port::BusChanges(), changes + 1);
    EXPECT_EQ(RegistryDword(kServiceKey, L"NumberOfDrives"), std::optional<uint32_t>(5));
    EXPECT_EQ(port::Scsi(4, Cdb({0x12, 0, 0, 0, 36, 0}), 36).srbStatus,
              port::kSrbStatusSuccess);
    // Eight is refused.
    Bytes eight = ControlBuffer(vostrale::kCtlSetDriveCount, 0, Bytes{8, 1, 0, 0});
    EXPECT_NE(Control(eight).status, 0);
    // Restarted, the driver comes back with five.
    EXPECT_EQ(port::Unload(), "");
    std::string error;
    ASSERT_TRUE(port::Load(DriverImage(), &error)) << error;
    ASSERT_TRUE(port::StartAdapter(&error)) << error;
    Bytes again = ControlBuffer(vostrale::kCtlGetDriveCount, 0);
    ASSERT_EQ(Control(again).status, 0);
    EXPECT_EQ(vostrale::LoadLe32(again.data() + 12), 5u);
}

TEST_F(CountTest, ManyThreadsAndAdapterRemovalWithRequestsQueued) {
    std::vector<fs::path> images;
    for (uint32_t d = 0; d < 3; ++d) {
        MountRecord record;
        ASSERT_TRUE(Plain(m_dir / ("drive" + std::to_string(d) + ".iso"), 100 + d, &record));
        AdoptRecordHandles(record);
        Bytes buffer = MountBuffer(d, record);
        ASSERT_EQ(Control(buffer).status, 0);
        ReleaseRecord(record);
    }
    AdvanceClock(4000);
    for (uint8_t d = 0; d < 3; ++d) {
        port::Scsi(d, Bytes(6, 0), 0);
        port::Scsi(d, Bytes(6, 0), 0);
    }
    // Four threads read all three drives at once; every sector must be the image's.
    Bytes expected = PlainImage(100);
    std::vector<std::thread> readers;
    std::atomic<int> bad{0};
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&, t] {
            for (int i = 0; i < 30; ++i) {
                uint32_t lba = uint32_t((t * 31 + i * 7) % 96);
                ScsiResult r = port::Scsi(uint8_t(i % 3), Read10(lba, 4), 4 * 2048);
                Bytes image = PlainImage(100 + i % 3);
                if (r.srbStatus != port::kSrbStatusSuccess ||
                    r.data != Bytes(image.begin() + lba * 2048, image.begin() + (lba + 4) * 2048))
                    ++bad;
            }
        });
    }
    for (std::thread& t : readers)
        t.join();
    EXPECT_EQ(bad.load(), 0);
    (void)expected;

    // A bus reset in the middle of queued requests, then removal with requests still queued:
    // each completes exactly once (the model checks), and nothing is left behind.
    std::vector<PendingRequest*> queued;
    for (int i = 0; i < 60; ++i)
        queued.push_back(port::Submit(uint8_t(i % 3), Read10(uint32_t(i), 8), 8 * 2048));
    EXPECT_TRUE(port::ResetBus());
    for (int i = 0; i < 30; ++i)
        queued.push_back(port::Submit(uint8_t(i % 3), ReadCd(uint32_t(i), 4, 0xF8), 4 * 2352));
    port::RemoveAdapter();
    EXPECT_EQ(port::Outstanding(), 0u);
    for (PendingRequest* p : queued)
        port::Wait(p);
}

TEST_F(DiscTest, BusResetCompletesTheRequestsNotStarted) {
    MountRecord record;
    ASSERT_TRUE(Plain(m_dir / "reset.iso", 40, &record));
    ASSERT_TRUE(MountBoth(record));
    Settle();
    // One read in progress (its file read held in the file system), five queued behind it.
    HoldFileReads(true);
    PendingRequest* running = port::Submit(0, Read10(1, 1), 2048);
    ASSERT_TRUE(WaitForHeldRead(10000));
    std::vector<PendingRequest*> queued;
    for (int i = 0; i < 5; ++i)
        queued.push_back(port::Submit(0, Read10(uint32_t(2 + i), 1), 2048));
    uint64_t cancelled = CancelledIrps();
    EXPECT_TRUE(port::ResetBus());
    // The reset cancels the read in progress: it ends as reset, without waiting for the file.
    ScsiResult stopped = port::Wait(running);
    EXPECT_EQ(stopped.srbStatus, port::kSrbStatusBusReset);
    EXPECT_TRUE(stopped.data.empty());
    EXPECT_EQ(CancelledIrps(), cancelled + 1);
    PendingRequest* after = port::Submit(0, Read10(9, 1), 2048);
    HoldFileReads(false);
    for (PendingRequest* p : queued) {
        ScsiResult r = port::Wait(p);
        EXPECT_EQ(r.srbStatus, port::kSrbStatusBusReset);
        EXPECT_TRUE(r.data.empty());
    }
    ScsiResult later = port::Wait(after);
    EXPECT_EQ(later.srbStatus, port::kSrbStatusSuccess);
    Bytes image = PlainImage(40);
    EXPECT_EQ(later.data, Bytes(image.begin() + 9 * 2048, image.begin() + 10 * 2048));
}

TEST_F(DiscTest, UnavailableSystemAddressIsRetried) {
    MountRecord record;
    ASSERT_TRUE(Plain(m_dir / "busy.iso", 40, &record));
    ASSERT_TRUE(MountBoth(record));
    Settle();
    port::FailSystemAddress(2);
    ScsiResult r = port::Scsi(0, Read10(5, 1), 2048);
    EXPECT_EQ(r.srbStatus, port::kSrbStatusSuccess);
    EXPECT_EQ(r.retries, 2u); // answered busy twice, so the port tried again
    Bytes image = PlainImage(40);
    EXPECT_EQ(r.data, Bytes(image.begin() + 5 * 2048, image.begin() + 6 * 2048));
}

TEST_F(DiscTest, SenderHoldingItsFileLockDoesNotHoldTheDrive) {
    // The sender keeps its handle and holds its file object's lock (a byte-range lock it waits
    // for on the same object does that): a ZwReadFile through that object would wait for ever.
    // The driver's reads go to the file system in IRPs of its own, past that lock.
    MountRecord record;
    ASSERT_TRUE(Plain(m_dir / "locked.iso", 64, &record));
    uint64_t handle = AdoptHandle(Sender(), uintptr_t(record.imageHandle), {});
    ASSERT_NE(handle, 0u);
    HoldFileObjectLock(Sender(), handle, true);
    Bytes image = PlainImage(64);
    for (int round = 0; round < 2; ++round) {
        Bytes mount = MountBuffer(0, record);
        ASSERT_EQ(Control(mount).status, 0) << round;
        AdvanceClock(4000);
        port::Scsi(0, Bytes(6, 0), 0); // the unit attention
        ScsiResult r = port::Scsi(0, Read10(5, 3), 3 * 2048);
        EXPECT_EQ(r.srbStatus, port::kSrbStatusSuccess) << round;
        EXPECT_EQ(r.data, Bytes(image.begin() + 5 * 2048, image.begin() + 8 * 2048)) << round;
        if (round == 0) {
            Bytes unmount = ControlBuffer(vostrale::kCtlUnmount, 0);
            EXPECT_EQ(Control(unmount).status, 0);
        }
    }
    // Removal with the disc mounted and the lock still held (the fixture checks the end).
    port::RemoveAdapter();
    HoldFileObjectLock(Sender(), handle, false);
    CloseProcessHandle(Sender(), handle);
    vostrale::ReleaseLayout(&record);
}

TEST_F(DiscTest, ReadStuckInTheFileSystemIsCancelledAtUnmountAndRemoval) {
    MountRecord record;
    ASSERT_TRUE(Plain(m_dir / "stuck.iso", 64, &record));
    AdoptRecordHandles(record);
    Bytes mount = MountBuffer(0, record);
    ASSERT_EQ(Control(mount).status, 0);
    AdvanceClock(4000);
    port::Scsi(0, Bytes(6, 0), 0);
    uint64_t cancelled = CancelledIrps();

    // Unmount while a read waits in the file system: the read is cancelled and the unmount
    // goes through; the read ends without data.
    HoldFileReads(true);
    PendingRequest* stuck = port::Submit(0, Read10(2, 4), 4 * 2048);
    ASSERT_TRUE(WaitForHeldRead(10000));
    std::vector<PendingRequest*> behind;
    for (int i = 0; i < 3; ++i)
        behind.push_back(port::Submit(0, Read10(uint32_t(10 + i), 1), 2048));
    Bytes unmount = ControlBuffer(vostrale::kCtlUnmount, 0);
    EXPECT_EQ(Control(unmount).status, 0);
    // To the system the medium changed under those reads (06/28/00), as it did.
    auto changed = [](const ScsiResult& r) {
        return r.scsiStatus == 2 && r.sense.size() > 13 && (r.sense[2] & 0x0F) == 6 &&
               r.sense[12] == 0x28 && r.data.empty();
    };
    EXPECT_TRUE(changed(port::Wait(stuck)));
    // Queued behind it, for the disc that went: none waits in the file system again.
    for (PendingRequest* p : behind)
        EXPECT_TRUE(changed(port::Wait(p)));
    EXPECT_EQ(CancelledIrps(), cancelled + 1);

    // Removal while a read waits in the file system.
    HoldFileReads(false);
    Bytes again = MountBuffer(0, record);
    ASSERT_EQ(Control(again).status, 0);
    ReleaseRecord(record);
    AdvanceClock(4000);
    port::Scsi(0, Bytes(6, 0), 0);
    HoldFileReads(true);
    stuck = port::Submit(0, Read10(2, 1), 2048);
    ASSERT_TRUE(WaitForHeldRead(10000));
    port::RemoveAdapter();
    EXPECT_TRUE(changed(port::Wait(stuck)));
    EXPECT_EQ(CancelledIrps(), cancelled + 2);
    HoldFileReads(false);
}

TEST_F(DiscTest, WedgedWorkerDoesNotHoldControlCallers) {
    // A file system that ignores cancellation keeps the worker in a read. Control requests
    // that need the worker give up after their time limit (on the model's clock) instead of
    // holding the sender's thread; once the file system lets go everything is as before.
    MountRecord record;
    ASSERT_TRUE(Plain(m_dir / "wedged.iso", 64, &record));
    ASSERT_TRUE(MountBoth(record));
    Settle();
    HoldFileReads(true, true);
    PendingRequest* stuck = port::Submit(0, Read10(1, 1), 2048);
    ASSERT_TRUE(WaitForHeldRead(10000));
    auto refusedInTime = [&](uint32_t code) {
        std::atomic<bool> done{false};
        ControlResult result;
        std::thread caller([&] {
            Bytes buffer = ControlBuffer(code, 0, code == vostrale::kCtlQueryDrive ? Bytes(8, 0)
                                                                                  : Bytes());
            result = Control(buffer);
            done = true;
        });
        for (int i = 0; i < 600 && !done; ++i) {
            AdvanceClock(1000);
            host::SleepMs(10);
        }
        caller.join();
        return result.status != 0;
    };
    EXPECT_TRUE(refusedInTime(vostrale::kCtlQueryDrive));
    EXPECT_TRUE(refusedInTime(vostrale::kCtlUnmount));
    // Requests that do not need the worker still answer.
    Bytes count = ControlBuffer(vostrale::kCtlCountMounted, 0);
    ASSERT_EQ(Control(count).status, 0);
    EXPECT_EQ(vostrale::LoadLe32(count.data() + 12), 1u);

    HoldFileReads(false);
    EXPECT_EQ(port::Wait(stuck).srbStatus, port::kSrbStatusSuccess);
    // The given-up unmount was skipped: the disc is still there, and goes with a new one.
    Bytes query = ControlBuffer(vostrale::kCtlQueryDrive, 0, Bytes(8, 0));
    EXPECT_EQ(Control(query).status, 0);
    Bytes unmount = ControlBuffer(vostrale::kCtlUnmount, 0);
    EXPECT_EQ(Control(unmount).status, 0);
}

TEST_F(DiscTest, IszWithBzip2ChunksReadsAsTheEngineReadsIt) {
    // The driver's bzip2 is the decompressor alone; its chunks read as the host engine's.
    w::IszOptions o;
    o.sectors = 120;
    o.chunkSize = 16384;
    o.kinds = {w::IszChunk::Bzip2, w::IszChunk::Zlib, w::IszChunk::Stored, w::IszChunk::Zero};
    std::vector<uint8_t> plain;
    fs::path isz = m_dir / "chunks.isz";
    ASSERT_TRUE(w::WriteIszImage(isz, o, &plain));
    MountRecord record;
    ASSERT_TRUE(Parse(isz, &record));
    ASSERT_TRUE(MountBoth(record));
    Settle();
    EXPECT_GE(Compare(CommandTable(119)), 10);
    ScsiResult all = port::Scsi(0, Read10(0, 60), 60 * 2048);
    ASSERT_EQ(all.srbStatus, port::kSrbStatusSuccess);
    EXPECT_TRUE(all.data == Bytes(plain.begin(), plain.begin() + 60 * 2048));
}

TEST_F(DiscTest, FileListNamesOnOurOwnDrivesAreRefusedBeforeTheyAreOpened) {
    // Opening a file on one of our drives would have its file system read that drive through
    // a worker of ours, perhaps the one opening it. The driver follows each name's drive
    // letter to its device or share first; the model fails the test if such a name is opened.
    fs::path folder = m_dir / "names";
    fs::create_directories(folder);
    Bytes a = PlainImage(10), b = PlainImage(12);
    ASSERT_TRUE(w::WriteFile(folder / "a.bin", a));
    ASSERT_TRUE(w::WriteFile(folder / "b.bin", b));
    SetDriveLink(L'Q', OwnDriveDevice());
    SetDriveLink(L'S', L"\\??\\Q:\\images"); // a substituted drive over it
    SetDriveLink(L'N', L"\\Device\\Mup\\;LanmanRedirector\\;N:0000000000001234\\localhost\\d");
    SetDriveLink(L'M', L"\\Device\\Mup\\;LanmanRedirector\\;M:0000000000001234\\far\\d");
    std::vector<std::string> names = {
        (folder / "a.bin").string(), (folder / "b.bin").string(), "Q:\\x.bin", "S:\\x.bin",
        "N:\\x.bin", "\\\\127.0.0.1\\share\\x.bin", "\\\\LocalHost\\c$\\x.bin", "M:\\x.bin"};
    std::string pool(1, '\0'); // no common prefix: every name is whole
    std::vector<vostrale::SegmentEntry> segments;
    for (uint32_t i = 0; i < names.size(); ++i) {
        uint32_t first = i * 10;
        segments.push_back({first, first + 9, uint32_t(pool.size()), 0, 0});
        pool += names[i] + '\0';
    }
    MountRecord r;
    ASSERT_TRUE(FileListRecord(folder / "a.bin", pool, segments.data(), uint32_t(segments.size()),
                               uint32_t(names.size() * 10), &r));
    AdoptRecordHandles(r);
    Bytes buffer = MountBuffer(0, r);
    ASSERT_EQ(Control(buffer).status, 0);
    for (uint64_t h : m_adopted)
        CloseProcessHandle(Sender(), h);
    vostrale::platform::CloseFile(r.imageHandle);
    AdvanceClock(4000);
    port::Scsi(0, Bytes(6, 0), 0);

    uint64_t opened = FilesOpenedByName();
    ScsiResult second = port::Scsi(0, Read10(10, 3), 3 * 2048); // a disk volume: opened
    EXPECT_EQ(second.srbStatus, port::kSrbStatusSuccess);
    EXPECT_EQ(second.data, Bytes(b.begin(), b.begin() + 3 * 2048));
    EXPECT_EQ(FilesOpenedByName(), opened + 1);
    for (uint32_t i = 2; i < names.size(); ++i) {
        SCOPED_TRACE(names[i]);
        ScsiResult refused = port::Scsi(0, Read10(i * 10, 2), 2 * 2048);
        EXPECT_EQ(refused.scsiStatus, 2);
        ASSERT_GT(refused.sense.size(), 2u);
        EXPECT_EQ(refused.sense[2] & 0x0F, 3); // medium error, as for a file that is not there
    }
    // Only the share of another machine was tried (and is not there in the model).
    EXPECT_EQ(FilesOpenedByName(), opened + 1);
    for (wchar_t letter : {L'Q', L'S', L'N', L'M'})
        SetDriveLink(letter, L"");
}

} // namespace
} // namespace ntsim::test
