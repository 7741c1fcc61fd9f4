#include "app/driver_channel.h"

#include "app/history.h"
#include "common/bytes.h"
#include "tests/app/fakes.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace vostrale::app::test {
namespace {

// A driver-like device that records the raw request it was sent.
class CapturingDevice final : public Device {
  public:
    bool Control(void* buffer, uint32_t size) override {
        sent.assign(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + size);
        return answer;
    }
    bool GetScsiAddress(ScsiAddress*) override { return false; }
    bool EjectMedia() override { return false; }
    bool LoadMedia() override { return false; }
    std::vector<uint8_t> sent;
    bool answer = true;
};

TEST(DriverChannel, RequestHeaderAndBodyBytes) {
    CapturingDevice device;
    uint8_t buffer[24] = {};
    buffer[20] = 0x5A; // body filled by the caller stays
    ASSERT_TRUE(SendControlRequest(&device, buffer, sizeof(buffer), kCtlQueryDrive, 3));
    ASSERT_EQ(device.sent.size(), 24u);
    EXPECT_EQ(LoadLe32(&device.sent[0]), 0xABCD9527u);
    EXPECT_EQ(LoadLe32(&device.sent[4]), uint32_t(kCtlQueryDrive));
    EXPECT_EQ(LoadLe32(&device.sent[8]), 8u);
    EXPECT_EQ(LoadLe32(&device.sent[12]), 3u);
    EXPECT_EQ(device.sent[20], 0x5A);

    ASSERT_TRUE(SetDriveCount(&device, 5, true));
    ASSERT_EQ(device.sent.size(), 20u);
    EXPECT_EQ(LoadLe32(&device.sent[8]), 4u);
    EXPECT_EQ(device.sent[16], 5);
    EXPECT_EQ(device.sent[17], 1);
    EXPECT_FALSE(SetDriveCount(&device, 8, true));
}

TEST(DriverChannel, RepliesAreReadOnlyFromSuccessfulRequests) {
    FakeDriver driver;
    FakeDevice device(&driver, false, 0);
    driver.mounted[0] = true;
    driver.refuseFindFree = true;
    EXPECT_EQ(FindFreeDrive(&device), kNoDrive); // not drive 0
    driver.refuseFindFree = false;
    EXPECT_EQ(FindFreeDrive(&device), 1u);
    std::fill(std::begin(driver.mounted), std::end(driver.mounted), true);
    EXPECT_EQ(FindFreeDrive(&device), kNoDrive); // 7 means none free

    driver.overrideDriveCount = true;
    driver.driveCountReply = 9;
    EXPECT_EQ(GetDriveCount(&device), kMaxDrives);
    driver.driveCountReply = 4;
    EXPECT_EQ(GetDriveCount(&device), 4u);
    FakeDevice foreign(nullptr, false, 0);
    EXPECT_EQ(GetDriveCount(&foreign), 0u);

    EXPECT_TRUE(DriveHasImage(&device, 6));
    driver.mounted[6] = false;
    EXPECT_FALSE(DriveHasImage(&device, 6));
    EXPECT_FALSE(DriveHasImage(&device, 7));
}

TEST(DriverChannel, FindAdapterScansPortsAndRemembersTheNumber) {
    FakeDriver ours;
    FakeDriver silent; // a RaidPort that is some other controller: it refuses everything
    silent.layoutMountSize = 0;
    FakeNamespace devices;
    devices.dosDevices = {{L"C:", L"\\Device\\HarddiskVolume1"},
                          {L"Scsi0:", L"\\Device\\Ide\\IdePort0"},
                          {L"Scsi1:", L"\\Device\\RaidPort1"},
                          {L"ScsiX:", L"\\Device\\RaidPort9"},
                          {L"Scsi3:", L"\\DEVICE\\raidport3"}};
    devices.ports[L"\\\\.\\Scsi0:"] = &ours; // answers, but its target is no candidate
    devices.ports[L"\\\\.\\Scsi1:"] = &silent;
    devices.ports[L"\\\\.\\Scsi3:"] = &ours;
    DriverChannel channel(&devices);
    ASSERT_TRUE(channel.FindAdapter());
    EXPECT_EQ(channel.RememberedAdapter(), 3u);
    EXPECT_EQ(devices.listCalls, 1);
    EXPECT_EQ(std::count(devices.opened.begin(), devices.opened.end(), L"\\\\.\\Scsi0:"), 0);

    devices.opened.clear();
    ASSERT_TRUE(channel.FindAdapter());
    EXPECT_EQ(devices.listCalls, 1);
    ASSERT_EQ(devices.opened.size(), 1u);
    EXPECT_TRUE(devices.opened[0] == L"\\\\.\\Scsi3:");

    // Reinstalled under another port: the remembered number fails and the scan finds it.
    devices.ports.erase(L"\\\\.\\Scsi3:");
    devices.dosDevices.emplace_back(L"Scsi5:", L"\\Device\\Scsi\\vostrale1");
    devices.ports[L"\\\\.\\Scsi5:"] = &ours;
    ASSERT_TRUE(channel.FindAdapter());
    EXPECT_EQ(channel.RememberedAdapter(), 5u);
    EXPECT_EQ(devices.listCalls, 2);

    devices.ports.clear();
    EXPECT_FALSE(channel.FindAdapter());
    EXPECT_EQ(channel.RememberedAdapter(), kNoAdapterNumber);
}

TEST(DriverChannel, AdapterNeedsExactLayoutSizes) {
    FakeDriver driver;
    FakeNamespace devices;
    devices.AddAdapter(0, &driver);
    DriverChannel channel(&devices);
    driver.layoutTrackSize = 32;
    EXPECT_FALSE(channel.OpenAdapterByNumber(0));
    driver.layoutTrackSize = 24;
    EXPECT_TRUE(channel.OpenAdapterByNumber(0));
    EXPECT_FALSE(channel.OpenAdapterByNumber(1));
}

TEST(DriverChannel, ScsiPortNames) {
    struct Case {
        const wchar_t* name;
        bool ok;
        uint32_t number;
    } cases[] = {{L"Scsi0:", true, 0},
                 {L"Scsi12:", true, 12},
                 {L"scsi1:", false, 0},
                 {L"Scsi:", false, 0},
                 {L"Scsi1", false, 0},
                 {L"Scsi-1:", false, 0},
                 {L"Scsi99999999999:", false, 0},
                 {L"ScsiA:", false, 0}};
    for (const Case& c : cases) {
        uint32_t number = 77;
        EXPECT_EQ(ParseScsiPortName(c.name, &number), c.ok);
        if (c.ok) {
            EXPECT_EQ(number, c.number);
        }
    }
}

TEST(DriverChannel, OpenDriveByLetter) {
    FakeDriver driver;
    FakeNamespace devices;
    devices.letters[L'D'] = {kDriveCdRom, nullptr, 0}; // physical: no answer to the ping
    devices.letters[L'E'] = {kDriveCdRom, &driver, 3};
    devices.letters[L'F'] = {kDriveCdRom, &driver, 7};
    devices.letters[L'H'] = {3, &driver, 1}; // a fixed disk
    DriverChannel channel(&devices);
    DriveHandle e = channel.OpenDriveByLetter(L'E');
    ASSERT_TRUE(e);
    EXPECT_EQ(e.index, 3u);
    EXPECT_FALSE(channel.OpenDriveByLetter(L'D'));
    EXPECT_FALSE(channel.OpenDriveByLetter(L'F'));
    EXPECT_FALSE(channel.OpenDriveByLetter(L'H'));
    EXPECT_FALSE(channel.OpenDriveByLetter(L'e'));
    EXPECT_FALSE(channel.OpenDriveByLetter(L'['));
}

TEST(DriverChannel, VersionCheckMessages) {
    struct Case {
        bool adapter;
        uint8_t major, minor;
        bool passes;
        std::vector<std::wstring> texts;
    } cases[] = {
        {false, 1, 0, false, {L"No Driver Installed"}},
        {true, 1, 0, true, {}},
        {true, 1, 1, false, {L"1!=1, 1!=0 rs=1", L"Version mismatch"}},
        {true, 2, 0, false, {L"2!=1, 0!=0 rs=1", L"Version mismatch"}},
    };
    for (const Case& c : cases) {
        FakeDriver driver;
        driver.versionMajor = c.major;
        driver.versionMinor = c.minor;
        FakeNamespace devices;
        if (c.adapter)
            devices.AddAdapter(1, &driver);
        DriverChannel channel(&devices);
        FakeUi ui;
        EXPECT_EQ(CheckDriverVersion(&channel, &ui), c.passes);
        ASSERT_EQ(ui.messages.size(), c.texts.size());
        for (size_t i = 0; i < c.texts.size(); ++i)
            EXPECT_TRUE(ui.messages[i].text == c.texts[i]) << i;
        if (c.texts.size() == 2) {
            EXPECT_FALSE(ui.messages[0].hasCaption);
            EXPECT_TRUE(ui.messages[1].caption == L"Vostrale");
            EXPECT_EQ(ui.messages[1].icon, MessageIcon::Stop);
        }
    }
}

// A driver that accepts the adapter checks but refuses GetVersion.
class NoVersionDevice final : public Device {
  public:
    bool Control(void* buffer, uint32_t size) override {
        auto* bytes = static_cast<uint8_t*>(buffer);
        if (LoadLe32(bytes + 4) == kCtlGetVersion)
            return false;
        return driver.Handle(bytes, size);
    }
    bool GetScsiAddress(ScsiAddress*) override { return false; }
    bool EjectMedia() override { return false; }
    bool LoadMedia() override { return false; }
    FakeDriver driver;
};

class NoVersionNamespace final : public DeviceNamespace {
  public:
    bool ListDosDevices(std::vector<std::wstring>* names) override {
        *names = {L"Scsi0:"};
        return true;
    }
    bool QueryDosTarget(const std::wstring&, std::wstring* target) override {
        *target = L"\\Device\\RaidPort0";
        return true;
    }
    std::unique_ptr<Device> Open(const std::wstring&) override {
        return std::make_unique<NoVersionDevice>();
    }
    uint32_t DriveType(wchar_t) override { return 1; }
};

TEST(DriverChannel, RefusedVersionRequestFails) {
    NoVersionNamespace devices;
    DriverChannel channel(&devices);
    FakeUi ui;
    EXPECT_FALSE(CheckDriverVersion(&channel, &ui));
    ASSERT_EQ(ui.messages.size(), 2u);
    EXPECT_TRUE(ui.messages[0].text == L"0!=1, 0!=0 rs=0");
}

} // namespace
} // namespace vostrale::app::test
