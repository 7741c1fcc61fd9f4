// The thin Win32 implementations themselves, under Wine.
#ifdef _WIN32
#include "app/command_line.h"
#include "app/driver_channel.h"
#include "app/win32/win32_services.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <windows.h>

namespace vostrale::app::test {
namespace {

TEST(Win32Services, DosDevicesAndNoAdapter) {
    Win32DeviceNamespace devices;
    std::vector<std::wstring> names;
    ASSERT_TRUE(devices.ListDosDevices(&names));
    EXPECT_NE(std::find(names.begin(), names.end(), L"C:"), names.end());
    std::wstring target;
    EXPECT_TRUE(devices.QueryDosTarget(L"C:", &target));
    EXPECT_FALSE(target.empty());
    EXPECT_FALSE(devices.Open(L"\\\\.\\Scsi0:"));
    DriverChannel channel(&devices);
    EXPECT_FALSE(channel.FindAdapter());
    EXPECT_FALSE(channel.OpenDriveByLetter(L'C')); // a fixed disk, not a drive of ours
}

TEST(Win32Services, PathsThroughTheRealCalls) {
    std::filesystem::path folder = std::filesystem::temp_directory_path() / "vostrale_win32_paths";
    std::filesystem::create_directories(folder / "sub.iso");
    std::ofstream(folder / "disc.iso") << "x";
    Win32System system;
    std::wstring out;
    ASSERT_TRUE(NormaliseImagePath(&system, (folder / "disc.iso").wstring(), &out));
    EXPECT_TRUE(std::filesystem::equivalent(out, folder / "disc.iso"));
    EXPECT_FALSE(NormaliseImagePath(&system, (folder / "sub.iso").wstring(), &out)); // a folder
    EXPECT_FALSE(NormaliseImagePath(&system, (folder / "none.iso").wstring(), &out));
    EXPECT_FALSE(NormaliseImagePath(&system, L"", &out));
    // Too small a buffer: the size needed comes back, which is never taken as a length.
    wchar_t small[4] = {L'k', L'k', L'k', 0};
    uint32_t needed = system.FullPathName((folder / "disc.iso").wstring(), small, 4);
    EXPECT_GT(needed, 4u);
    EXPECT_EQ(small[0], L'k');
    std::filesystem::remove_all(folder);
}

TEST(Win32Services, SecondMutexMeansAnotherInstance) {
    Win32TrayHost first(GetModuleHandleW(nullptr), nullptr);
    Win32TrayHost second(GetModuleHandleW(nullptr), nullptr);
    EXPECT_EQ(first.CreateInstanceMutex(), MutexResult::Created);
    EXPECT_EQ(second.CreateInstanceMutex(), MutexResult::AlreadyRunning);
    second.Shutdown();
    first.Shutdown();
}

} // namespace
} // namespace vostrale::app::test
#endif
