#include "app/win32/setup_win32.h"

#include "app/win32/associations_win32.h"

#include <cfgmgr32.h>
#include <setupapi.h>
#include <shlobj.h>
#include <wincred.h>
#include <wincrypt.h>
#include <winnetwk.h>

#include <objbase.h>

#include <cwchar>

namespace vostrale::app {

namespace {

constexpr DWORD kHardwareIdBytes = 8192;
constexpr DWORD kInfPathChars = kMaxPath;
constexpr DWORD kClassNameChars = 32;
constexpr DWORD kInstallFlagForce = 0x1; // INSTALLFLAG_FORCE of newdev

// Entry points of newdev, which the SDK headers declare only for newer targets.
using UpdateDriverFn = BOOL(WINAPI*)(HWND, LPCWSTR, LPCWSTR, DWORD, PBOOL);
using DiUninstallDeviceFn = BOOL(WINAPI*)(HWND, HDEVINFO, PSP_DEVINFO_DATA, DWORD, PBOOL);

// Wine exports DiUninstallDevice as a stub that ends the process when called.
bool IsWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

uint32_t LastError() {
    DWORD error = GetLastError();
    return error ? uint32_t(error) : uint32_t(ERROR_GEN_FAILURE);
}

HWND OwnerWindow(uint64_t owner) {
    return owner ? reinterpret_cast<HWND>(uintptr_t(owner)) : GetDesktopWindow();
}

std::wstring FileNamePart(const wchar_t* path) {
    const wchar_t* slash = std::wcsrchr(path, L'\\');
    return slash ? std::wstring(slash + 1) : std::wstring(path);
}

} // namespace

struct Win32DeviceSetup::Api {
    HMODULE setupapi = nullptr;
    HMODULE newdev = nullptr;
    decltype(&SetupDiGetClassDevsW) getClassDevs = nullptr;
    decltype(&SetupDiEnumDeviceInfo) enumDeviceInfo = nullptr;
    decltype(&SetupDiGetDeviceRegistryPropertyW) getProperty = nullptr;
    decltype(&SetupDiSetDeviceRegistryPropertyW) setProperty = nullptr;
    decltype(&SetupDiDestroyDeviceInfoList) destroyList = nullptr;
    decltype(&SetupDiGetINFClassW) getInfClass = nullptr;
    decltype(&SetupDiCreateDeviceInfoList) createList = nullptr;
    decltype(&SetupDiCreateDeviceInfoW) createDeviceInfo = nullptr;
    decltype(&SetupDiCallClassInstaller) callClassInstaller = nullptr;
    decltype(&SetupDiSetClassInstallParamsW) setClassInstallParams = nullptr;
    decltype(&SetupDiGetDeviceInstallParamsW) getInstallParams = nullptr;
    decltype(&SetupDiOpenDeviceInfoW) openDeviceInfo = nullptr;
    decltype(&SetupDiGetDeviceInstanceIdW) getInstanceId = nullptr;
    decltype(&SetupDiOpenDevRegKey) openDevRegKey = nullptr;
    decltype(&SetupCopyOEMInfW) copyOemInf = nullptr;
    decltype(&SetupUninstallOEMInfW) uninstallOemInf = nullptr;
    decltype(&CM_Get_Device_IDW) getDeviceId = nullptr;
    decltype(&CM_Get_DevNode_Status) getStatus = nullptr;
    UpdateDriverFn updateDriver = nullptr;
    DiUninstallDeviceFn uninstallDevice = nullptr;

    template <typename T> void Find(HMODULE module, T* slot, const char* name) {
        *slot = module ? reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)))
                       : nullptr;
    }

    // A list holding the one device with this instance id (present or not).
    HDEVINFO Open(const std::wstring& instanceId, SP_DEVINFO_DATA* data) {
        HDEVINFO set = createList(nullptr, nullptr);
        if (set == INVALID_HANDLE_VALUE)
            return set;
        data->cbSize = sizeof(*data);
        if (!openDeviceInfo(set, instanceId.c_str(), nullptr, 0, data)) {
            DWORD error = GetLastError();
            destroyList(set);
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
        return set;
    }
};

Win32DeviceSetup::Win32DeviceSetup() : m_api(new Api) {
    Api& a = *m_api;
    a.setupapi = LoadLibraryW(L"setupapi.dll");
    a.newdev = LoadLibraryW(L"newdev.dll");
    HMODULE s = a.setupapi;
    a.Find(s, &a.getClassDevs, "SetupDiGetClassDevsW");
    a.Find(s, &a.enumDeviceInfo, "SetupDiEnumDeviceInfo");
    a.Find(s, &a.getProperty, "SetupDiGetDeviceRegistryPropertyW");
    a.Find(s, &a.setProperty, "SetupDiSetDeviceRegistryPropertyW");
    a.Find(s, &a.destroyList, "SetupDiDestroyDeviceInfoList");
    a.Find(s, &a.getInfClass, "SetupDiGetINFClassW");
    a.Find(s, &a.createList, "SetupDiCreateDeviceInfoList");
    a.Find(s, &a.createDeviceInfo, "SetupDiCreateDeviceInfoW");
    a.Find(s, &a.callClassInstaller, "SetupDiCallClassInstaller");
    a.Find(s, &a.setClassInstallParams, "SetupDiSetClassInstallParamsW");
    a.Find(s, &a.getInstallParams, "SetupDiGetDeviceInstallParamsW");
    a.Find(s, &a.openDeviceInfo, "SetupDiOpenDeviceInfoW");
    a.Find(s, &a.getInstanceId, "SetupDiGetDeviceInstanceIdW");
    a.Find(s, &a.openDevRegKey, "SetupDiOpenDevRegKey");
    a.Find(s, &a.copyOemInf, "SetupCopyOEMInfW");
    a.Find(s, &a.uninstallOemInf, "SetupUninstallOEMInfW");
    a.Find(s, &a.getDeviceId, "CM_Get_Device_IDW");
    a.Find(s, &a.getStatus, "CM_Get_DevNode_Status");
    a.Find(a.newdev, &a.updateDriver, "UpdateDriverForPlugAndPlayDevicesW");
    if (!IsWine())
        a.Find(a.newdev, &a.uninstallDevice, "DiUninstallDevice");
}

Win32DeviceSetup::~Win32DeviceSetup() {
    if (m_api->newdev)
        FreeLibrary(m_api->newdev);
    if (m_api->setupapi)
        FreeLibrary(m_api->setupapi);
    delete m_api;
}

bool Win32DeviceSetup::Available() const {
    const Api& a = *m_api;
    return a.getClassDevs && a.enumDeviceInfo && a.getProperty && a.setProperty &&
           a.destroyList && a.getInfClass && a.createList &&
           a.createDeviceInfo && a.callClassInstaller && a.setClassInstallParams &&
           a.getInstallParams && a.openDeviceInfo && a.getInstanceId && a.openDevRegKey &&
           a.copyOemInf && a.uninstallOemInf && a.getDeviceId && a.getStatus;
}

uint32_t Win32DeviceSetup::ListDevices(const std::wstring& classGuid,
                                       std::vector<SetupDevice>* devices) {
    Api& a = *m_api;
    if (!Available())
        return kErrorProcNotFound;
    GUID guid;
    if (CLSIDFromString(classGuid.c_str(), &guid) != NOERROR)
        return kErrorInvalidParameter;
    // No flags: devices that are not present are listed too.
    HDEVINFO set = a.getClassDevs(&guid, nullptr, nullptr, 0);
    if (set == INVALID_HANDLE_VALUE)
        return LastError();
    std::vector<BYTE> ids;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    for (DWORD index = 0; a.enumDeviceInfo(set, index, &data); ++index) {
        SetupDevice device;
        // The list is of this machine, so the local configuration manager names its devices.
        wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
        if (a.getDeviceId(data.DevInst, id, MAX_DEVICE_ID_LEN + 1, 0) != CR_SUCCESS || !id[0])
            continue; // a device we cannot name we cannot remove either
        id[MAX_DEVICE_ID_LEN] = 0;
        device.instanceId = id;
        ULONG status = 0;
        ULONG problem = 0;
        device.present = a.getStatus(&status, &problem, data.DevInst, 0) == CR_SUCCESS;

        DWORD type = 0;
        DWORD needed = 0;
        ids.assign(kHardwareIdBytes, 0);
        BOOL got = FALSE;
        for (int round = 0; round < 4; ++round) {
            got = a.getProperty(set, &data, SPDRP_HARDWAREID, &type, ids.data(),
                                DWORD(ids.size()), &needed);
            if (got || GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= ids.size() ||
                needed > (1u << 20))
                break;
            ids.assign(needed, 0);
        }
        if (got && type == REG_MULTI_SZ)
            device.hardwareIds = SplitMultiString(ids.data(), std::min<size_t>(needed, ids.size()));
        devices->push_back(std::move(device));
    }
    a.destroyList(set);
    return 0;
}

uint32_t Win32DeviceSetup::StagePackage(const std::wstring& infPath,
                                        std::wstring* publishedName) {
    Api& a = *m_api;
    if (!a.copyOemInf)
        return kErrorProcNotFound;
    wchar_t destination[kInfPathChars + 1] = {};
    DWORD needed = 0;
    if (!a.copyOemInf(infPath.c_str(), nullptr, SPOST_PATH, 0, destination, kInfPathChars,
                      &needed, nullptr))
        return LastError();
    destination[kInfPathChars] = 0;
    *publishedName = FileNamePart(destination);
    return 0;
}

uint32_t Win32DeviceSetup::RegisterDevice(const std::wstring& infPath,
                                          const std::wstring& hardwareId, uint64_t owner,
                                          std::wstring* instanceId) {
    Api& a = *m_api;
    if (!Available())
        return kErrorProcNotFound;
    GUID classGuid;
    wchar_t className[kClassNameChars + 1] = {};
    if (!a.getInfClass(infPath.c_str(), &classGuid, className, kClassNameChars, nullptr))
        return LastError();
    HWND window = OwnerWindow(owner);
    HDEVINFO set = a.createList(&classGuid, window);
    if (set == INVALID_HANDLE_VALUE)
        return LastError();
    uint32_t result = 0;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    // The identifier as a multi-string: its own NUL and the list's.
    std::wstring ids = hardwareId;
    ids.push_back(L'\0');
    ids.push_back(L'\0');
    if (!a.createDeviceInfo(set, className, &classGuid, nullptr, window, DICD_GENERATE_ID,
                            &data) ||
        !a.setProperty(set, &data, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(ids.data()),
                       DWORD(ids.size() * sizeof(wchar_t))) ||
        !a.callClassInstaller(DIF_REGISTERDEVICE, set, &data)) {
        result = LastError();
    } else {
        wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
        DWORD needed = 0;
        if (a.getInstanceId(set, &data, id, MAX_DEVICE_ID_LEN + 1, &needed))
            *instanceId = id;
    }
    a.destroyList(set);
    return result;
}

uint32_t Win32DeviceSetup::UpdateDriver(const std::wstring& hardwareId,
                                        const std::wstring& infPath, uint64_t owner,
                                        bool* restart) {
    Api& a = *m_api;
    if (!a.updateDriver)
        return kErrorProcNotFound;
    BOOL reboot = FALSE;
    if (!a.updateDriver(OwnerWindow(owner), hardwareId.c_str(), infPath.c_str(),
                        kInstallFlagForce, &reboot))
        return LastError();
    *restart = reboot != FALSE;
    return 0;
}

uint32_t Win32DeviceSetup::UninstallDevice(const std::wstring& instanceId, bool* restart) {
    Api& a = *m_api;
    if (!a.uninstallDevice || !Available())
        return kErrorProcNotFound;
    SP_DEVINFO_DATA data{};
    HDEVINFO set = a.Open(instanceId, &data);
    if (set == INVALID_HANDLE_VALUE)
        return LastError();
    BOOL reboot = FALSE;
    uint32_t result = a.uninstallDevice(nullptr, set, &data, 0, &reboot) ? 0 : LastError();
    a.destroyList(set);
    if (result == 0)
        *restart = reboot != FALSE;
    return result;
}

uint32_t Win32DeviceSetup::RemoveDevice(const std::wstring& instanceId, bool* restart) {
    Api& a = *m_api;
    if (!Available())
        return kErrorProcNotFound;
    SP_DEVINFO_DATA data{};
    HDEVINFO set = a.Open(instanceId, &data);
    if (set == INVALID_HANDLE_VALUE)
        return LastError();
    SP_REMOVEDEVICE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    params.Scope = DI_REMOVEDEVICE_GLOBAL;
    params.HwProfile = 0;
    uint32_t result = 0;
    // Wine keeps no class install parameters; the removal they describe is the default one.
    a.setClassInstallParams(set, &data, &params.ClassInstallHeader, sizeof(params));
    if (!a.callClassInstaller(DIF_REMOVE, set, &data)) {
        result = LastError();
    } else {
        *restart = false;
        SP_DEVINSTALL_PARAMS_W install{};
        install.cbSize = sizeof(install);
        if (a.getInstallParams(set, &data, &install))
            *restart = (install.Flags & (DI_NEEDRESTART | DI_NEEDREBOOT)) != 0;
    }
    a.destroyList(set);
    return result;
}

uint32_t Win32DeviceSetup::DriverPackageOf(const std::wstring& instanceId,
                                           std::wstring* publishedName) {
    Api& a = *m_api;
    if (!Available())
        return kErrorProcNotFound;
    SP_DEVINFO_DATA data{};
    HDEVINFO set = a.Open(instanceId, &data);
    if (set == INVALID_HANDLE_VALUE)
        return LastError();
    uint32_t result = 0;
    HKEY key = a.openDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
        result = LastError();
    } else {
        wchar_t value[kInfPathChars + 1] = {};
        DWORD type = 0;
        DWORD size = kInfPathChars * sizeof(wchar_t);
        LONG status = RegQueryValueExW(key, L"InfPath", nullptr, &type,
                                       reinterpret_cast<BYTE*>(value), &size);
        if (status != ERROR_SUCCESS)
            result = uint32_t(status);
        else if (type != REG_SZ)
            result = ERROR_INVALID_DATA;
        else
            *publishedName = std::wstring(value, wcsnlen(value, size / sizeof(wchar_t)));
        RegCloseKey(key);
    }
    a.destroyList(set);
    return result;
}

uint32_t Win32DeviceSetup::UninstallPackage(const std::wstring& publishedName) {
    Api& a = *m_api;
    if (!a.uninstallOemInf)
        return kErrorProcNotFound;
    return a.uninstallOemInf(publishedName.c_str(), SUOI_FORCEDELETE, nullptr) ? 0 : LastError();
}

uint32_t Win32DeviceSetup::DeleteService(const std::wstring& name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager)
        return LastError();
    uint32_t result = 0;
    SC_HANDLE service = OpenServiceW(manager, name.c_str(), DELETE | SERVICE_QUERY_STATUS);
    if (!service) {
        result = LastError();
    } else {
        if (!::DeleteService(service)) {
            result = LastError();
        } else {
            // A driver still loaded goes only when it stops, at the latest at restart.
            SERVICE_STATUS status{};
            if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED)
                result = kErrorServiceMarkedForDelete;
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return result;
}

namespace {

HCERTSTORE OpenTrustedPublishers(bool create) {
    // The registry store itself: a change made through the system store's collection view
    // does not always reach it (Wine keeps a deleted certificate there).
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                         CERT_SYSTEM_STORE_LOCAL_MACHINE |
                             (create ? 0 : CERT_STORE_OPEN_EXISTING_FLAG),
                         L"TrustedPublisher");
}

} // namespace

uint32_t Win32DeviceSetup::AddTrustedPublisher(const uint8_t* certificate, size_t size) {
    HCERTSTORE store = OpenTrustedPublishers(true);
    if (!store)
        return LastError();
    uint32_t result = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, certificate,
                                                       DWORD(size), CERT_STORE_ADD_REPLACE_EXISTING,
                                                       nullptr)
                          ? 0
                          : LastError();
    CertCloseStore(store, 0);
    return result;
}

uint32_t Win32DeviceSetup::DeleteTrustedPublisher(const uint8_t* certificate, size_t size) {
    PCCERT_CONTEXT wanted =
        CertCreateCertificateContext(X509_ASN_ENCODING, certificate, DWORD(size));
    if (!wanted)
        return LastError();
    uint32_t result = 0;
    HCERTSTORE store = OpenTrustedPublishers(false);
    if (!store) {
        DWORD error = GetLastError();
        // No store: no certificate to delete.
        result = error == ERROR_FILE_NOT_FOUND ? 0 : LastError();
    } else {
        PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0,
                                                          CERT_FIND_EXISTING, wanted, nullptr);
        // Deleting frees the context it is given.
        if (found && !CertDeleteCertificateFromStore(found))
            result = LastError();
        CertCloseStore(store, 0);
    }
    CertFreeCertificateContext(wanted);
    return result;
}

uint32_t Win32InstallSystem::ListFolder(const std::wstring& folder, const std::wstring& pattern,
                                        std::vector<FolderEntry>* entries) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\" + pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? 0 : uint32_t(error);
    }
    do {
        entries->push_back({found.cFileName, found.dwFileAttributes});
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return 0;
}

uint32_t Win32InstallSystem::Attributes(const std::wstring& path, uint32_t* attributes) {
    // The entry's own attributes: a link reports itself, not its target.
    DWORD value = GetFileAttributesW(path.c_str());
    if (value == INVALID_FILE_ATTRIBUTES)
        return LastError();
    *attributes = value;
    return 0;
}

uint32_t Win32InstallSystem::DeleteOneFile(const std::wstring& path) {
    return DeleteFileW(path.c_str()) ? 0 : LastError();
}

uint32_t Win32InstallSystem::RemoveEmptyFolder(const std::wstring& path) {
    return RemoveDirectoryW(path.c_str()) ? 0 : LastError();
}

uint32_t Win32InstallSystem::DeleteFileAtRestart(const std::wstring& path) {
    return MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) ? 0 : LastError();
}

std::wstring Win32InstallSystem::ExpandEnvironment(const std::wstring& text) {
    std::vector<wchar_t> buffer(kMaxPath + 1, 0);
    for (int round = 0; round < 3; ++round) {
        DWORD n = ExpandEnvironmentStringsW(text.c_str(), buffer.data(), DWORD(buffer.size()));
        if (n == 0)
            return text;
        if (n <= buffer.size())
            return std::wstring(buffer.data());
        buffer.assign(n, 0);
    }
    return text;
}

uint32_t Win32InstallSystem::CallRegistrationEntry(const std::wstring& library,
                                                   const char* entry) {
    if (GetFileAttributesW(library.c_str()) == INVALID_FILE_ATTRIBUTES)
        return kErrorFileNotFound;
    HMODULE module = LoadLibraryExW(library.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module)
        return LastError();
    using Entry = HRESULT(STDAPICALLTYPE*)();
    auto call = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, entry)));
    uint32_t result = kErrorProcNotFound;
    if (call) {
        HRESULT hr = call();
        result = SUCCEEDED(hr) ? 0 : uint32_t(hr);
    }
    FreeLibrary(module);
    return result;
}

uint32_t Win32VolumeMounts::LogicalDrives() {
    return GetLogicalDrives();
}

uint32_t Win32VolumeMounts::VolumeNameOf(wchar_t letter, std::wstring* volume) {
    wchar_t root[] = {letter, L':', L'\\', 0};
    wchar_t name[kMaxPath + 1] = {};
    if (!GetVolumeNameForVolumeMountPointW(root, name, kMaxPath))
        return LastError();
    name[kMaxPath] = 0;
    *volume = name;
    return 0;
}

uint32_t Win32VolumeMounts::DeleteMountPoint(wchar_t letter) {
    wchar_t root[] = {letter, L':', L'\\', 0};
    return DeleteVolumeMountPointW(root) ? 0 : LastError();
}

uint32_t Win32VolumeMounts::SetMountPoint(wchar_t letter, const std::wstring& volume) {
    wchar_t root[] = {letter, L':', L'\\', 0};
    return SetVolumeMountPointW(root, volume.c_str()) ? 0 : LastError();
}

uint32_t Win32NetworkConnector::AddConnection(const std::wstring& remoteName,
                                              const wchar_t* user, const wchar_t* password) {
    std::wstring remote = remoteName;
    NETRESOURCEW resource{};
    resource.dwScope = RESOURCE_CONNECTED;
    resource.dwType = RESOURCETYPE_DISK;
    resource.lpRemoteName = remote.data();
    return WNetAddConnection2W(&resource, password, user, CONNECT_TEMPORARY);
}

uint32_t Win32NetworkConnector::LastProviderError(uint32_t* providerError, std::wstring* text,
                                                  std::wstring* provider) {
    wchar_t message[257] = {};
    wchar_t name[257] = {};
    DWORD error = 0;
    DWORD status = WNetGetLastErrorW(&error, message, 256, name, 256);
    if (status != NO_ERROR)
        return status;
    message[256] = 0;
    name[256] = 0;
    *providerError = error;
    *text = message;
    *provider = name;
    return 0;
}

uint32_t Win32NetworkConnector::SaveCredential(const std::wstring& server,
                                               const std::wstring& user,
                                               const wchar_t* password) {
    std::wstring target = server;
    std::wstring name = user;
    CREDENTIALW credential{};
    credential.Type = CRED_TYPE_DOMAIN_PASSWORD;
    credential.TargetName = target.data();
    credential.UserName = name.data();
    credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
    // The blob points at the caller's buffer: no copy of the password is made here.
    credential.CredentialBlobSize = password ? DWORD(std::wcslen(password) * sizeof(wchar_t)) : 0;
    credential.CredentialBlob =
        password ? reinterpret_cast<BYTE*>(const_cast<wchar_t*>(password)) : nullptr;
    return CredWriteW(&credential, 0) ? 0 : LastError();
}

uint32_t Win32Launcher::RunAndWait(const std::wstring& program, const std::wstring& parameters,
                                   const wchar_t* verb, void* owner, uint32_t* exitCode) {
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.hwnd = owner ? static_cast<HWND>(owner) : GetDesktopWindow();
    info.lpVerb = verb;
    info.lpFile = program.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_SHOW;
    if (!ShellExecuteExW(&info))
        return LastError();
    if (!info.hProcess)
        return ERROR_INVALID_HANDLE;
    // Keep this thread's windows answering while the job runs.
    for (;;) {
        DWORD woke = MsgWaitForMultipleObjects(1, &info.hProcess, FALSE, INFINITE, QS_ALLINPUT);
        if (woke != WAIT_OBJECT_0 + 1)
            break;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    DWORD code = 0;
    uint32_t result = GetExitCodeProcess(info.hProcess, &code) ? 0 : LastError();
    CloseHandle(info.hProcess);
    if (result == 0)
        *exitCode = code;
    return result;
}

bool Win32Elevation::IsUserAdmin() {
    if (IsUserAnAdmin())
        return true;
    // An elevated process never hands its job on again, whatever the group check says.
    return ProcessIsElevated();
}

const uint8_t* PublisherCertificate(size_t* size) {
    // The build's certificate bytes, followed by one byte that keeps the array non-empty.
    static const uint8_t kBytes[] = {
#include "publisher_certificate.inc"
        0};
    *size = sizeof(kBytes) - 1;
    return kBytes;
}


} // namespace vostrale::app
