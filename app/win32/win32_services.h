// The real implementations of the tray program's interfaces (Windows only).
#pragma once

#include "app/command_line.h"
#include "app/context.h"
#include "app/interfaces.h"
#include "app/startup.h"

#include <windows.h>

namespace vostrale::app {

class Win32DeviceNamespace final : public DeviceNamespace {
  public:
    bool ListDosDevices(std::vector<std::wstring>* names) override;
    bool QueryDosTarget(const std::wstring& name, std::wstring* target) override;
    std::unique_ptr<Device> Open(const std::wstring& path) override;
    uint32_t DriveType(wchar_t letter) override;
    uint32_t LogicalDrives() override;
};

class Win32Registry final : public Registry {
  public:
    bool KeyExists(RegistryRoot root, const std::wstring& key) override;
    uint32_t QueryValue(RegistryRoot root, const std::wstring& key, const std::wstring& name,
                        uint32_t* type, void* data, uint32_t* size) override;
    uint32_t SetValue(RegistryRoot root, const std::wstring& key, const std::wstring& name,
                      uint32_t type, const void* data, uint32_t size) override;
    uint32_t DeleteValue(RegistryRoot root, const std::wstring& key,
                         const std::wstring& name) override;
    uint32_t DeleteKey(RegistryRoot root, const std::wstring& key) override;
};

// The shell's MRU list functions, which comctl32 exports by ordinal only.
class Win32MruStore final : public MruStore {
  public:
    Win32MruStore();
    ~Win32MruStore() override;
    bool Available() const;
    void* Open(uint32_t maxEntries) override;
    int Add(void* list, const wchar_t* text) override;
    int Enum(void* list, int item, wchar_t* buffer, uint32_t size) override;
    void Close(void* list) override;

  private:
    HMODULE m_module = nullptr;
    HANDLE(WINAPI* m_create)(const void*) = nullptr;
    int(WINAPI* m_add)(HANDLE, LPCWSTR) = nullptr;
    int(WINAPI* m_enum)(HANDLE, int, void*, UINT) = nullptr;
    void(WINAPI* m_free)(HANDLE) = nullptr;
};

class ProgressWindow;

class Win32Ui final : public Ui {
  public:
    Win32Ui();
    ~Win32Ui() override;
    // The program whose language and hooks the dialogs use.
    void Attach(AppContext* ctx) { m_ctx = ctx; }
    void ShowMessage(const std::wstring& text, const wchar_t* caption, MessageIcon icon,
                     bool topmost) override;
    void ShowMountFailure(const std::wstring& path, const std::wstring& text) override;
    LogonResult NetworkLogon(const std::wstring& path) override;
    void BeginProgress(ProgressRecord* record, const std::wstring& subject) override;
    void EndProgress() override;

  private:
    AppContext* m_ctx = nullptr;
    std::unique_ptr<ProgressWindow> m_progress;
};

class Win32System final : public System {
  public:
    uint32_t FullPathName(const std::wstring& path, wchar_t* out, uint32_t outChars) override;
    uint32_t LongPathName(const std::wstring& path, wchar_t* out, uint32_t outChars) override;
    uint32_t FileAttributes(const std::wstring& path) override;
    bool RemoveFile(const std::wstring& path) override;
    std::wstring ErrorText(uint32_t error) override;
    std::wstring ProgramPath() override;
    uint32_t ProcessId() override;
    uint32_t ThreadId() override;
    std::filesystem::path LogPath() override;
};

class Win32TrayHost final : public TrayHost {
  public:
    Win32TrayHost(HINSTANCE instance, AppContext* ctx) : m_instance(instance), m_ctx(ctx) {}
    void InitialiseUi() override;
    MutexResult CreateInstanceMutex() override;
    void RunWindow() override;
    void Shutdown() override;

  private:
    HINSTANCE m_instance;
    AppContext* m_ctx;
    HANDLE m_mutex = nullptr;
    bool m_comReady = false;
};

// Driver install and uninstall and letter moves run over the real setup layer
// (oneshot_jobs_win32.cpp); ApplyAssociations is the "/XF" job (associations_win32.cpp).
class Win32OneShotJobs final : public OneShotJobs {
  public:
    explicit Win32OneShotJobs(AppContext& ctx) : m_ctx(ctx) {}
    JobResult InstallDriver(uint64_t owner) override;
    JobResult UninstallDriver() override;
    void ApplyAssociations(const std::wstring& changeFile) override;
    JobResult MoveDriveLetter(wchar_t from, wchar_t to) override;

  private:
    AppContext& m_ctx;
};

// The process's arguments after the program name, split as the shell does.
std::vector<std::wstring> ProcessArguments();

} // namespace vostrale::app
