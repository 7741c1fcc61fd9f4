// The real setup layer: SetupAPI and newdev (loaded at run time), the service manager and the
// certificate store; files and libraries; volume mount points; network connections and
// credentials; ShellExecuteExW with a verb, waited for. Windows only.
#pragma once

#include "app/driver_install.h"
#include "app/setup_interfaces.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace vostrale::app {

class Win32DeviceSetup final : public DeviceSetup {
  public:
    Win32DeviceSetup();
    ~Win32DeviceSetup() override;
    Win32DeviceSetup(const Win32DeviceSetup&) = delete;
    Win32DeviceSetup& operator=(const Win32DeviceSetup&) = delete;

    // Whether setupapi.dll and the calls every operation needs were found.
    bool Available() const;

    uint32_t ListDevices(const std::wstring& classGuid,
                         std::vector<SetupDevice>* devices) override;
    uint32_t StagePackage(const std::wstring& infPath, std::wstring* publishedName) override;
    uint32_t RegisterDevice(const std::wstring& infPath, const std::wstring& hardwareId,
                            uint64_t owner, std::wstring* instanceId) override;
    uint32_t UpdateDriver(const std::wstring& hardwareId, const std::wstring& infPath,
                          uint64_t owner, bool* restart) override;
    uint32_t UninstallDevice(const std::wstring& instanceId, bool* restart) override;
    uint32_t RemoveDevice(const std::wstring& instanceId, bool* restart) override;
    uint32_t DriverPackageOf(const std::wstring& instanceId,
                             std::wstring* publishedName) override;
    uint32_t UninstallPackage(const std::wstring& publishedName) override;
    uint32_t DeleteService(const std::wstring& name) override;
    uint32_t AddTrustedPublisher(const uint8_t* certificate, size_t size) override;
    uint32_t DeleteTrustedPublisher(const uint8_t* certificate, size_t size) override;

    struct Api; // the entry points found at run time

  private:
    Api* m_api;
};

class Win32InstallSystem final : public InstallSystem {
  public:
    uint32_t ListFolder(const std::wstring& folder, const std::wstring& pattern,
                        std::vector<FolderEntry>* entries) override;
    uint32_t Attributes(const std::wstring& path, uint32_t* attributes) override;
    uint32_t DeleteOneFile(const std::wstring& path) override;
    uint32_t RemoveEmptyFolder(const std::wstring& path) override;
    uint32_t DeleteFileAtRestart(const std::wstring& path) override;
    std::wstring ExpandEnvironment(const std::wstring& text) override;
    uint32_t CallRegistrationEntry(const std::wstring& library, const char* entry) override;
};

class Win32VolumeMounts final : public VolumeMounts {
  public:
    uint32_t LogicalDrives() override;
    uint32_t VolumeNameOf(wchar_t letter, std::wstring* volume) override;
    uint32_t DeleteMountPoint(wchar_t letter) override;
    uint32_t SetMountPoint(wchar_t letter, const std::wstring& volume) override;
};

class Win32NetworkConnector final : public NetworkConnector {
  public:
    uint32_t AddConnection(const std::wstring& remoteName, const wchar_t* user,
                           const wchar_t* password) override;
    uint32_t LastProviderError(uint32_t* providerError, std::wstring* text,
                               std::wstring* provider) override;
    uint32_t SaveCredential(const std::wstring& server, const std::wstring& user,
                            const wchar_t* password) override;
};

// ShellExecuteExW, then a wait that keeps the calling thread's windows answering.
class Win32Launcher final : public Launcher {
  public:
    uint32_t RunAndWait(const std::wstring& program, const std::wstring& parameters,
                        const wchar_t* verb, void* owner, uint32_t* exitCode) override;
};

// IsUserAnAdmin, or a process that is already elevated (which never hands its job on again).
class Win32Elevation final : public Elevation {
  public:
    bool IsUserAdmin() override;
};

// The publisher certificate built into the program (VOSTRALE_PUBLISHER_CERT); empty when the
// build was given none.
const uint8_t* PublisherCertificate(size_t* size);


} // namespace vostrale::app
