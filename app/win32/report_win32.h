// The report flow's Win32 side: the real report environment (documents folder, files without
// reparse points, screenshots through GDI and libjpeg, registry and machine facts, the
// uploader start) and the crash handler with its watcher thread.
#pragma once

#include "app/crash_report.h"

#include <windows.h>

namespace vostrale::app {

class Win32MachineRegistry final : public MachineRegistry {
  public:
    bool SubKeys(const std::wstring& key, RegistryView view,
                 std::vector<std::wstring>* names) override;
    uint32_t QueryValue(const std::wstring& key, RegistryView view, const std::wstring& name,
                        uint32_t* type, void* data, uint32_t* size) override;
};

class Win32MachineFacts final : public MachineFacts {
  public:
    uint32_t SystemLocale() override;
    uint32_t UserLocale() override;
    bool HasWow64View() override;
    bool Environment(const std::wstring& name, std::wstring* value) override;
    bool Memory(uint64_t* total, uint64_t* available) override;
    uint32_t LogicalDriveStrings(uint32_t chars, wchar_t* buffer) override;
    uint32_t DriveType(const std::wstring& root) override;
    bool Volume(const std::wstring& root, VolumeFacts* facts) override;
    bool FreeSpace(const std::wstring& root, uint64_t* total, uint64_t* free) override;
};

class Win32ReportEnvironment final : public ReportEnvironment {
  public:
    // `checkElevation` false is for tests under Wine, where every process looks raised by UAC.
    explicit Win32ReportEnvironment(const ReportIdentity& identity, bool checkElevation = true);
    const ReportIdentity& Identity() override { return m_identity; }
    bool IsElevated() override;
    std::wstring ReportFolder() override;
    bool ReadFile(const std::wstring& path, std::vector<uint8_t>* data) override;
    bool FileSize(const std::wstring& path, uint64_t* size) override;
    bool WriteNewFile(const std::wstring& path, const std::vector<uint8_t>& data) override;
    bool RemoveFile(const std::wstring& path) override;
    int CaptureScreenshots(const std::wstring& folder) override;
    MachineRegistry* Registry() override { return &m_registry; }
    MachineFacts* Facts() override { return &m_facts; }
    LocalTime Now() override;
    std::wstring ProgramPath() override;
    bool NarrowText(const std::wstring& text, bool isPath, std::string* out) override;
    bool StartProcess(const std::wstring& program, const std::vector<uint8_t>& block) override;

  private:
    ReportIdentity m_identity;
    bool m_checkElevation;
    Win32MachineRegistry m_registry;
    Win32MachineFacts m_facts;
};

// Creates a file anew for writing; never follows a reparse point. INVALID_HANDLE_VALUE on
// failure.
HANDLE CreateReportFile(const std::wstring& path);

// One JPEG (quality 15, baseline tables) of a top-down 24-bit BGR image; false (and no output)
// when the encoder reports an error, which never ends the process.
bool EncodeJpeg(const uint8_t* bgrRows, uint32_t width, uint32_t height,
                std::vector<uint8_t>* jpeg);

// Registers the crash filter, the terminate handler and the abort signal handler, loads
// dbghelp and starts the watcher thread that does the capture. Call once at start; `env`
// lives as long as the process.
void InstallCrashHandler(ReportEnvironment* env);

// Exception codes for the reports of an uncaught C++ exception and of abort().
inline constexpr DWORD kUncaughtExceptionCode = 0xE0564301;
inline constexpr DWORD kAbortCode = 0xE0564302;

} // namespace vostrale::app
