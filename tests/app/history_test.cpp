#include "app/history.h"

#include "app/mount.h"
#include "app/text.h"
#include "tests/app/fakes.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include "app/win32/win32_services.h"
#include <windows.h>
#endif

namespace vostrale::app::test {
namespace {

std::wstring ImageName(int i) {
    return L"C:\\images\\disc" + std::to_wstring(i) + L".iso";
}

// History behaviour every MRU implementation must give through our reader.
void CheckHistory(MruStore* history) {
    for (int i = 0; i < 17; ++i)
        ASSERT_TRUE(AddHistory(history, ImageName(i)));
    std::vector<std::wstring> entries = ReadHistory(history, kMaxPath);
    ASSERT_EQ(entries.size(), size_t(kHistoryEntries));
    EXPECT_TRUE(entries.front() == ImageName(16));
    EXPECT_TRUE(entries.back() == ImageName(1)); // the oldest of seventeen has gone

    ASSERT_TRUE(AddHistory(history, ImageName(5)));
    entries = ReadHistory(history, kMaxPath);
    ASSERT_EQ(entries.size(), size_t(kHistoryEntries));
    EXPECT_TRUE(entries[0] == ImageName(5));
    EXPECT_TRUE(entries[1] == ImageName(16));
    EXPECT_EQ(std::count(entries.begin(), entries.end(), ImageName(5)), 1);

    // A path of the longest accepted length comes back whole and terminated.
    std::wstring longest = L"C:\\" + std::wstring(kMaxPath - 8, L'n') + L".iso";
    ASSERT_EQ(longest.size(), kMaxPath - 1);
    ASSERT_TRUE(AddHistory(history, longest));
    entries = ReadHistory(history, kMaxPath);
    ASSERT_FALSE(entries.empty());
    EXPECT_TRUE(entries[0] == longest);
    EXPECT_TRUE(entries[1] == ImageName(5));
    // The menu reads 256 characters: an entry that does not fit is left out, never cut.
    entries = ReadHistory(history, kHistoryMenuChars);
    ASSERT_FALSE(entries.empty());
    EXPECT_TRUE(entries[0] == ImageName(5));
}

TEST(History, WindowsListRules) {
    FakeMru history(FakeMru::Quirks::Windows);
    CheckHistory(&history);
}

TEST(History, WineListRules) {
    FakeMru history(FakeMru::Quirks::Wine);
    CheckHistory(&history);
}

TEST(Statistics, OnlyDrivesZeroToSix) {
    FakeRegistry registry;
    EXPECT_TRUE(SetDriveImage(&registry, 6, L"C:\\a.iso"));
    EXPECT_FALSE(SetDriveImage(&registry, 7, L"C:\\a.iso"));
    EXPECT_FALSE(registry.Has(kStatKey, L"7"));
    std::wstring path;
    ASSERT_TRUE(GetDriveImage(&registry, 6, &path));
    auto& raw = registry.values.at({RegistryRoot::CurrentUser, L"software\\vostrale\\stat", L"6"});
    EXPECT_EQ(raw.type, kRegSz);
    EXPECT_EQ(raw.data.size(), (path.size() + 1) * 2);
    // A value of another type is no image.
    uint32_t number = 5;
    registry.SetValue(RegistryRoot::CurrentUser, kStatKey, L"2", kRegDword, &number, 4);
    EXPECT_FALSE(GetDriveImage(&registry, 2, &path));
}

TEST(Remount, PutsRecordedImagesIntoEmptyDrives) {
    Harness h;
    h.driver.driveCount = 4;
    h.system.AddFile(L"C:\\zero.iso");
    h.system.AddFile(L"C:\\two.iso");
    h.system.AddFolder(L"C:\\folder");
    SetDriveImage(&h.registry, 0, L"C:\\zero.iso");
    SetDriveImage(&h.registry, 1, L"C:\\deleted.iso"); // file gone: skipped
    SetDriveImage(&h.registry, 2, L"C:\\two.iso");     // drive already holds an image: kept
    SetDriveImage(&h.registry, 3, L"C:\\folder");      // a folder is no image
    SetDriveImage(&h.registry, 5, L"C:\\zero.iso");    // beyond the drive count
    h.driver.mounted[2] = true;
    RemountAll(*h.ctx);
    EXPECT_EQ(h.driver.mountDrives, std::vector<uint32_t>{0});
    ASSERT_EQ(g_opener.paths.size(), 1u);
    EXPECT_TRUE(g_opener.paths[0] == L"C:\\zero.iso");
}

TEST(Remount, DriveCountFromTheDriverIsCapped) {
    Harness h;
    h.driver.driveCount = 7;
    h.driver.overrideDriveCount = true;
    h.driver.driveCountReply = 200;
    h.system.AddFile(L"C:\\a.iso");
    for (uint32_t i = 0; i < kMaxDrives; ++i)
        SetDriveImage(&h.registry, i, L"C:\\a.iso");
    RemountAll(*h.ctx);
    EXPECT_EQ(h.driver.mountDrives.size(), size_t(kMaxDrives));
    // No request named a drive the driver cannot have.
    for (uint32_t value : h.driver.values)
        EXPECT_LT(value, kMaxDrives);
}

TEST(Remount, NothingWithoutTheStatisticsKey) {
    Harness h;
    RemountAll(*h.ctx);
    EXPECT_EQ(h.devices.listCalls, 0); // the adapter is not even looked for
    EXPECT_TRUE(h.driver.codes.empty());
}

TEST(Remount, OneDrive) {
    Harness h;
    h.devices.letters[L'E'] = {kDriveCdRom, &h.driver, 1};
    h.system.AddFile(L"C:\\a.iso");
    SetDriveImage(&h.registry, 1, L"C:\\a.iso");
    RemountDrive(*h.ctx, h.ctx->channel.OpenDriveByLetter(L'E'));
    EXPECT_EQ(h.driver.mountDrives, std::vector<uint32_t>{1});
    RemountDrive(*h.ctx, h.ctx->channel.OpenDriveByLetter(L'E')); // now it holds one
    EXPECT_EQ(h.driver.mountDrives.size(), 1u);
}

#ifdef _WIN32
// The shell's own list functions over Wine's registry.
TEST(Win32History, ShellListThroughOrdinals) {
    RegDeleteTreeW(HKEY_CURRENT_USER, L"SOFTWARE\\Vostrale\\History");
    Win32MruStore history;
    ASSERT_TRUE(history.Available());
    CheckHistory(&history);
    // The list's own order record names the newest entry first.
    Win32Registry registry;
    std::wstring order;
    ASSERT_TRUE(
        ReadStringValue(&registry, RegistryRoot::CurrentUser, kHistoryKey, L"MRUList", 32, &order));
    EXPECT_EQ(order.size(), size_t(kHistoryEntries));
    RegDeleteTreeW(HKEY_CURRENT_USER, L"SOFTWARE\\Vostrale");
}
#endif

} // namespace
} // namespace vostrale::app::test
