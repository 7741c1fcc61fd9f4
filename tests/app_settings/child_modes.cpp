// The test binary doubles as the small programs the tests start: before the tests run, an
// environment variable set by a test turns the process into one of them.
//   VOSTRALE_TEST_ECHO=<file>:    writes its command line (UTF-16) to <file> and exits.
//   VOSTRALE_TEST_STARTUP=<file>: writes the lpReserved2 block of its start-up information to
//                                 <file> and exits (the updater's stand-in).
#include "tests/app_settings/child_modes.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace vostrale::app::test {

namespace {

// Written beside and renamed, so a waiting test never reads half a file.
void WriteAll(const wchar_t* path, const void* data, size_t size) {
    std::wstring part = std::wstring(path) + L".part";
    HANDLE file = CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        ExitProcess(3);
    DWORD written = 0;
    WriteFile(file, data, DWORD(size), &written, nullptr);
    CloseHandle(file);
    MoveFileExW(part.c_str(), path, MOVEFILE_REPLACE_EXISTING);
}

struct ChildMode {
    ChildMode() {
        wchar_t out[MAX_PATH] = {};
        if (GetEnvironmentVariableW(kEchoVariable, out, MAX_PATH)) {
            const wchar_t* line = GetCommandLineW();
            WriteAll(out, line, wcslen(line) * sizeof(wchar_t));
            ExitProcess(0);
        }
        if (GetEnvironmentVariableW(kStartupVariable, out, MAX_PATH)) {
            STARTUPINFOW info{};
            info.cb = sizeof(info);
            GetStartupInfoW(&info);
            // The pointer need not be aligned: copied out byte by byte.
            std::vector<unsigned char> block(info.cbReserved2);
            if (info.cbReserved2 && info.lpReserved2)
                std::memcpy(block.data(), info.lpReserved2, info.cbReserved2);
            WriteAll(out, block.data(), block.size());
            ExitProcess(0);
        }
    }
};

ChildMode g_childMode;

} // namespace

} // namespace vostrale::app::test
