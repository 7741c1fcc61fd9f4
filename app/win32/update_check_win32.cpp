#include "app/win32/update_check_win32.h"

#include "app/win32/associations_win32.h"

#include <windows.h>

#include <ctime>
#include <new>

namespace vostrale::app {

namespace {

struct UpdateJob {
    AppContext* ctx;
    bool forced;
    bool automatic;
};

DWORD WINAPI UpdateThread(void* parameter) {
    UpdateJob* job = static_cast<UpdateJob*>(parameter);
    RunUpdateCheck(*job->ctx, job->forced, job->automatic);
    delete job;
    return 0;
}

} // namespace

void StartUpdateThread(AppContext& ctx, bool forced, bool automatic) {
    UpdateJob* job = new (std::nothrow) UpdateJob{&ctx, forced, automatic};
    if (!job)
        return;
    HANDLE thread = CreateThread(nullptr, 0, UpdateThread, job, 0, nullptr);
    if (thread)
        CloseHandle(thread);
    else
        delete job;
}

void RunUpdateCheck(AppContext& ctx, bool forced, bool automatic) {
    UpdaterStart start;
    if (PlanUpdateCheck(ctx.s.registry, ctx.s.system, uint64_t(std::time(nullptr)), forced,
                        automatic, ProcessIsElevated(), &start))
        LaunchUpdater(start);
}

bool LaunchUpdater(const UpdaterStart& start) {
    // cbReserved2 is 16 bits: checked before it is narrowed.
    if (start.block.empty() || start.block.size() >= kMaxUpdaterBlockBytes)
        return false;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    startup.cbReserved2 = WORD(start.block.size());
    startup.lpReserved2 = const_cast<BYTE*>(start.block.data());
    // The full path as the application name and a quoted command line: an unquoted path with
    // blanks would be searched piece by piece ("C:\Program.exe").
    std::wstring commandLine = start.commandLine;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(start.application.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

} // namespace vostrale::app
