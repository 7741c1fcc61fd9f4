// The updater's start under Wine: the test binary stands in for "sparkle.exe" and writes out
// the block it found in its start-up information.
#include "app/context.h"
#include "app/update_check.h"
#include "app/win32/associations_win32.h"
#include "app/win32/update_check_win32.h"
#include "tests/app/fakes.h"
#include "tests/app_settings/child_modes.h"
#include "tests/app_settings/win32_helpers.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace vostrale::app::test {
namespace {

// Runs `start` with the stand-in's output set and returns what the child received.
std::string ReceivedBlock(const UpdaterStart& start, bool* launched) {
    std::wstring out = TempFolder() + L"updater block.bin";
    DeleteFileW(out.c_str());
    SetEnvironmentVariableW(kStartupVariable, out.c_str());
    *launched = LaunchUpdater(start);
    SetEnvironmentVariableW(kStartupVariable, nullptr);
    // The updater is not waited for: the file appears when the child is done.
    for (int i = 0; i < 300 && GetFileAttributesW(out.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
        Sleep(100);
    std::string bytes = ReadWholeFile(out);
    DeleteFileW(out.c_str());
    return bytes;
}

TEST(Updater, ChildReceivesTheBlockByteForByte) {
    UpdaterStart start;
    start.application = ThisProgram();
    start.commandLine = L"\"" + start.application + L"\"";
    start.block = BuildUpdaterBlock(kUpdateProductName, kUpdateApplicationName, L"vostrale.exe",
                                    {L"https://a.example/update_vostrale.txt"}, true);
    ASSERT_FALSE(start.block.empty());
    bool launched = false;
    std::string got = ReceivedBlock(start, &launched);
    ASSERT_TRUE(launched);
    EXPECT_EQ(got, std::string(start.block.begin(), start.block.end()));
}

TEST(Updater, DailyCheckStartsTheUpdaterBesideTheProgramOncePerDay) {
    // A program folder with a blank in its name holding the stand-in as "sparkle.exe".
    std::wstring folder = TempFolder() + L"update test folder";
    CreateDirectoryW(folder.c_str(), nullptr);
    std::wstring updater = folder + L"\\sparkle.exe";
    ASSERT_TRUE(CopyFileW(ThisProgram().c_str(), updater.c_str(), FALSE));
    FakeRegistry registry;
    ProgramAtSystem system(folder + L"\\vostrale.exe");
    Services services;
    services.registry = &registry;
    services.system = &system;
    AppContext ctx(services);

    std::wstring out = TempFolder() + L"updater block.bin";
    DeleteFileW(out.c_str());
    SetEnvironmentVariableW(kStartupVariable, out.c_str());
    // Wine runs programs elevated, where the automatic check stays away; the user's own check
    // (not forced) follows the same daily rule.
    if (ProcessIsElevated()) {
        RunUpdateCheck(ctx, false, true);
        EXPECT_EQ(registry.writes, 0);
    }
    RunUpdateCheck(ctx, false, false);
    for (int i = 0; i < 300 && GetFileAttributesW(out.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
        Sleep(100);
    std::string first = ReadWholeFile(out);
    DeleteFileW(out.c_str());
    RunUpdateCheck(ctx, false, false); // the same day: nothing starts
    Sleep(2000);
    bool secondRan = GetFileAttributesW(out.c_str()) != INVALID_FILE_ATTRIBUTES;
    SetEnvironmentVariableW(kStartupVariable, nullptr);

    std::vector<uint8_t> expected =
        BuildUpdaterBlock(kUpdateProductName, kUpdateApplicationName, L"vostrale.exe",
                          {std::begin(kUpdateFeedUrls), std::end(kUpdateFeedUrls)}, false);
    EXPECT_EQ(first, std::string(expected.begin(), expected.end()));
    EXPECT_FALSE(secondRan);
    uint32_t stored = 0;
    EXPECT_TRUE(ReadDwordValue(&registry, RegistryRoot::CurrentUser, kLastUpdateKey,
                               kLastUpdateValue, &stored));
    EXPECT_EQ(stored, DayNumber(uint64_t(time(nullptr))));

    // Without the updater the check fails silently (and still counts as today's).
    DeleteFileW(updater.c_str());
    RemoveDirectoryW(folder.c_str());
    UpdaterStart missing;
    missing.application = updater;
    missing.commandLine = L"\"" + updater + L"\"";
    missing.block = expected;
    EXPECT_FALSE(LaunchUpdater(missing));
}

} // namespace
} // namespace vostrale::app::test
