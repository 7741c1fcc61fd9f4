// The crash filter does as little as possible on the faulting thread (which may have no stack
// left): it records the exception and its thread, wakes the watcher thread made at start-up and
// waits. The watcher, on its own stack, writes the dump and the rest of the report.
#include "app/win32/report_win32.h"

#include <csignal>
#include <dbghelp.h>
#include <exception>

namespace vostrale::app {

namespace {

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                          PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION,
                                          PMINIDUMP_CALLBACK_INFORMATION);

// libgcc raises these for a C++ throw and its unwind; when nothing catches a throw it expects
// them continued, and then calls std::terminate, which reports.
constexpr DWORD kGccThrow = 0x20474343;
constexpr DWORD kGccUnwind = 0x21474343;
constexpr SIZE_T kWatcherStack = 1 << 20;

struct CrashState {
    ReportEnvironment* env = nullptr;
    HANDLE wake = nullptr;
    HANDLE done = nullptr;
    DWORD watcherThread = 0;
    MiniDumpWriteDumpFn writeDump = nullptr;
    volatile LONG claimed = 0;
    EXCEPTION_POINTERS* pointers = nullptr;
    DWORD faultThread = 0;
    volatile LONG result = EXCEPTION_CONTINUE_SEARCH;
};

CrashState g_crash;

RegisterValues RegistersOf(const CONTEXT* c) {
    RegisterValues r;
    r.rax = c->Rax;
    r.rbx = c->Rbx;
    r.rcx = c->Rcx;
    r.rdx = c->Rdx;
    r.rsi = c->Rsi;
    r.rdi = c->Rdi;
    r.rip = c->Rip;
    r.rsp = c->Rsp;
    r.rbp = c->Rbp;
    r.eflags = c->EFlags;
    r.cs = c->SegCs;
    r.ss = c->SegSs;
    r.ds = c->SegDs;
    r.es = c->SegEs;
    r.fs = c->SegFs;
    r.gs = c->SegGs;
    return r;
}

bool WriteDump(const std::wstring& path) {
    if (!g_crash.writeDump)
        return false;
    HANDLE file = CreateReportFile(path);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    MINIDUMP_EXCEPTION_INFORMATION info{};
    info.ThreadId = g_crash.faultThread;
    info.ExceptionPointers = g_crash.pointers;
    info.ClientPointers = TRUE;
    BOOL ok = g_crash.writeDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal,
                                &info, nullptr, nullptr);
    CloseHandle(file);
    return ok != 0;
}

DWORD WINAPI Watcher(void*) {
    WaitForSingleObject(g_crash.wake, INFINITE);
    RegisterValues regs;
    bool haveRegs = g_crash.pointers && g_crash.pointers->ContextRecord;
    if (haveRegs)
        regs = RegistersOf(g_crash.pointers->ContextRecord);
    bool reported = PackCrashReport(g_crash.env, WriteDump, haveRegs ? &regs : nullptr);
    g_crash.result = reported ? EXCEPTION_EXECUTE_HANDLER : EXCEPTION_CONTINUE_SEARCH;
    SetEvent(g_crash.done);
    return 0;
}

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers ? pointers->ExceptionRecord : nullptr;
    if (record && (record->ExceptionCode == kGccThrow || record->ExceptionCode == kGccUnwind) &&
        !(record->ExceptionFlags & EXCEPTION_NONCONTINUABLE))
        return EXCEPTION_CONTINUE_EXECUTION;
    // A fault inside the capture itself: the report is lost, end without a second one.
    if (GetCurrentThreadId() == g_crash.watcherThread)
        TerminateProcess(GetCurrentProcess(), record ? record->ExceptionCode : 1);
    if (InterlockedCompareExchange(&g_crash.claimed, 1, 0) != 0) {
        // Another thread is already reporting; its end ends this thread too.
        WaitForSingleObject(g_crash.done, INFINITE);
        return g_crash.result;
    }
    if (!g_crash.wake)
        return EXCEPTION_CONTINUE_SEARCH;
    g_crash.pointers = pointers;
    g_crash.faultThread = GetCurrentThreadId();
    SetEvent(g_crash.wake);
    WaitForSingleObject(g_crash.done, INFINITE);
    if (g_crash.result == EXCEPTION_EXECUTE_HANDLER) {
        // Ended here rather than by the system's handler, which after a stack overflow under
        // Wine does not keep the exception code as the exit code.
        DWORD code = record ? record->ExceptionCode : 1;
        TerminateProcess(GetCurrentProcess(),
                         code == kUncaughtExceptionCode || code == kAbortCode ? 3 : code);
    }
    return g_crash.result;
}

// Uncaught C++ exceptions and abort() reach the same report as faults do.
[[noreturn]] void ReportFatal(DWORD code) {
    CONTEXT context{};
    RtlCaptureContext(&context);
    EXCEPTION_RECORD record{};
    record.ExceptionCode = code;
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    record.ExceptionAddress = reinterpret_cast<void*>(context.Rip);
    EXCEPTION_POINTERS pointers{&record, &context};
    CrashFilter(&pointers);
    TerminateProcess(GetCurrentProcess(), 3);
    for (;;)
        Sleep(INFINITE);
}

void OnTerminate() { ReportFatal(kUncaughtExceptionCode); }
void OnAbort(int) { ReportFatal(kAbortCode); }

} // namespace

void InstallCrashHandler(ReportEnvironment* env) {
    if (g_crash.env)
        return;
    g_crash.env = env;
    // dbghelp is loaded now: after a fault, the loader lock may be held or the heap broken.
    if (HMODULE dbghelp = LoadLibraryExW(L"dbghelp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32))
        g_crash.writeDump = reinterpret_cast<MiniDumpWriteDumpFn>(
            reinterpret_cast<void*>(GetProcAddress(dbghelp, "MiniDumpWriteDump")));
    g_crash.wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_crash.done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE watcher = nullptr;
    if (g_crash.wake && g_crash.done)
        watcher = CreateThread(nullptr, kWatcherStack, Watcher, nullptr,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, &g_crash.watcherThread);
    if (!watcher) {
        g_crash.wake = nullptr; // the filter then leaves the fault to the system
        return;
    }
    CloseHandle(watcher);
    SetUnhandledExceptionFilter(CrashFilter);
    std::set_terminate(OnTerminate);
    std::signal(SIGABRT, OnAbort);
}

} // namespace vostrale::app
