// Persistent settings in the current user's registry: the Config word, the install folder and
// the Run value, plus the checked readers every registry value of the program goes through.
#pragma once

#include "app/interfaces.h"

#include <cstdint>
#include <string>

namespace vostrale::app {

inline constexpr const wchar_t* kSettingsKey = L"SOFTWARE\\Vostrale";
inline constexpr const wchar_t* kStatKey = L"SOFTWARE\\Vostrale\\Stat";
inline constexpr const wchar_t* kHistoryKey = L"SOFTWARE\\Vostrale\\History";
inline constexpr const wchar_t* kRunKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr const wchar_t* kConfigValue = L"Config";
inline constexpr const wchar_t* kInstallDirValue = L"InstallDir";
inline constexpr const wchar_t* kRunValue = L"Vostrale";

constexpr uint32_t kConfigDefault = 0x160;
constexpr uint32_t kConfigRemount = 0x10; // remount recorded images at start and on arrival
constexpr uint32_t kConfigArrival = 0x80; // look at drive-arrival notifications

struct Settings {
    uint8_t flag = 1;
    uint32_t config = kConfigDefault;
};

// A REG_DWORD of exactly 4 bytes; anything else is no value.
bool ReadDwordValue(Registry* registry, RegistryRoot root, const std::wstring& key,
                    const std::wstring& name, uint32_t* value);
// A REG_SZ of at most `maxChars` characters (terminator included); terminated here, since the
// registry does not promise it. Longer values and other types are no value.
bool ReadStringValue(Registry* registry, RegistryRoot root, const std::wstring& key,
                     const std::wstring& name, size_t maxChars, std::wstring* value);
// REG_SZ with the terminating NUL counted in the size.
bool WriteStringValue(Registry* registry, RegistryRoot root, const std::wstring& key,
                      const std::wstring& name, const std::wstring& value);

void LoadConfig(Registry* registry, Settings* settings);
void SaveConfig(Registry* registry, const Settings& settings);

// The program file's folder without the trailing backslash.
std::wstring ProgramFolder(System* system);
// "\"<program path>\"".
std::wstring QuotedProgramPath(System* system);

bool GetInstallDir(Registry* registry, std::wstring* out);
void SetInstallDir(Registry* registry, System* system);
void DeleteInstallDir(Registry* registry);

void SetRunAtLogon(Registry* registry, System* system, bool on);
// Whether the stored Run value names this program file (case ignored). A readable value is
// rewritten with the current path, so a moved program keeps starting from its new place.
bool RefreshRunAtLogon(Registry* registry, System* system);

} // namespace vostrale::app
