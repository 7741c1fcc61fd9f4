#include "app/system_report.h"

#include "app/report_text.h"

#include <charconv>
#include <cstring>

namespace vostrale::app {

namespace {

const wchar_t* const kUninstallKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const wchar_t* const kProcessorKey = L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
constexpr uint32_t kUninstallValueBytes = 1024;
constexpr uint32_t kProcessorValueBytes = 256;
constexpr size_t kMaxSubKeyName = 512;

std::string FormatFixed(float value, int precision, const char* unit) {
    char buffer[64];
    auto r = std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::fixed,
                           precision);
    if (r.ec != std::errc())
        return {};
    return std::string(buffer, r.ptr) + unit;
}

bool ValueExists(MachineRegistry* registry, const std::wstring& key, RegistryView view,
                 const wchar_t* name) {
    uint32_t type = 0, size = 0;
    uint32_t rc = registry->QueryValue(key, view, name, &type, nullptr, &size);
    return rc == 0 || rc == 234;
}

void AddSoftware(XmlElement* parent, MachineRegistry* registry, RegistryView view) {
    std::vector<std::wstring> names;
    if (!registry->SubKeys(kUninstallKey, view, &names))
        return;
    for (const std::wstring& name : names) {
        if (name.empty() || name.size() > kMaxSubKeyName)
            continue;
        std::wstring key = std::wstring(kUninstallKey) + L"\\" + name;
        if (ValueExists(registry, key, view, L"AuthorizedCDFPrefix"))
            continue;
        std::wstring text;
        if (ReadRegistryString(registry, key, view, L"", kUninstallValueBytes, &text) &&
            text.compare(0, 2, L"KB") == 0)
            continue; // an update, not a program
        std::wstring displayName, version, location;
        if (!ValueExists(registry, key, view, L"UninstallString") ||
            !ReadRegistryString(registry, key, view, L"DisplayName", kUninstallValueBytes,
                                &displayName))
            continue;
        ReadRegistryString(registry, key, view, L"DisplayVersion", kUninstallValueBytes, &version);
        ReadRegistryString(registry, key, view, L"InstallLocation", kUninstallValueBytes,
                           &location);
        XmlElement* e = parent->AddChild("software");
        if (!e)
            return;
        e->SetAttribute("description", Utf8FromUtf16(displayName));
        e->SetAttribute("version", Utf8FromUtf16(version));
        e->SetAttribute("location", Utf8FromUtf16(location));
        e->SetText(Utf8FromUtf16(name));
    }
}

bool ParseDecimal(const std::wstring& text, int64_t* value) {
    if (text.empty() || text.size() > 18)
        return false;
    int64_t v = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return false;
        v = v * 10 + (c - L'0');
    }
    *value = v;
    return true;
}

} // namespace

bool ReadRegistryString(MachineRegistry* registry, const std::wstring& key, RegistryView view,
                        const std::wstring& name, uint32_t maxBytes, std::wstring* out) {
    out->clear();
    // Room for the value and a terminator the registry does not promise.
    std::vector<uint8_t> buffer(size_t(maxBytes) + 2, 0);
    uint32_t type = 0, size = maxBytes;
    if (registry->QueryValue(key, view, name, &type, buffer.data(), &size) != 0)
        return false;
    if ((type != 1 && type != kRegExpandSz) || size > maxBytes)
        return false;
    for (uint32_t i = 0; i + 1 < size; i += 2) {
        wchar_t c = wchar_t(buffer[i] | (buffer[i + 1] << 8));
        if (c == 0)
            break;
        out->push_back(c);
    }
    return true;
}

std::vector<std::wstring> LogicalDrives(MachineFacts* facts) {
    std::vector<wchar_t> buffer(26 * 4 + 1, 0); // "X:\" and a NUL for each drive, and the end
    uint32_t n = facts->LogicalDriveStrings(uint32_t(buffer.size()), buffer.data());
    for (int attempt = 0; attempt < 3 && n >= buffer.size(); ++attempt) {
        buffer.assign(size_t(n) + 1, 0);
        n = facts->LogicalDriveStrings(uint32_t(buffer.size()), buffer.data());
    }
    std::vector<std::wstring> roots;
    if (n == 0 || n >= buffer.size())
        return roots;
    for (size_t i = 0; i < n;) {
        size_t len = 0;
        while (i + len < n && buffer[i + len] != 0)
            ++len;
        if (len == 0)
            break;
        roots.emplace_back(buffer.data() + i, len);
        i += len + 1;
    }
    return roots;
}

std::string FormatMegabytes(uint64_t bytes) {
    return FormatFixed(float(bytes) / 1024.0f / 1024.0f, 1, " MB");
}

std::string FormatGigabytes(uint64_t bytes) {
    return FormatFixed(float(bytes) / 1024.0f / 1024.0f / 1024.0f, 2, " GB");
}

void BuildSystemDocument(XmlDocument* doc, MachineRegistry* registry, MachineFacts* facts) {
    doc->SetByteOrderMark(true);
    doc->SetDeclaration("1.0", "UTF-8");
    XmlElement* root = doc->AddElement("crashrpt");
    if (!root)
        return;
    XmlElement* software = root->AddChild("software_info");
    XmlElement* hardware = root->AddChild("hardware_info");
    XmlElement* disks = root->AddChild("disk_info");
    if (!software || !hardware || !disks)
        return;

    software->SetIntAttribute("systemlcid", facts->SystemLocale());
    software->SetIntAttribute("userlcid", facts->UserLocale());
    if (facts->HasWow64View()) {
        AddSoftware(software, registry, RegistryView::Bits64);
        AddSoftware(software, registry, RegistryView::Bits32);
    } else {
        AddSoftware(software, registry, RegistryView::Default);
    }

    if (XmlElement* cpu = hardware->AddChild("cpu")) {
        std::wstring name;
        if (ReadRegistryString(registry, kProcessorKey, RegistryView::Default,
                               L"ProcessorNameString", kProcessorValueBytes, &name) ||
            ReadRegistryString(registry, kProcessorKey, RegistryView::Default, L"Identifier",
                               kProcessorValueBytes, &name))
            cpu->SetText(Utf8FromUtf16(name));
        std::wstring count;
        int64_t value = 0;
        if (facts->Environment(L"NUMBER_OF_PROCESSORS", &count) && ParseDecimal(count, &value))
            cpu->SetIntAttribute("number", value);
    }
    uint64_t total = 0, available = 0;
    if (facts->Memory(&total, &available)) {
        if (XmlElement* memory = hardware->AddChild("memory")) {
            memory->SetAttribute("size", FormatMegabytes(total));
            memory->SetAttribute("available", FormatMegabytes(available));
        }
    }

    for (const std::wstring& drive : LogicalDrives(facts)) {
        uint32_t type = facts->DriveType(drive);
        if (type != kDriveFixed && type != kDriveRamDisk)
            continue;
        XmlElement* item = disks->AddChild("item");
        if (!item)
            return;
        VolumeFacts volume;
        if (facts->Volume(drive, &volume)) {
            item->SetAttribute("name", Utf8FromUtf16(volume.label));
            item->SetAttribute("filesystem", Utf8FromUtf16(volume.fileSystem));
        }
        uint64_t size = 0, free = 0;
        if (facts->FreeSpace(drive, &size, &free)) {
            item->SetAttribute("size", FormatGigabytes(size));
            item->SetAttribute("available", FormatGigabytes(free));
        }
        item->SetText(Utf8FromUtf16(drive));
    }
}

} // namespace vostrale::app
