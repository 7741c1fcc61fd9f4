// Test-only program for the report tests under Wine.
//   report_probe crash KIND HOST   installs the crash handler and faults in the way KIND names
//   report_probe launch BLOCK|- PROGRAM [ARGS...]
//                                  starts PROGRAM with the bytes of file BLOCK as its hand-over
//                                  block, waits, prints "exit=XXXXXXXX" (the whole exit code)
//   started with a hand-over block and no arguments (copied as tessivo.exe): writes the block
//   to "handover.bin" beside itself and exits 0
#include "app/win32/report_win32.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace vostrale::app;

namespace {

volatile int* g_null = nullptr;

__attribute__((noinline)) void FaultHere() { *g_null = 42; }

__attribute__((noinline)) int Recurse(int depth) {
    volatile char pad[4096];
    pad[0] = char(depth);
    return Recurse(depth + 1) + pad[0];
}

std::wstring OwnFolder() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path, n);
    return p.substr(0, p.find_last_of(L'\\') + 1);
}

// KIND ending in "-elevated" keeps the real elevation check, which Wine always answers "raised".
int Crash(std::wstring kind, const std::string& host) {
    const std::wstring suffix = L"-elevated";
    bool checkElevation = kind.size() > suffix.size() &&
                          kind.compare(kind.size() - suffix.size(), suffix.size(), suffix) == 0;
    if (checkElevation)
        kind.resize(kind.size() - suffix.size());
    static Win32ReportEnvironment env(ReportIdentity{"Vostrale", "Vostrale", host}, checkElevation);
    InstallCrashHandler(&env);
    if (kind == L"av") {
        FaultHere();
    } else if (kind == L"thread") {
        std::thread t([] { FaultHere(); });
        t.join();
    } else if (kind == L"twothreads") {
        std::thread a([] { FaultHere(); });
        std::thread b([] { FaultHere(); });
        a.join();
        b.join();
    } else if (kind == L"stack") {
        std::printf("%d\n", Recurse(0));
    } else if (kind == L"raise") {
        RaiseException(0xE0000042, 0, 0, nullptr);
    } else if (kind == L"throw") {
        throw std::runtime_error("nobody catches this");
    } else if (kind == L"abort") {
        std::abort();
    }
    return 0;
}

int Launch(const std::wstring& blockFile, const std::wstring& program, const std::wstring& args) {
    std::vector<uint8_t> block;
    if (blockFile != L"-") {
        FILE* f = _wfopen(blockFile.c_str(), L"rb");
        if (!f)
            return 2;
        uint8_t buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof(buffer), f)) > 0)
            block.insert(block.end(), buffer, buffer + n);
        std::fclose(f);
    }
    std::wstring commandLine = L"\"" + program + L"\"" + args;
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.cbReserved2 = WORD(block.size());
    si.lpReserved2 = block.empty() ? nullptr : block.data();
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &si, &pi))
        return 3;
    WaitForSingleObject(pi.hProcess, 300000);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    std::printf("exit=%08lX\n", static_cast<unsigned long>(code));
    std::fflush(stdout);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 2 && std::wcscmp(argv[1], L"info") == 0) {
        Win32ReportEnvironment env(ReportIdentity{});
        HANDLE token = nullptr;
        TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
        DWORD n = 0;
        OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
        GetTokenInformation(token, TokenElevationType, &type, sizeof(type), &n);
        std::printf("elevated=%d type=%d folder=%ls\n", int(env.IsElevated()), int(type),
                    env.ReportFolder().c_str());
        return 0;
    }
    if (argc >= 3 && std::wcscmp(argv[1], L"shot") == 0) {
        Win32ReportEnvironment env(ReportIdentity{}, false);
        std::printf("screenshots=%d\n", env.CaptureScreenshots(argv[2]));
        return 0;
    }
    if (argc >= 4 && std::wcscmp(argv[1], L"crash") == 0) {
        std::wstring h = argv[3];
        return Crash(argv[2], std::string(h.begin(), h.end()));
    }
    if (argc >= 4 && std::wcscmp(argv[1], L"launch") == 0) {
        std::wstring args;
        for (int i = 4; i < argc; ++i)
            args += std::wstring(L" \"") + argv[i] + L"\"";
        return Launch(argv[2], argv[3], args);
    }
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    GetStartupInfoW(&si);
    if (si.cbReserved2 == 0 || !si.lpReserved2)
        return 1;
    std::wstring out = OwnFolder() + L"handover.bin";
    FILE* f = _wfopen(out.c_str(), L"wb");
    if (!f)
        return 1;
    std::fwrite(si.lpReserved2, 1, si.cbReserved2, f);
    std::fclose(f);
    return 0;
}
