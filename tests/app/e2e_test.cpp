// The program's logic against the drive engine in the same process: command lines go through
// the real start-up code, requests reach the HostAdapter as the DeviceIoControl byte buffers,
// and the drives are then asked what they hold. Under Wine the registry, the history list, the
// paths and the log are the real Windows ones; natively they are the fakes.
#include "app/history.h"
#include "app/image_entry.h"
#include "app/startup.h"
#include "app/text.h"
#include "common/bytes.h"
#include "driver/host/host_adapter.h"
#include "driver/host/host_services.h"
#include "formats/layout.h"
#include "tests/0support/image_writers.h"
#include "tests/app/fakes.h"
#include "tests/app/host_devices.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#ifdef _WIN32
#include "app/win32/win32_services.h"
#include <windows.h>
#endif

namespace vostrale::app::test {
namespace {

constexpr uint8_t kScsiTestUnitReady = 0x00;
constexpr uint8_t kScsiReadCapacity = 0x25;
constexpr uint8_t kScsiReadToc = 0x43;
constexpr uint64_t kMediaChangeMs = 5000;

// Stands in for the plain-image parser in this test: every file is a DVD of 2048-byte sectors.
int PlainDvdOpener(MountRecord* record, const std::filesystem::path& path, const ParserIo& io,
                   ImageOpenFailure* failure) {
    uint32_t error = 0;
    platform::NativeFile file = platform::OpenForRead(path, &error);
    uint64_t size = 0;
    if (!file || !platform::FileSize(file, &size) || size < kUserDataSize) {
        platform::CloseFile(file);
        failure->kind = file ? ImageOpenFailure::kUnsupportedFormat : ImageOpenFailure::kOpenError;
        failure->systemError = error;
        return kParseFailed;
    }
    record->imageHandle = file;
    record->bytesPerSector = uint16_t(kUserDataSize);
    record->mediumKind = kMediumDvd;
    record->totalSectors = uint32_t(size / kUserDataSize);
    return kParseOk;
}

class NullHost final : public TrayHost {
  public:
    void InitialiseUi() override {}
    MutexResult CreateInstanceMutex() override { return MutexResult::Created; }
    void RunWindow() override { ++windows; }
    void Shutdown() override {}
    int windows = 0;
};

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        host::SetStoredDriveCount(3);
        m_folder = m_harness.folder;
#ifdef _WIN32
        ClearRegistry();
#endif
        StartDriverAndProgram();
        // POSIX paths begin with the switch character: arguments are given relative to here.
        m_harness.system.currentFolder = WideText(m_folder) + L"/";
    }
    // A fresh adapter (as after a reboot) and a fresh program around it.
    void StartDriverAndProgram() {
        m_ctx.reset();
        m_adapter = std::make_unique<HostAdapter>();
        ASSERT_TRUE(m_adapter->Valid());
        m_devices = std::make_unique<HostNamespace>(m_adapter.get());
        Services services;
        services.devices = m_devices.get();
        services.ui = &m_harness.ui;
        services.openImage = m_opener;
#ifdef _WIN32
        services.registry = &m_registry;
        services.history = &m_history;
        services.system = &m_system;
#else
        services.registry = &m_harness.registry;
        services.history = &m_harness.history;
        services.system = &m_harness.system;
#endif
        m_ctx = std::make_unique<AppContext>(services);
    }
    void TearDown() override {
        m_ctx.reset();
        m_adapter.reset();
        host::SetStoredDriveCount(std::nullopt);
#ifdef _WIN32
        ClearRegistry();
#endif
    }
#ifdef _WIN32
    static void ClearRegistry() {
        RegDeleteTreeW(HKEY_CURRENT_USER, L"SOFTWARE\\Vostrale");
    }
#endif

    // An image of `sectors` 2048-byte sectors; the path as the program sees it.
    std::wstring MakeImage(const std::string& name, uint32_t sectors) {
        std::filesystem::path file = m_folder / name;
        std::ofstream(file, std::ios::binary) << std::string(size_t(sectors) * kUserDataSize, 'v');
        std::wstring path = WideText(file);
        m_harness.system.AddFile(path);
        return path;
    }
    static std::wstring WideText(const std::filesystem::path& path) {
#ifdef _WIN32
        return path.wstring();
#else
        std::string narrow = path.string();
        return std::wstring(narrow.begin(), narrow.end()); // test folders are ASCII
#endif
    }

    // Image paths among the arguments as a user would type them.
    int Run(std::vector<std::wstring> args) {
#ifndef _WIN32
        const std::wstring& here = m_harness.system.currentFolder;
        for (std::wstring& arg : args) {
            if (arg.compare(0, here.size(), here) == 0)
                arg.erase(0, here.size());
        }
#endif
        return RunProgram(*m_ctx, args, nullptr, &m_host);
    }

    ScsiOutcome Scsi(uint8_t target, std::vector<uint8_t> cdb, std::vector<uint8_t>* data) {
        return m_adapter->Scsi(0, target, 0, cdb.data(), cdb.size(),
                               data->empty() ? nullptr : data->data(), uint32_t(data->size()));
    }
    // TEST UNIT READY until the fresh-mount attention has been reported: true when ready.
    bool Ready(uint8_t target) {
        host::AdvanceClock(kMediaChangeMs); // past a media change's "tray open" phase
        std::vector<uint8_t> none;
        for (int i = 0; i < 3; ++i) {
            if (Scsi(target, std::vector<uint8_t>(6, kScsiTestUnitReady), &none).scsiStatus == 0)
                return true;
        }
        return false;
    }
    // READ CAPACITY: last LBA and block length.
    bool Capacity(uint8_t target, uint32_t* last, uint32_t* block) {
        std::vector<uint8_t> cdb(10, 0), data(8, 0);
        cdb[0] = kScsiReadCapacity;
        if (Scsi(target, cdb, &data).scsiStatus != 0)
            return false;
        *last = LoadBe32(&data[0]);
        *block = LoadBe32(&data[4]);
        return true;
    }
    std::wstring Stat(uint32_t index) {
        std::wstring path;
        return GetDriveImage(m_ctx->s.registry, index, &path) ? path : L"";
    }

    Harness m_harness;
    std::filesystem::path m_folder;
    std::unique_ptr<HostAdapter> m_adapter;
    std::unique_ptr<HostNamespace> m_devices;
    std::unique_ptr<AppContext> m_ctx;
    ImageOpener m_opener = PlainDvdOpener;
    NullHost m_host;
#ifdef _WIN32
    Win32Registry m_registry;
    Win32MruStore m_history;
    Win32System m_system;
#endif
};

TEST_F(EndToEnd, OneShotMountUnmountAndWhatTheDrivesAnswer) {
    std::wstring disc = MakeImage("disc.iso", 40);
#ifdef _WIN32
    std::wstring other = MakeImage("other.ISO", 25);
#else
    std::wstring other = MakeImage("other.iso", 25);       // the file system here minds the case
#endif

    EXPECT_EQ(Run({L"/M:0", disc}), kExitNormal);
    EXPECT_EQ(m_host.windows, 0);
    ASSERT_TRUE(Ready(0));
    uint32_t last = 0, block = 0;
    ASSERT_TRUE(Capacity(0, &last, &block));
    EXPECT_EQ(last, 39u);
    EXPECT_EQ(block, kUserDataSize);
    std::vector<uint8_t> cdb(10, 0), toc(20, 0);
    cdb[0] = kScsiReadToc;
    StoreBe16(&cdb[7], uint16_t(toc.size()));
    ASSERT_EQ(Scsi(0, cdb, &toc).scsiStatus, 0);
    EXPECT_EQ(toc[2], 1);               // first track
    EXPECT_EQ(toc[3], 1);               // last track
    EXPECT_EQ(toc[14], 0xAA);           // lead-out descriptor
    EXPECT_EQ(LoadBe32(&toc[16]), 40u); // at the end of the disc
    EXPECT_TRUE(Stat(0) == disc);

    // Switch letter and case do not matter. (The records hold the long path the system gives
    // back, which under Windows carries the name's case as stored.)
    EXPECT_EQ(Run({L"-m:1", other}), kExitNormal);
    ASSERT_TRUE(Ready(1));
    ASSERT_TRUE(Capacity(1, &last, &block));
    EXPECT_EQ(last, 24u);
    std::wstring otherLower = other.substr(0, other.size() - 3) + L"iso";
    EXPECT_TRUE(EqualNoCase(Stat(1), otherLower));
    std::vector<std::wstring> history = ReadHistory(m_ctx->s.history, kMaxPath);
    ASSERT_EQ(history.size(), 2u);
    EXPECT_TRUE(EqualNoCase(history[0], otherLower));
    EXPECT_TRUE(EqualNoCase(history[1], disc));

    // A drive letter of the driver names its drive; the free-drive query finds drive 2.
    EXPECT_EQ(Run({L"/U:e"}), kExitNormal);
    EXPECT_FALSE(Ready(0));
    EXPECT_TRUE(Stat(0).empty());
    EXPECT_EQ(Run({L"/M:", disc}), kExitNormal);
    EXPECT_TRUE(Ready(0)); // drive 0 was free again
    EXPECT_TRUE(Stat(0) == disc);

    // Last mode wins: this is an unmount of drive 1.
    EXPECT_EQ(Run({L"/M:1", disc, L"/U:1"}), kExitNormal);
    EXPECT_FALSE(Ready(1));
    EXPECT_TRUE(Stat(1).empty());
    EXPECT_EQ(m_host.windows, 0);
}

TEST_F(EndToEnd, CommandLinesThatStartTheTray) {
    std::wstring disc = MakeImage("disc.iso", 10);
    struct Case {
        std::vector<std::wstring> args;
    } cases[] = {
        {{L"/M:7", disc}}, {{disc}}, {{L"/M:Q", disc}}, {{L"/M:4294967298", disc}}, {{L"/C"}}};
    int windows = 0;
    for (const Case& c : cases) {
        EXPECT_EQ(Run(c.args), kExitNormal);
        EXPECT_EQ(m_host.windows, ++windows);
    }
    for (uint8_t target = 0; target < 3; ++target)
        EXPECT_FALSE(Ready(target));
    EXPECT_TRUE(m_harness.ui.messages.empty());
}

TEST_F(EndToEnd, UncPathIsAPathAndNotASwitch) {
    // No such share: the mount request is handled (nothing mounted) instead of starting the tray.
    EXPECT_EQ(Run({L"/M:2", L"\\\\server\\share\\disc.iso"}), kExitNormal);
    EXPECT_EQ(m_host.windows, 0);
    EXPECT_FALSE(Ready(2));
#ifndef _WIN32
    // Where the share exists, the mount reaches the image parser with that very path; read as
    // a switch it would have left no path to mount.
    m_harness.system.AddFile(L"\\\\server\\share\\disc.iso");
    EXPECT_EQ(Run({L"/M:2", L"\\\\server\\share\\disc.iso"}), kExitNormal);
    EXPECT_NE(m_harness.ReadLog().find("Mount \\\\server\\share\\disc.iso"), std::string::npos)
        << m_harness.ReadLog();
#endif
}

TEST_F(EndToEnd, RemountAtStartAndHistoryLimit) {
    std::vector<std::wstring> images;
    for (int i = 0; i < 17; ++i)
        images.push_back(MakeImage("image" + std::to_string(i) + ".iso", uint32_t(2 + i)));
    for (const std::wstring& image : images)
        ASSERT_EQ(Run({L"/M:2", image}), kExitNormal);
    std::vector<std::wstring> history = ReadHistory(m_ctx->s.history, kMaxPath);
    ASSERT_EQ(history.size(), size_t(kHistoryEntries));
    EXPECT_TRUE(EqualNoCase(history.front(), images[16]));
    EXPECT_TRUE(EqualNoCase(history.back(), images[1]));

    // After a restart the tray start puts drive 2's image back only when the remount option is
    // a real DWORD: the text "1" (four bytes, like a DWORD with bit 0x10 set) is no setting.
    const uint8_t text[4] = {'1', 0, 0, 0};
    m_ctx->s.registry->SetValue(RegistryRoot::CurrentUser, kSettingsKey, kConfigValue, kRegSz, text,
                                4);
    StartDriverAndProgram();
    EXPECT_EQ(Run({}), kExitNormal);
    EXPECT_EQ(m_host.windows, 1);
    EXPECT_EQ(m_ctx->settings.config, kConfigDefault);
    EXPECT_FALSE(Ready(2));

    const uint8_t config[4] = {0x70, 0x01, 0, 0};
    m_ctx->s.registry->SetValue(RegistryRoot::CurrentUser, kSettingsKey, kConfigValue, kRegDword,
                                config, 4);
    StartDriverAndProgram();
    EXPECT_FALSE(Ready(2));
    EXPECT_EQ(Run({}), kExitNormal);
    EXPECT_EQ(m_host.windows, 2);
    ASSERT_TRUE(Ready(2));
    uint32_t last = 0, block = 0;
    ASSERT_TRUE(Capacity(2, &last, &block));
    EXPECT_EQ(last, 2u + 16u - 1u);
}

TEST_F(EndToEnd, MountLogInTheDocumentsFolder) {
    std::wstring disc = MakeImage("logged.iso", 4);
    std::filesystem::path log = m_ctx->s.system->LogPath();
    ASSERT_FALSE(log.empty());
    std::error_code ec;
    uint64_t before = std::filesystem::exists(log, ec) ? std::filesystem::file_size(log, ec) : 0;
    ASSERT_EQ(Run({L"/M:0", disc}), kExitNormal);
    std::ifstream in(log, std::ios::binary);
    in.seekg(std::streamoff(before));
    std::string added((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string narrow = platform::NarrowPath(ToPath(disc));
    EXPECT_NE(added.find(" I Mount " + narrow), std::string::npos) << added;
    EXPECT_NE(added.find(" I Mount succeed"), std::string::npos) << added;
#ifdef _WIN32
    EXPECT_NE(added.find("\r\n"), std::string::npos); // text mode
    EXPECT_NE(log.wstring().find(L"\\Documents\\Vostrale\\log.txt"), std::wstring::npos)
        << log.wstring();
#endif
}

// The same flow with the program's own parser entry: real images, the real parsers.
class WithParsers : public EndToEnd {
  protected:
    void SetUp() override {
        EndToEnd::SetUp();
        m_opener = OpenImageFile;
        StartDriverAndProgram();
    }
    std::wstring Written(const std::string& name) {
        std::wstring path = WideText(m_folder / name);
        m_harness.system.AddFile(path);
        return path;
    }
    std::vector<uint8_t> Read10(uint8_t target, uint32_t lba) {
        std::vector<uint8_t> cdb(10, 0), data(kUserDataSize, 0);
        cdb[0] = 0x28;
        StoreBe32(&cdb[2], lba);
        StoreBe16(&cdb[7], 1);
        return Scsi(target, cdb, &data).scsiStatus == 0 ? data : std::vector<uint8_t>();
    }
    std::vector<uint8_t> Toc(uint8_t target) {
        std::vector<uint8_t> cdb(10, 0), toc(100, 0);
        cdb[0] = kScsiReadToc;
        StoreBe16(&cdb[7], uint16_t(toc.size()));
        return Scsi(target, cdb, &toc).scsiStatus == 0 ? toc : std::vector<uint8_t>();
    }
};

TEST_F(WithParsers, IsoAndCueImagesReachTheDrives) {
    // An ISO 9660 volume: the probe finds its descriptor at sector 16.
    std::vector<uint8_t> iso(32 * kUserDataSize, 0);
    iso[16 * kUserDataSize] = 1;
    std::memcpy(&iso[16 * kUserDataSize + 1], "CD001", 5);
    ASSERT_TRUE(testing::WriteFile(m_folder / "disc.iso", iso));
    std::wstring disc = Written("disc.iso");
    EXPECT_EQ(Run({L"/M:0", disc}), kExitNormal);
    ASSERT_TRUE(Ready(0)) << "messages: " << m_harness.ui.messages.size();
    uint32_t last = 0, block = 0;
    ASSERT_TRUE(Capacity(0, &last, &block));
    EXPECT_EQ(last, 31u);
    EXPECT_EQ(block, kUserDataSize);
    std::vector<uint8_t> sector = Read10(0, 16);
    ASSERT_EQ(sector.size(), kUserDataSize);
    EXPECT_EQ(std::memcmp(&sector[1], "CD001", 5), 0);
    EXPECT_TRUE(Stat(0) == disc);

    // A CUE sheet with a data and an audio track.
    testing::CueOptions cue;
    cue.disc.sessions.push_back(
        {{testing::Track(testing::Mode::Mode1, 300), testing::Track(testing::Mode::Audio, 200)}});
    ASSERT_TRUE(testing::WriteCueImage(m_folder / "mixed.cue", cue));
    std::wstring sheet = Written("mixed.cue");
    EXPECT_EQ(Run({L"/M:1", sheet}), kExitNormal);
    ASSERT_TRUE(Ready(1));
    ASSERT_TRUE(Capacity(1, &last, &block));
    EXPECT_EQ(last, 499u);
    std::vector<uint8_t> toc = Toc(1);
    ASSERT_FALSE(toc.empty());
    EXPECT_EQ(toc[2], 1);
    EXPECT_EQ(toc[3], 2);
    EXPECT_EQ(LoadBe32(&toc[4 + 8 + 4]), 300u); // track 2 starts after the data track
    sector = Read10(1, 7);
    ASSERT_EQ(sector.size(), kUserDataSize);
    EXPECT_EQ(sector[0], testing::PatternByte(7, 0));
    EXPECT_TRUE(m_harness.ui.messages.empty());
    EXPECT_TRUE(m_harness.ui.failures.empty());
}

TEST_F(WithParsers, UnusableImagesSayWhy) {
    ASSERT_TRUE(testing::WriteFile(m_folder / "empty.iso", std::vector<uint8_t>(4096, 0)));
    EXPECT_EQ(Run({L"/M:0", Written("empty.iso")}), kExitNormal);
    ASSERT_EQ(m_harness.ui.messages.size(), 1u);
    EXPECT_TRUE(m_harness.ui.messages[0].text == L"Unsupported file format");
    EXPECT_EQ(m_harness.ui.messages[0].icon, MessageIcon::Information);
    EXPECT_TRUE(m_harness.ui.failures.empty());

    ASSERT_TRUE(
        testing::WriteText(m_folder / "lost.cue", "FILE \"nothere.bin\" BINARY\nTRACK 1 AUDIO\n"));
    std::wstring sheet = Written("lost.cue");
    EXPECT_EQ(Run({L"/M:0", sheet}), kExitNormal);
    ASSERT_EQ(m_harness.ui.failures.size(), 1u);
    EXPECT_TRUE(m_harness.ui.failures[0].first == sheet);
    EXPECT_FALSE(m_harness.ui.failures[0].second.empty());
    EXPECT_FALSE(Ready(0));
    EXPECT_TRUE(Stat(0).empty());
    EXPECT_TRUE(ReadHistory(m_ctx->s.history, kMaxPath).empty());
}

} // namespace
} // namespace vostrale::app::test
