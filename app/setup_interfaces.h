// The operating system as driver installation, letter moves, network logon and elevated
// one-shot starts see it: small interfaces with the meanings of the Win32 calls behind them
// (SetupAPI and newdev, mount points, WNet and credentials, ShellExecuteExW), so the decisions
// run natively over fakes and app/win32/ holds the real calls. Results are Win32 error codes
// (0 success) unless said otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vostrale::app {

constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorNotSupported = 50;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorProcNotFound = 127;
constexpr uint32_t kErrorServiceMarkedForDelete = 1072;
constexpr uint32_t kErrorServiceDoesNotExist = 1060;
constexpr uint32_t kErrorExtendedError = 1208;
constexpr uint32_t kErrorCancelled = 1223;
constexpr uint32_t kErrorNoSuchDevinst = 0xE000020B;
constexpr uint32_t kAttributeReparsePoint = 0x400;

// One device of a setup class, present or not.
struct SetupDevice {
    std::wstring instanceId;               // read on CR_SUCCESS only
    std::vector<std::wstring> hardwareIds; // the REG_MULTI_SZ walked within its returned size
    bool present = false;
};

// SetupAPI, newdev, the service manager and the certificate store.
class DeviceSetup {
  public:
    virtual ~DeviceSetup() = default;
    // Every device of the class given as "{GUID}", present and not present.
    virtual uint32_t ListDevices(const std::wstring& classGuid,
                                 std::vector<SetupDevice>* devices) = 0;
    // Puts the package into the driver store (SetupCopyOEMInfW) and names its published INF
    // ("oem12.inf"), which uninstall needs to take it out again.
    virtual uint32_t StagePackage(const std::wstring& infPath, std::wstring* publishedName) = 0;
    // A new root device of the INF's class with `hardwareId` (DICD_GENERATE_ID,
    // DIF_REGISTERDEVICE); its instance id comes back so a failed driver update can remove it.
    virtual uint32_t RegisterDevice(const std::wstring& infPath, const std::wstring& hardwareId,
                                    uint64_t owner, std::wstring* instanceId) = 0;
    // UpdateDriverForPlugAndPlayDevicesW with INSTALLFLAG_FORCE; *restart from its answer.
    virtual uint32_t UpdateDriver(const std::wstring& hardwareId, const std::wstring& infPath,
                                  uint64_t owner, bool* restart) = 0;
    // DiUninstallDevice: the device and its children. kErrorProcNotFound when the system has
    // no such call.
    virtual uint32_t UninstallDevice(const std::wstring& instanceId, bool* restart) = 0;
    // DIF_REMOVE, global scope: the older way, for when UninstallDevice cannot be used.
    virtual uint32_t RemoveDevice(const std::wstring& instanceId, bool* restart) = 0;
    // The published INF of the driver a device runs ("InfPath" of its driver key).
    virtual uint32_t DriverPackageOf(const std::wstring& instanceId,
                                     std::wstring* publishedName) = 0;
    // SetupUninstallOEMInfW.
    virtual uint32_t UninstallPackage(const std::wstring& publishedName) = 0;
    // Deletes a service; kErrorServiceDoesNotExist when there is none,
    // kErrorServiceMarkedForDelete when it goes only once stopped.
    virtual uint32_t DeleteService(const std::wstring& name) = 0;
    // The machine's trusted publishers. Deleting a certificate that is not there is success.
    virtual uint32_t AddTrustedPublisher(const uint8_t* certificate, size_t size) = 0;
    virtual uint32_t DeleteTrustedPublisher(const uint8_t* certificate, size_t size) = 0;
};

struct FolderEntry {
    std::wstring name;
    uint32_t attributes = 0;
};

// Files and libraries around an installation.
class InstallSystem {
  public:
    virtual ~InstallSystem() = default;
    // Entries of `folder` matching `pattern` (FindFirstFileW), with their own attributes:
    // a reparse point is reported as one, never followed.
    virtual uint32_t ListFolder(const std::wstring& folder, const std::wstring& pattern,
                                std::vector<FolderEntry>* entries) = 0;
    virtual uint32_t Attributes(const std::wstring& path, uint32_t* attributes) = 0;
    virtual uint32_t DeleteOneFile(const std::wstring& path) = 0;
    // Removes an empty directory (or the link itself, never its target).
    virtual uint32_t RemoveEmptyFolder(const std::wstring& path) = 0;
    // MoveFileExW with MOVEFILE_DELAY_UNTIL_REBOOT.
    virtual uint32_t DeleteFileAtRestart(const std::wstring& path) = 0;
    virtual std::wstring ExpandEnvironment(const std::wstring& text) = 0;
    // Loads `library` and calls its exported `entry` (a DllRegisterServer kind of function):
    // kErrorFileNotFound when there is no library, kErrorProcNotFound when no such export,
    // else 0 when the call returned S_OK.
    virtual uint32_t CallRegistrationEntry(const std::wstring& library, const char* entry) = 0;
};

// Volume mount points for drive letters.
class VolumeMounts {
  public:
    virtual ~VolumeMounts() = default;
    // GetLogicalDrives: bit 0 is A.
    virtual uint32_t LogicalDrives() = 0;
    // GetVolumeNameForVolumeMountPointW of "X:\".
    virtual uint32_t VolumeNameOf(wchar_t letter, std::wstring* volume) = 0;
    // DeleteVolumeMountPointW of "X:\".
    virtual uint32_t DeleteMountPoint(wchar_t letter) = 0;
    // SetVolumeMountPointW of "X:\".
    virtual uint32_t SetMountPoint(wchar_t letter, const std::wstring& volume) = 0;
};

// WNetAddConnection2W and the credential store. Passwords travel as pointers to the caller's
// buffer only, so the one copy that exists can be wiped.
class NetworkConnector {
  public:
    virtual ~NetworkConnector() = default;
    // A temporary disk connection to `remoteName`; null user or password: none given.
    virtual uint32_t AddConnection(const std::wstring& remoteName, const wchar_t* user,
                                   const wchar_t* password) = 0;
    // WNetGetLastErrorW: the provider's own error and text, after kErrorExtendedError.
    virtual uint32_t LastProviderError(uint32_t* providerError, std::wstring* text,
                                       std::wstring* provider) = 0;
    // CredWriteW of a domain-password credential for `server`.
    virtual uint32_t SaveCredential(const std::wstring& server, const std::wstring& user,
                                    const wchar_t* password) = 0;
};

// ShellExecuteExW with a verb; waits for the process and reads its exit code.
class Launcher {
  public:
    virtual ~Launcher() = default;
    // 0 and *exitCode when the program ran; kErrorCancelled when the user refused the
    // elevation; another error when it could not be started.
    virtual uint32_t RunAndWait(const std::wstring& program, const std::wstring& parameters,
                                const wchar_t* verb, void* owner, uint32_t* exitCode) = 0;
};

// Whether the user holds administrator rights now (IsUserAnAdmin).
class Elevation {
  public:
    virtual ~Elevation() = default;
    virtual bool IsUserAdmin() = 0;
};

} // namespace vostrale::app
