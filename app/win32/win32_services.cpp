#include "app/win32/win32_services.h"

#include "app/text.h"
#include "app/win32/dialogs.h"
#include "app/win32/hyperlink.h"
#include "app/win32/logon_dialog.h"
#include "app/win32/setup_win32.h"
#include "app/win32/tray_window.h"
#include "formats/activity_log.h"
#include "platform/platform.h"

#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <winioctl.h>

#include <new>

namespace vostrale::app {

namespace {

constexpr DWORD kIoctlScsiGetAddress = 0x41018;
constexpr DWORD kDosListChunk = 65535;
constexpr DWORD kDosTargetChars = 128;

// Ordinals of the wide MRU list functions in comctl32.
constexpr WORD kOrdinalCreateMruListW = 400;
constexpr WORD kOrdinalAddMruStringW = 401;
constexpr WORD kOrdinalEnumMruListW = 403;
constexpr WORD kOrdinalFreeMruList = 152;
constexpr UINT kMruCacheWrite = 2;

struct MruInfoW {
    DWORD cbSize;
    UINT uMax;
    UINT fFlags;
    HKEY hKey;
    LPCWSTR lpszSubKey;
    int(CALLBACK* lpfnCompare)(LPCWSTR, LPCWSTR);
};

// The list's string comparison. Windows has a case-insensitive default for a null procedure;
// Wine treats a null procedure as "never equal" and lists a re-added path twice, so the
// procedure is always given.
int CALLBACK CompareHistoryEntries(LPCWSTR a, LPCWSTR b) {
    return lstrcmpiW(a, b);
}

class Win32Device final : public Device {
  public:
    explicit Win32Device(HANDLE handle) : m_handle(handle) {}
    ~Win32Device() override { CloseHandle(m_handle); }

    bool Control(void* buffer, uint32_t size) override {
        DWORD returned = 0;
        if (DeviceIoControl(m_handle, kControlIoctl, buffer, size, buffer, size, &returned,
                            nullptr))
            return true;
        GetLastError();
        return false;
    }
    bool GetScsiAddress(ScsiAddress* address) override {
        ScsiAddressBytes raw{};
        DWORD returned = 0;
        if (!DeviceIoControl(m_handle, kIoctlScsiGetAddress, nullptr, 0, &raw, sizeof(raw),
                             &returned, nullptr))
            return false;
        address->length = raw.length;
        address->portNumber = raw.portNumber;
        address->pathId = raw.pathId;
        address->targetId = raw.targetId;
        address->lun = raw.lun;
        return true;
    }
    bool EjectMedia() override { return Simple(IOCTL_STORAGE_EJECT_MEDIA); }
    bool LoadMedia() override { return Simple(IOCTL_STORAGE_LOAD_MEDIA); }

  private:
    struct ScsiAddressBytes {
        ULONG length;
        UCHAR portNumber;
        UCHAR pathId;
        UCHAR targetId;
        UCHAR lun;
    };
    bool Simple(DWORD code) {
        DWORD returned = 0;
        return DeviceIoControl(m_handle, code, nullptr, 0, nullptr, 0, &returned, nullptr) != 0;
    }
    HANDLE m_handle;
};

HKEY RootKey(RegistryRoot root) {
    switch (root) {
    case RegistryRoot::LocalMachine:
        return HKEY_LOCAL_MACHINE;
    case RegistryRoot::ClassesRoot:
        return HKEY_CLASSES_ROOT;
    case RegistryRoot::CurrentUser:
        break;
    }
    return HKEY_CURRENT_USER;
}

UINT IconFlags(MessageIcon icon) {
    switch (icon) {
    case MessageIcon::Stop:
        return MB_ICONSTOP;
    case MessageIcon::Information:
        return MB_ICONINFORMATION;
    case MessageIcon::None:
        break;
    }
    return 0;
}

} // namespace

bool Win32DeviceNamespace::ListDosDevices(std::vector<std::wstring>* names) {
    std::vector<wchar_t> buffer;
    DWORD got = 0;
    try {
        for (DWORD size = kDosListChunk;; size += kDosListChunk) {
            buffer.assign(size, 0);
            got = QueryDosDeviceW(nullptr, buffer.data(), size);
            if (got != 0)
                break;
            if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
                return false;
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    names->clear();
    for (DWORD at = 0; at < got && buffer[at] != 0;) {
        std::wstring name(&buffer[at]);
        at += DWORD(name.size()) + 1;
        names->push_back(std::move(name));
    }
    return true;
}

bool Win32DeviceNamespace::QueryDosTarget(const std::wstring& name, std::wstring* target) {
    wchar_t buffer[kDosTargetChars + 1] = {};
    if (QueryDosDeviceW(name.c_str(), buffer, kDosTargetChars) == 0)
        return false;
    buffer[kDosTargetChars] = 0;
    *target = buffer;
    return true;
}

std::unique_ptr<Device> Win32DeviceNamespace::Open(const std::wstring& path) {
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    return std::make_unique<Win32Device>(handle);
}

uint32_t Win32DeviceNamespace::DriveType(wchar_t letter) {
    wchar_t root[] = {letter, L':', L'\\', 0};
    return GetDriveTypeW(root);
}

// The documented per-logon drive list (a process device-map query is refused by Wine).
uint32_t Win32DeviceNamespace::LogicalDrives() {
    return GetLogicalDrives();
}

bool Win32Registry::KeyExists(RegistryRoot root, const std::wstring& key) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(RootKey(root), key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return false;
    RegCloseKey(handle);
    return true;
}

uint32_t Win32Registry::QueryValue(RegistryRoot root, const std::wstring& key,
                                   const std::wstring& name, uint32_t* type, void* data,
                                   uint32_t* size) {
    HKEY handle = nullptr;
    LONG status = RegOpenKeyExW(RootKey(root), key.c_str(), 0, KEY_READ, &handle);
    if (status != ERROR_SUCCESS)
        return uint32_t(status);
    DWORD valueType = 0;
    DWORD valueSize = *size;
    status = RegQueryValueExW(handle, name.c_str(), nullptr, &valueType, static_cast<BYTE*>(data),
                              &valueSize);
    RegCloseKey(handle);
    *type = valueType;
    *size = valueSize;
    return uint32_t(status);
}

uint32_t Win32Registry::SetValue(RegistryRoot root, const std::wstring& key,
                                 const std::wstring& name, uint32_t type, const void* data,
                                 uint32_t size) {
    HKEY handle = nullptr;
    LONG status = RegCreateKeyExW(RootKey(root), key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                                  &handle, nullptr);
    if (status != ERROR_SUCCESS)
        return uint32_t(status);
    status = RegSetValueExW(handle, name.c_str(), 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(handle);
    return uint32_t(status);
}

uint32_t Win32Registry::DeleteValue(RegistryRoot root, const std::wstring& key,
                                    const std::wstring& name) {
    HKEY handle = nullptr;
    LONG status = RegOpenKeyExW(RootKey(root), key.c_str(), 0, KEY_SET_VALUE, &handle);
    if (status != ERROR_SUCCESS)
        return uint32_t(status);
    status = RegDeleteValueW(handle, name.c_str());
    RegCloseKey(handle);
    return uint32_t(status);
}

uint32_t Win32Registry::DeleteKey(RegistryRoot root, const std::wstring& key) {
    return uint32_t(SHDeleteKeyW(RootKey(root), key.c_str()));
}

Win32MruStore::Win32MruStore() {
    m_module = LoadLibraryW(L"comctl32.dll");
    if (!m_module)
        return;
    auto entry = [this](WORD ordinal) {
        return reinterpret_cast<void*>(GetProcAddress(m_module, MAKEINTRESOURCEA(ordinal)));
    };
    m_create = reinterpret_cast<decltype(m_create)>(entry(kOrdinalCreateMruListW));
    m_add = reinterpret_cast<decltype(m_add)>(entry(kOrdinalAddMruStringW));
    m_enum = reinterpret_cast<decltype(m_enum)>(entry(kOrdinalEnumMruListW));
    m_free = reinterpret_cast<decltype(m_free)>(entry(kOrdinalFreeMruList));
}

Win32MruStore::~Win32MruStore() {
    if (m_module)
        FreeLibrary(m_module);
}

bool Win32MruStore::Available() const {
    return m_create && m_add && m_enum && m_free;
}

void* Win32MruStore::Open(uint32_t maxEntries) {
    if (!Available())
        return nullptr;
    MruInfoW info{};
    info.cbSize = sizeof(info);
    info.uMax = maxEntries;
    info.fFlags = kMruCacheWrite;
    info.hKey = HKEY_CURRENT_USER;
    info.lpszSubKey = L"SOFTWARE\\Vostrale\\History";
    info.lpfnCompare = CompareHistoryEntries;
    return m_create(&info);
}

int Win32MruStore::Add(void* list, const wchar_t* text) {
    return list ? m_add(HANDLE(list), text) : -1;
}

int Win32MruStore::Enum(void* list, int item, wchar_t* buffer, uint32_t size) {
    return list ? m_enum(HANDLE(list), item, buffer, size) : -1;
}

void Win32MruStore::Close(void* list) {
    if (list)
        m_free(HANDLE(list));
}

void Win32Ui::ShowMessage(const std::wstring& text, const wchar_t* caption, MessageIcon icon,
                          bool topmost) {
    MessageBoxW(nullptr, text.c_str(), caption,
                MB_OK | IconFlags(icon) | (topmost ? MB_TOPMOST : 0));
}

Win32Ui::Win32Ui() = default;
Win32Ui::~Win32Ui() = default;

void Win32Ui::ShowMountFailure(const std::wstring& path, const std::wstring& text) {
    if (m_ctx) {
        ShowMountFailureDialog(*m_ctx, FindTrayWindow(), path, text);
        return;
    }
    MessageBoxW(nullptr, (path + L"\n\n" + text).c_str(), kProductCaption,
                MB_OK | MB_ICONSTOP);
}

void Win32Ui::BeginProgress(ProgressRecord* record, const std::wstring& subject) {
    m_progress.reset();
    if (m_ctx)
        m_progress = std::make_unique<ProgressWindow>(*m_ctx, record, subject);
}

void Win32Ui::EndProgress() {
    m_progress.reset();
}

LogonResult Win32Ui::NetworkLogon(const std::wstring& path) {
    Win32NetworkConnector connector;
    Win32System system;
    return NetworkLogonDialog(nullptr, path, &connector, &system);
}

uint32_t Win32System::FullPathName(const std::wstring& path, wchar_t* out, uint32_t outChars) {
    return GetFullPathNameW(path.c_str(), outChars, out, nullptr);
}

uint32_t Win32System::LongPathName(const std::wstring& path, wchar_t* out, uint32_t outChars) {
    return GetLongPathNameW(path.c_str(), out, outChars);
}

uint32_t Win32System::FileAttributes(const std::wstring& path) {
    return GetFileAttributesW(path.c_str());
}

bool Win32System::RemoveFile(const std::wstring& path) {
    return DeleteFileW(path.c_str()) != 0;
}

std::wstring Win32System::ErrorText(uint32_t error) {
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::wstring result = n && text ? std::wstring(text, n) : L"Error " + std::to_wstring(error);
    if (text)
        LocalFree(text);
    return result;
}

std::wstring Win32System::ProgramPath() {
    return platform::ProgramFile().wstring();
}

uint32_t Win32System::ProcessId() {
    return GetCurrentProcessId();
}

uint32_t Win32System::ThreadId() {
    return GetCurrentThreadId();
}

std::filesystem::path Win32System::LogPath() {
    return DefaultLogPath();
}

void Win32TrayHost::InitialiseUi() {
    // Lists for the settings, links and progress bars for the tray's own dialogs.
    INITCOMMONCONTROLSEX controls{sizeof(controls),
                                  ICC_LISTVIEW_CLASSES | ICC_LINK_CLASS | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    // Dialog links: the common controls' own class, or ours where the system has none.
    RegisterHyperlinkClass(m_instance);
    m_comReady =
        SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
}

MutexResult Win32TrayHost::CreateInstanceMutex() {
    m_mutex = CreateMutexW(nullptr, TRUE, kInstanceMutexName);
    return ClassifyMutexResult(m_mutex != nullptr, GetLastError());
}

void Win32TrayHost::RunWindow() {
    if (!m_ctx || !RegisterTrayWindowClass(m_instance))
        return;
    HWND window = CreateTrayWindow(m_instance, *m_ctx);
    if (!window)
        return;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void Win32TrayHost::Shutdown() {
    if (m_comReady)
        CoUninitialize();
    m_comReady = false;
    UnregisterHyperlinkClass(m_instance);
    if (m_mutex)
        CloseHandle(m_mutex);
    m_mutex = nullptr;
}

std::vector<std::wstring> ProcessArguments() {
    std::vector<std::wstring> args;
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!argv)
        return args;
    for (int i = 1; i < count; ++i)
        args.emplace_back(argv[i]);
    LocalFree(argv);
    return args;
}

} // namespace vostrale::app
