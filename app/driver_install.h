// Installing, upgrading and removing the driver package and the program's machine state: the
// /XI and /XU one-shots. Every step's failure goes to the activity log; the job's result
// (done, restart needed, failed) becomes the process exit code.
#pragma once

#include "app/command_line.h"
#include "app/context.h"
#include "app/setup_interfaces.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vostrale::app {

inline constexpr const wchar_t* kHardwareId = L"root\\vostrale";
inline constexpr const wchar_t* kScsiAdapterClass = L"{4D36E97B-E325-11CE-BFC1-08002BE10318}";
inline constexpr const wchar_t* kDriverServiceName = L"vostrale_storport";
inline constexpr const wchar_t* kInstalledDriverFile =
    L"%SystemRoot%\\system32\\drivers\\vostrale.sys";
inline constexpr const wchar_t* kDriverInfName = L"vostrale.inf";
inline constexpr const wchar_t* kShellExtensionName = L"vostrale.dll";
// HKEY_LOCAL_MACHINE: the driver-store name of the package the last install staged.
inline constexpr const wchar_t* kMachineKey = L"SOFTWARE\\Vostrale";
inline constexpr const wchar_t* kDriverPackageValue = L"DriverPackage";

// The file associations' part of install and uninstall; the associations code provides it.
class AssociationSteps {
  public:
    virtual ~AssociationSteps() = default;
    // Registers the document class, associates .iso and tells the shell.
    virtual void RegisterForInstall() = 0;
    // Releases every extension still pointing at the program, then deletes the document
    // class and tells the shell.
    virtual void ReleaseForUninstall() = 0;
};

struct InstallServices {
    DeviceSetup* setup = nullptr;
    InstallSystem* files = nullptr;
    AssociationSteps* associations = nullptr; // null: this build handles no associations
    // The publisher certificate the package is signed with (DER); none when empty.
    const uint8_t* publisherCertificate = nullptr;
    size_t publisherCertificateSize = 0;
    // The user's UI and default languages (LANGIDs), for the language chosen at install.
    uint16_t uiLanguage = 0;
    uint16_t defaultLanguage = 0;
};

// "oem<digits>.inf": the only driver-store names this program ever uninstalls, so a damaged
// or foreign value can never take out one of the system's own packages.
bool IsPublishedInfName(const std::wstring& name);

// The strings of a REG_MULTI_SZ value as the system returned it (`byteCount` bytes of UTF-16LE):
// walked only within those bytes, ending at the empty string or the end, whichever comes first,
// so a value without its terminators cannot lead the walk past the buffer.
std::vector<std::wstring> SplitMultiString(const uint8_t* data, size_t byteCount);

// /XI: installs the package and the root device, or stages a newer package for a running older
// driver; then the program's registration. `owner` 0 is the desktop window.
JobResult InstallDriverJob(AppContext& ctx, const InstallServices& services, uint64_t owner);
// /XU: removes every device of ours (present or not) with its children, the driver-store
// packages, the service, the driver file and the certificate; then the program's registration.
JobResult UninstallDriverJob(AppContext& ctx, const InstallServices& services);

} // namespace vostrale::app
