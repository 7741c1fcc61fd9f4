// "system.xml": installed software, processor, memory and fixed disks, collected through two
// small interfaces so the collection runs natively over fakes.
#pragma once

#include "app/xml_document.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vostrale::app {

enum class RegistryView { Default, Bits64, Bits32 };

// HKEY_LOCAL_MACHINE, read only, with RegQueryValueExW's rules: sizes in bytes, the type
// reported but not checked, no promise of a terminator; results are Win32 error codes.
class MachineRegistry {
  public:
    virtual ~MachineRegistry() = default;
    // The names of the key's sub-keys in enumeration order; false when it cannot be opened.
    virtual bool SubKeys(const std::wstring& key, RegistryView view,
                         std::vector<std::wstring>* names) = 0;
    virtual uint32_t QueryValue(const std::wstring& key, RegistryView view,
                                const std::wstring& name, uint32_t* type, void* data,
                                uint32_t* size) = 0;
};

struct VolumeFacts {
    std::wstring label, fileSystem;
};

// Facts about the machine, each with the Win32 call's meaning.
class MachineFacts {
  public:
    virtual ~MachineFacts() = default;
    virtual uint32_t SystemLocale() = 0;
    virtual uint32_t UserLocale() = 0;
    // GetSystemWow64DirectoryW exists and does not fail with "not implemented".
    virtual bool HasWow64View() = 0;
    virtual bool Environment(const std::wstring& name, std::wstring* value) = 0;
    // GlobalMemoryStatusEx.
    virtual bool Memory(uint64_t* total, uint64_t* available) = 0;
    // GetLogicalDriveStringsW: characters written (no final NUL), or the size needed when
    // `chars` is too small, 0 on error.
    virtual uint32_t LogicalDriveStrings(uint32_t chars, wchar_t* buffer) = 0;
    virtual uint32_t DriveType(const std::wstring& root) = 0;
    virtual bool Volume(const std::wstring& root, VolumeFacts* facts) = 0;
    virtual bool FreeSpace(const std::wstring& root, uint64_t* total, uint64_t* free) = 0;
};

constexpr uint32_t kDriveFixed = 3;
constexpr uint32_t kDriveRamDisk = 6;
constexpr uint32_t kRegExpandSz = 2;

// A string value of at most `maxBytes` bytes: read at that size plus a terminator, only as
// REG_SZ or REG_EXPAND_SZ, cut at the first NUL.
bool ReadRegistryString(MachineRegistry* registry, const std::wstring& key, RegistryView view,
                        const std::wstring& name, uint32_t maxBytes, std::wstring* out);

// The drive roots of the logical drive list; the buffer starts with room for 26 drives and
// grows to the size the call asks for.
std::vector<std::wstring> LogicalDrives(MachineFacts* facts);

// "%0.1f MB" / "%0.2f GB" in the C locale.
std::string FormatMegabytes(uint64_t bytes);
std::string FormatGigabytes(uint64_t bytes);

void BuildSystemDocument(XmlDocument* doc, MachineRegistry* registry, MachineFacts* facts);

} // namespace vostrale::app
