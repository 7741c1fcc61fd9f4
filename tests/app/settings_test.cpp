#include "app/settings.h"

#include "app/text.h"
#include "tests/app/fakes.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include "app/win32/win32_services.h"
#include <windows.h>
#endif

namespace vostrale::app::test {
namespace {

void SetRaw(Registry* registry, const std::wstring& key, const std::wstring& name, uint32_t type,
            std::vector<uint8_t> data) {
    registry->SetValue(RegistryRoot::CurrentUser, key, name, type, data.data(),
                       uint32_t(data.size()));
}

struct ConfigCase {
    const char* name;
    bool present;
    uint32_t type;
    std::vector<uint8_t> data;
    uint32_t expected;
};

const ConfigCase kConfigCases[] = {
    {"Missing", false, 0, {}, 0x160},
    {"Dword", true, kRegDword, {0x10, 0, 0, 0}, 0x10},
    {"StringOne", true, kRegSz, {'1', 0, 0, 0}, 0x160}, // four bytes, but text
    {"BinaryFourBytes", true, kRegBinary, {0x10, 0, 0, 0}, 0x160},
    {"ShortDword", true, kRegDword, {0x10, 0}, 0x160},
    {"EightBytes", true, 11, {0x10, 0, 0, 0, 0, 0, 0, 0}, 0x160},
    {"LongDword", true, kRegDword, {0x10, 0, 0, 0, 0}, 0x160},
};

// Runs every case through a registry: the fake natively, and Wine's own registry as well.
void CheckConfigCases(Registry* registry, void (*clear)(Registry*)) {
    for (const ConfigCase& c : kConfigCases) {
        clear(registry);
        if (c.present)
            SetRaw(registry, kSettingsKey, kConfigValue, c.type, c.data);
        Settings settings;
        LoadConfig(registry, &settings);
        EXPECT_EQ(settings.config, c.expected) << c.name;
        EXPECT_EQ(settings.flag, 1) << c.name;
    }
    clear(registry);
    Settings saved;
    saved.config = 0x1F0;
    SaveConfig(registry, saved);
    Settings loaded;
    LoadConfig(registry, &loaded);
    EXPECT_EQ(loaded.config, 0x1F0u);
}

TEST(Settings, ConfigOnlyFromAFourByteDword) {
    FakeRegistry registry;
    CheckConfigCases(&registry, [](Registry* r) { static_cast<FakeRegistry*>(r)->values.clear(); });
}

TEST(Settings, StringsAreTerminatedHereAndMustBeRegSz) {
    FakeRegistry registry;
    std::wstring value;
    // No terminator stored: the reader must stop at the value's size, not run on.
    SetRaw(&registry, kSettingsKey, L"T", kRegSz, {'a', 0, 'b', 0, 'c', 0});
    ASSERT_TRUE(
        ReadStringValue(&registry, RegistryRoot::CurrentUser, kSettingsKey, L"T", 8, &value));
    EXPECT_TRUE(value == L"abc");
    // Exactly the limit without a terminator still ends inside our buffer.
    SetRaw(&registry, kSettingsKey, L"T", kRegSz, {'a', 0, 'b', 0, 'c', 0, 'd', 0});
    ASSERT_TRUE(
        ReadStringValue(&registry, RegistryRoot::CurrentUser, kSettingsKey, L"T", 4, &value));
    EXPECT_TRUE(value == L"abcd");
    // Longer than the limit: no value (never a cut one).
    EXPECT_FALSE(
        ReadStringValue(&registry, RegistryRoot::CurrentUser, kSettingsKey, L"T", 3, &value));
    SetRaw(&registry, kSettingsKey, L"T", 2 /* REG_EXPAND_SZ */, {'a', 0, 0, 0});
    EXPECT_FALSE(
        ReadStringValue(&registry, RegistryRoot::CurrentUser, kSettingsKey, L"T", 8, &value));
    SetRaw(&registry, kSettingsKey, L"T", kRegSz, {'x', 0, 0}); // odd size
    ASSERT_TRUE(
        ReadStringValue(&registry, RegistryRoot::CurrentUser, kSettingsKey, L"T", 8, &value));
    EXPECT_TRUE(value == L"x");
}

TEST(Settings, InstallDir) {
    FakeRegistry registry;
    FakeSystem system;
    EXPECT_FALSE(GetInstallDir(&registry, nullptr));
    registry.SetString(kSettingsKey, kInstallDirValue, L"");
    EXPECT_FALSE(GetInstallDir(&registry, nullptr));
    SetInstallDir(&registry, &system);
    std::wstring folder;
    ASSERT_TRUE(GetInstallDir(&registry, &folder));
    EXPECT_TRUE(folder == L"C:\\Program Files\\Vostrale");
    DeleteInstallDir(&registry);
    EXPECT_FALSE(GetInstallDir(&registry, nullptr));
}

TEST(Settings, RunAtLogon) {
    FakeSystem system;
    const std::wstring current = L"\"C:\\Program Files\\Vostrale\\vostrale.exe\"";
    struct Case {
        const char* name;
        bool present;
        std::wstring stored;
        bool expected;
        bool rewritten;
    } cases[] = {
        {"Missing", false, L"", false, false},
        {"Same", true, current, true, true},
        {"OtherCase", true, L"\"c:\\PROGRAM FILES\\vostrale\\VOSTRALE.EXE\"", true, true},
        {"Moved", true, L"\"D:\\Old\\vostrale.exe\"", false, true},
        // A quoted path of the longest length is read whole, not cut and compared short.
        {"LongestQuoted", true, L"\"C:\\" + std::wstring(kMaxPath - 4, L'x') + L"\"", false, true},
    };
    for (const Case& c : cases) {
        FakeRegistry registry;
        if (c.present)
            registry.SetString(kRunKey, kRunValue, c.stored);
        int writesBefore = registry.writes;
        EXPECT_EQ(RefreshRunAtLogon(&registry, &system), c.expected) << c.name;
        EXPECT_EQ(registry.writes > writesBefore, c.rewritten) << c.name;
        std::wstring now;
        if (c.rewritten) {
            ASSERT_TRUE(registry.GetString(kRunKey, kRunValue, &now));
            EXPECT_TRUE(now == current) << c.name;
        }
    }
    FakeRegistry registry;
    SetRunAtLogon(&registry, &system, true);
    auto& stored =
        registry.values.at({RegistryRoot::CurrentUser,
                            L"software\\microsoft\\windows\\currentversion\\run", L"vostrale"});
    EXPECT_EQ(stored.type, kRegSz);
    EXPECT_EQ(stored.data.size(), (current.size() + 1) * 2); // both quotes and the NUL
    SetRunAtLogon(&registry, &system, false);
    EXPECT_FALSE(registry.Has(kRunKey, kRunValue));
}

TEST(Settings, LongestQuotedRunValueMatches) {
    // The program itself at a path of the longest length: its quoted form must compare equal.
    class LongSystem final : public System {
      public:
        uint32_t FullPathName(const std::wstring&, wchar_t*, uint32_t) override { return 0; }
        uint32_t LongPathName(const std::wstring&, wchar_t*, uint32_t) override { return 0; }
        uint32_t FileAttributes(const std::wstring&) override { return kInvalidAttributes; }
        bool RemoveFile(const std::wstring&) override { return false; }
        std::wstring ErrorText(uint32_t) override { return L""; }
        std::wstring ProgramPath() override { return L"C:\\" + std::wstring(kMaxPath - 4, L'p'); }
        uint32_t ProcessId() override { return 1; }
        uint32_t ThreadId() override { return 1; }
        std::filesystem::path LogPath() override { return {}; }
    } system;
    FakeRegistry registry;
    SetRunAtLogon(&registry, &system, true);
    EXPECT_TRUE(RefreshRunAtLogon(&registry, &system));
}

#ifdef _WIN32
void ClearWineSettings(Registry*) {
    RegDeleteTreeW(HKEY_CURRENT_USER, L"SOFTWARE\\Vostrale");
}

TEST(Win32Registry, ConfigThroughTheRealRegistry) {
    Win32Registry registry;
    CheckConfigCases(&registry, ClearWineSettings);
    ClearWineSettings(nullptr);
}

TEST(Win32Registry, RunValueRoundTrip) {
    Win32Registry registry;
    Win32System system;
    SetRunAtLogon(&registry, &system, true);
    EXPECT_TRUE(RefreshRunAtLogon(&registry, &system));
    std::wstring value;
    ASSERT_TRUE(ReadStringValue(&registry, RegistryRoot::CurrentUser, kRunKey, kRunValue,
                                kMaxPath + 2, &value));
    EXPECT_TRUE(value == QuotedProgramPath(&system));
    SetRunAtLogon(&registry, &system, false);
    EXPECT_FALSE(RefreshRunAtLogon(&registry, &system));
}
#endif

} // namespace
} // namespace vostrale::app::test
