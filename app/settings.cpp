#include "app/settings.h"

#include "app/text.h"

#include <vector>

namespace vostrale::app {

bool ReadDwordValue(Registry* registry, RegistryRoot root, const std::wstring& key,
                    const std::wstring& name, uint32_t* value) {
    uint8_t data[4] = {};
    uint32_t type = 0;
    uint32_t size = sizeof(data);
    if (registry->QueryValue(root, key, name, &type, data, &size) != 0)
        return false;
    if (type != kRegDword || size != sizeof(data))
        return false;
    *value = uint32_t(data[0]) | (uint32_t(data[1]) << 8) | (uint32_t(data[2]) << 16) |
             (uint32_t(data[3]) << 24);
    return true;
}

bool ReadStringValue(Registry* registry, RegistryRoot root, const std::wstring& key,
                     const std::wstring& name, size_t maxChars, std::wstring* value) {
    // One character more than offered to the registry, so a full value still ends in NUL.
    std::vector<uint8_t> data((maxChars + 1) * 2, 0);
    uint32_t type = 0;
    uint32_t size = uint32_t(maxChars * 2);
    if (registry->QueryValue(root, key, name, &type, data.data(), &size) != 0)
        return false;
    if (type != kRegSz || size > maxChars * 2)
        return false;
    *value = FromUtf16Bytes(data.data(), size);
    return true;
}

bool WriteStringValue(Registry* registry, RegistryRoot root, const std::wstring& key,
                      const std::wstring& name, const std::wstring& value) {
    std::vector<uint8_t> bytes = Utf16Bytes(value, true);
    return registry->SetValue(root, key, name, kRegSz, bytes.data(), uint32_t(bytes.size())) == 0;
}

void LoadConfig(Registry* registry, Settings* settings) {
    uint32_t config = 0;
    if (ReadDwordValue(registry, RegistryRoot::CurrentUser, kSettingsKey, kConfigValue, &config))
        settings->config = config;
}

void SaveConfig(Registry* registry, const Settings& settings) {
    uint8_t data[4] = {uint8_t(settings.config), uint8_t(settings.config >> 8),
                       uint8_t(settings.config >> 16), uint8_t(settings.config >> 24)};
    registry->SetValue(RegistryRoot::CurrentUser, kSettingsKey, kConfigValue, kRegDword, data,
                       sizeof(data));
}

std::wstring ProgramFolder(System* system) {
    std::wstring path = system->ProgramPath();
    size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring QuotedProgramPath(System* system) {
    return L"\"" + system->ProgramPath() + L"\"";
}

bool GetInstallDir(Registry* registry, std::wstring* out) {
    std::wstring folder;
    if (!ReadStringValue(registry, RegistryRoot::CurrentUser, kSettingsKey, kInstallDirValue,
                         kMaxPath, &folder) ||
        folder.empty())
        return false;
    if (out)
        *out = folder;
    return true;
}

void SetInstallDir(Registry* registry, System* system) {
    std::wstring folder = ProgramFolder(system);
    if (!folder.empty())
        WriteStringValue(registry, RegistryRoot::CurrentUser, kSettingsKey, kInstallDirValue,
                         folder);
}

void DeleteInstallDir(Registry* registry) {
    registry->DeleteValue(RegistryRoot::CurrentUser, kSettingsKey, kInstallDirValue);
}

void SetRunAtLogon(Registry* registry, System* system, bool on) {
    if (on)
        WriteStringValue(registry, RegistryRoot::CurrentUser, kRunKey, kRunValue,
                         QuotedProgramPath(system));
    else
        registry->DeleteValue(RegistryRoot::CurrentUser, kRunKey, kRunValue);
}

bool RefreshRunAtLogon(Registry* registry, System* system) {
    // Room for a full path between two quotes and the terminator.
    constexpr size_t kRunValueChars = kMaxPath + 2;
    std::wstring stored;
    if (!ReadStringValue(registry, RegistryRoot::CurrentUser, kRunKey, kRunValue, kRunValueChars,
                         &stored))
        return false;
    std::wstring current = QuotedProgramPath(system);
    WriteStringValue(registry, RegistryRoot::CurrentUser, kRunKey, kRunValue, current);
    return EqualNoCase(stored, current);
}

} // namespace vostrale::app
