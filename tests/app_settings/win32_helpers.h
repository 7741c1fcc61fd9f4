// Small helpers of the Windows-side tests.
#pragma once

#include "app/interfaces.h"
#include "app/text.h"

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace vostrale::app::test {

inline std::wstring ThisProgram() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

inline std::wstring TempFolder() {
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    return folder;
}

inline std::string ReadWholeFile(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A system whose program file is wherever the test says.
class ProgramAtSystem final : public System {
  public:
    explicit ProgramAtSystem(std::wstring program) : m_program(std::move(program)) {}
    uint32_t FullPathName(const std::wstring&, wchar_t*, uint32_t) override { return 0; }
    uint32_t LongPathName(const std::wstring&, wchar_t*, uint32_t) override { return 0; }
    uint32_t FileAttributes(const std::wstring&) override { return kInvalidAttributes; }
    bool RemoveFile(const std::wstring&) override { return false; }
    std::wstring ErrorText(uint32_t) override { return {}; }
    std::wstring ProgramPath() override { return m_program; }
    uint32_t ProcessId() override { return GetCurrentProcessId(); }
    uint32_t ThreadId() override { return GetCurrentThreadId(); }
    std::filesystem::path LogPath() override { return {}; }

  private:
    std::wstring m_program;
};

} // namespace vostrale::app::test
