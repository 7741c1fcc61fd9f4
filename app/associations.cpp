#include "app/associations.h"

#include "app/settings.h"
#include "app/text.h"

#include <algorithm>

namespace vostrale::app {

namespace {

constexpr const wchar_t* kOpenWithProgidsKey = L"OpenWithProgids";
constexpr const wchar_t* kRegisteredApplicationValue = L"Vostrale";
constexpr uint32_t kRegNone = 0;

std::wstring ClassKey(const std::wstring& name) {
    return std::wstring(kMachineClassesKey) + L"\\" + name;
}

std::wstring WithDot(const std::wstring& extension) {
    return !extension.empty() && extension[0] == L'.' ? extension : L"." + extension;
}

// A string value read at its real length; false when missing, of another type or unreadable.
// `missing` tells a value that does not exist from one that could not be read.
bool ReadFullString(Registry* registry, RegistryRoot root, const std::wstring& key,
                    const std::wstring& name, std::wstring* text, bool* missing) {
    *missing = false;
    uint32_t size = 256;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::vector<uint8_t> data(size + 2, 0);
        uint32_t type = 0;
        uint32_t got = size;
        uint32_t status = registry->QueryValue(root, key, name, &type, data.data(), &got);
        if (status == kErrorMoreData) {
            if (got <= size || got > (kMaxClassNameChars + 1) * 2)
                return false;
            size = got;
            continue;
        }
        if (status == kErrorFileNotFound) {
            *missing = true;
            return false;
        }
        if (status != 0 || type != kRegSz || got > size)
            return false;
        *text = FromUtf16Bytes(data.data(), got);
        return true;
    }
    return false;
}

bool ClassExists(Registry* registry, const std::wstring& name) {
    return registry->KeyExists(RegistryRoot::LocalMachine, ClassKey(name)) ||
           registry->KeyExists(RegistryRoot::ClassesRoot, name) ||
           registry->KeyExists(RegistryRoot::CurrentUser, ClassKey(name));
}

bool WriteExtensionClass(Registry* registry, const std::wstring& extension,
                         const std::wstring& name) {
    return WriteStringValue(registry, RegistryRoot::LocalMachine, ClassKey(extension), L"", name);
}

// Windows 8 and later list a program for an extension only when it says it can open it.
void AnnounceHandler(Registry* registry, const std::wstring& extension, bool on) {
    std::wstring progids = ClassKey(extension) + L"\\" + kOpenWithProgidsKey;
    std::wstring capabilities = std::wstring(kCapabilitiesKey) + L"\\FileAssociations";
    if (on) {
        registry->SetValue(RegistryRoot::LocalMachine, progids, kDocumentClass, kRegNone, nullptr,
                           0);
        WriteStringValue(registry, RegistryRoot::LocalMachine, capabilities, extension,
                         kDocumentClass);
    } else {
        registry->DeleteValue(RegistryRoot::LocalMachine, progids, kDocumentClass);
        registry->DeleteValue(RegistryRoot::LocalMachine, capabilities, extension);
    }
}

// The offered extension as listed, or empty when `extension` is none of them.
std::wstring CanonicalExtension(const std::wstring& extension);

} // namespace

std::vector<std::wstring> OfferedExtensions() {
    std::vector<std::wstring> out;
    std::wstring list = kOfferedExtensionList;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(L';', start);
        if (end == std::wstring::npos)
            end = list.size();
        std::wstring pattern = list.substr(start, end - start);
        if (!pattern.empty() && pattern[0] == L'*')
            pattern.erase(0, 1);
        if (!pattern.empty())
            out.push_back(pattern);
        start = end + 1;
    }
    return out;
}

bool IsOfferedExtension(const std::wstring& extension) {
    return !CanonicalExtension(extension).empty();
}

namespace {
std::wstring CanonicalExtension(const std::wstring& extension) {
    for (const std::wstring& offered : OfferedExtensions()) {
        if (EqualNoCase(offered, extension))
            return offered;
    }
    return {};
}
} // namespace

ClassReadResult ReadExtensionClass(Registry* registry, const std::wstring& extension,
                                   std::wstring* name) {
    bool missing = false;
    std::wstring value;
    if (!ReadFullString(registry, RegistryRoot::LocalMachine, ClassKey(extension), L"", &value,
                        &missing))
        return missing ? ClassReadResult::Empty : ClassReadResult::Unreadable;
    *name = value;
    return value.empty() ? ClassReadResult::Empty : ClassReadResult::Name;
}

bool IsDocumentClass(const std::wstring& name) {
    return EqualNoCase(name, kDocumentClass);
}

void RegisterDocumentClass(Registry* registry, System* system, bool withIcon) {
    std::wstring program = system->ProgramPath();
    std::wstring key = ClassKey(kDocumentClass);
    WriteStringValue(registry, RegistryRoot::LocalMachine, key, L"", kDocumentTypeName);
    WriteStringValue(registry, RegistryRoot::LocalMachine, key, L"FriendlyTypeName",
                     kDocumentTypeName);
    WriteStringValue(registry, RegistryRoot::LocalMachine, key + L"\\shell\\open\\command", L"",
                     L"\"" + program + L"\" /M:0 \"%1\"");
    if (withIcon)
        WriteStringValue(registry, RegistryRoot::LocalMachine, key + L"\\DefaultIcon", L"",
                         program + L",1");
    WriteStringValue(registry, RegistryRoot::LocalMachine, kCapabilitiesKey, L"ApplicationName",
                     kDocumentClass);
    WriteStringValue(registry, RegistryRoot::LocalMachine, kCapabilitiesKey,
                     L"ApplicationDescription", kDocumentTypeName);
    WriteStringValue(registry, RegistryRoot::LocalMachine, kRegisteredApplicationsKey,
                     kRegisteredApplicationValue, kCapabilitiesKey);
}

void RemoveDocumentClass(Registry* registry) {
    registry->DeleteKey(RegistryRoot::LocalMachine, ClassKey(kDocumentClass));
    registry->DeleteKey(RegistryRoot::LocalMachine, kCapabilitiesKey);
    registry->DeleteValue(RegistryRoot::LocalMachine, kRegisteredApplicationsKey,
                          kRegisteredApplicationValue);
}

AssociationResult SetAssociation(Registry* registry, const std::wstring& extension, bool on) {
    if (extension.empty() || extension.size() > kMaxExtensionChars ||
        extension.find(L'\\') != std::wstring::npos)
        return AssociationResult::Refused;
    const std::wstring ext = WithDot(extension);
    if (ext.size() > kMaxExtensionChars)
        return AssociationResult::Refused;
    std::wstring current;
    ClassReadResult read = ReadExtensionClass(registry, ext, &current);
    // A value that could not be read is never taken over: it could not be given back.
    if (read == ClassReadResult::Unreadable)
        return AssociationResult::Refused;
    const bool ours = read == ClassReadResult::Name && IsDocumentClass(current);

    if (on) {
        if (read == ClassReadResult::Name && !ours) {
            if (!WriteStringValue(registry, RegistryRoot::LocalMachine, kAssociationBackupKey, ext,
                                  current))
                return AssociationResult::Refused;
        } else if (read == ClassReadResult::Empty) {
            // A backup left from an earlier owner would name a class this value never had.
            registry->DeleteValue(RegistryRoot::LocalMachine, kAssociationBackupKey, ext);
        }
        if (!WriteExtensionClass(registry, ext, kDocumentClass))
            return AssociationResult::Failed;
        AnnounceHandler(registry, ext, true);
        return AssociationResult::Done;
    }

    if (!ours)
        return AssociationResult::Unchanged;
    std::wstring backup;
    bool missing = false;
    std::wstring restore;
    if (ReadFullString(registry, RegistryRoot::LocalMachine, kAssociationBackupKey, ext, &backup,
                       &missing) &&
        !backup.empty() && !IsDocumentClass(backup) && ClassExists(registry, backup))
        restore = backup;
    if (!WriteExtensionClass(registry, ext, restore))
        return AssociationResult::Failed;
    registry->DeleteValue(RegistryRoot::LocalMachine, kAssociationBackupKey, ext);
    AnnounceHandler(registry, ext, false);
    return AssociationResult::Done;
}

void ReleaseAllAssociations(Registry* registry) {
    for (const std::wstring& ext : OfferedExtensions())
        SetAssociation(registry, ext, false);
}

std::string FormatChangeFile(const std::vector<AssociationChange>& changes) {
    std::string out;
    for (const AssociationChange& change : changes) {
        if (!IsOfferedExtension(change.extension))
            continue;
        for (wchar_t c : change.extension)
            out.push_back(char(FoldAscii(c)));
        out += change.on ? "=1\n" : "=0\n";
    }
    return out;
}

std::vector<AssociationChange> ParseChangeFile(const std::string& bytes) {
    std::vector<AssociationChange> changes;
    const size_t end = std::min(bytes.size(), kMaxChangeFileBytes);
    size_t at = 0;
    while (at < end) {
        size_t newline = bytes.find('\n', at);
        size_t lineEnd = newline == std::string::npos || newline >= end ? end : newline;
        size_t next = lineEnd + 1;
        // An over-long line is dropped whole, never read as a shorter one.
        if (lineEnd - at + 1 > kMaxChangeLineBytes) {
            at = next;
            continue;
        }
        std::string line = bytes.substr(at, lineEnd - at);
        at = next;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t equals = line.find('=');
        if (equals == std::string::npos)
            break;
        std::wstring extension;
        bool ascii = true;
        for (size_t i = 0; i < equals; ++i) {
            unsigned char c = static_cast<unsigned char>(line[i]);
            ascii = ascii && c >= 0x20 && c < 0x7F;
            extension.push_back(wchar_t(c));
        }
        std::wstring offered = ascii ? CanonicalExtension(extension) : std::wstring();
        if (offered.empty())
            continue;
        bool on = !(equals + 1 < line.size() && line[equals + 1] == '0');
        changes.push_back({offered, on});
    }
    return changes;
}

void ApplyAssociationChanges(Registry* registry, System* system, AssociationShell* shell,
                             const std::vector<AssociationChange>& changes) {
    RegisterDocumentClass(registry, system, false);
    for (const AssociationChange& change : changes) {
        if (!IsOfferedExtension(change.extension))
            continue;
        SetAssociation(registry, change.extension, change.on);
        shell->ClearUserChoice(WithDot(change.extension));
    }
    shell->NotifyAssociationsChanged();
}

} // namespace vostrale::app
