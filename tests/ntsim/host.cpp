#include "tests/ntsim/host.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace ntsim::host {
namespace {

struct Start {
    ThreadEntry entry;
    void* context;
};

DWORD WINAPI ThreadMain(void* p) {
    Start s = *static_cast<Start*>(p);
    delete static_cast<Start*>(p);
    s.entry(s.context);
    return 0;
}

uintptr_t g_trapBegin = 0;
uintptr_t g_trapEnd = 0;
Cr8Hooks g_hooks{};
std::atomic<uint64_t> g_trapped{0};
PVOID g_handler = nullptr;
bool (*g_isPoisoned)(uintptr_t) = nullptr;
void (*g_reportPoison)(uintptr_t) = nullptr;

// CONTEXT keeps the sixteen general registers in encoding order from Rax on.
DWORD64* Register(CONTEXT* c, unsigned index) {
    return &c->Rax + index;
}

LONG CALLBACK Trap(EXCEPTION_POINTERS* e) {
    DWORD code = e->ExceptionRecord->ExceptionCode;
    uintptr_t ip = uintptr_t(e->ContextRecord->Rip);
    if (code == EXCEPTION_ACCESS_VIOLATION && g_isPoisoned &&
        e->ExceptionRecord->NumberParameters >= 2) {
        uintptr_t address = uintptr_t(e->ExceptionRecord->ExceptionInformation[1]);
        if (g_isPoisoned(address)) {
            g_reportPoison(address);
            std::fflush(stderr);
            std::_Exit(3);
        }
    }
    if (code != EXCEPTION_PRIV_INSTRUCTION || ip < g_trapBegin || ip >= g_trapEnd)
        return EXCEPTION_CONTINUE_SEARCH;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(ip);
    unsigned length = 0;
    uint8_t rex = 0;
    if ((p[0] & 0xF0) == 0x40)
        rex = p[length++];
    if (p[length] != 0x0F || (p[length + 1] != 0x20 && p[length + 1] != 0x22))
        return EXCEPTION_CONTINUE_SEARCH;
    bool read = p[length + 1] == 0x20;
    uint8_t modrm = p[length + 2];
    length += 3;
    unsigned cr = ((modrm >> 3) & 7) | ((rex & 4) ? 8 : 0);
    unsigned gpr = (modrm & 7) | ((rex & 1) ? 8 : 0);
    if ((modrm & 0xC0) != 0xC0 || cr != 8)
        return EXCEPTION_CONTINUE_SEARCH;
    if (read)
        *Register(e->ContextRecord, gpr) = g_hooks.read();
    else
        g_hooks.write(*Register(e->ContextRecord, gpr));
    e->ContextRecord->Rip += length;
    ++g_trapped;
    return EXCEPTION_CONTINUE_EXECUTION;
}

void EnsureHandler() {
    if (!g_handler)
        g_handler = AddVectoredExceptionHandler(1, Trap);
}

} // namespace

uintptr_t StartThread(ThreadEntry entry, void* context) {
    Start* s = new Start{entry, context};
    HANDLE h = CreateThread(nullptr, 0, ThreadMain, s, 0, nullptr);
    if (!h)
        delete s;
    return uintptr_t(h);
}

void EndThread() {
    ExitThread(0);
}

void CloseThread(uintptr_t thread) {
    if (thread)
        CloseHandle(HANDLE(thread));
}

uint32_t CurrentThreadId() {
    return GetCurrentThreadId();
}

uintptr_t OpenFile(const std::wstring& path, bool* directory) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    if (directory)
        *directory = IsDirectoryHandle(uintptr_t(h));
    return uintptr_t(h);
}

uintptr_t DuplicateFile(uintptr_t handle) {
    HANDLE out = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), HANDLE(handle), GetCurrentProcess(), &out, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return 0;
    return uintptr_t(out);
}

bool IsDirectoryHandle(uintptr_t handle) {
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(HANDLE(handle), &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

int64_t ReadFileAt(uintptr_t handle, uint64_t offset, void* buffer, uint32_t length) {
    OVERLAPPED o{};
    o.Offset = DWORD(offset);
    o.OffsetHigh = DWORD(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(HANDLE(handle), buffer, length, &got, &o))
        return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    return got;
}

int64_t FileSize(uintptr_t handle) {
    LARGE_INTEGER size;
    return GetFileSizeEx(HANDLE(handle), &size) ? size.QuadPart : -1;
}

void CloseFile(uintptr_t handle) {
    if (handle)
        CloseHandle(HANDLE(handle));
}

void RaiseAccessViolation() {
    RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
    std::abort();
}

void InstallTrap(uintptr_t begin, uintptr_t end, Cr8Hooks hooks) {
    g_hooks = hooks;
    g_trapBegin = begin;
    g_trapEnd = end;
    EnsureHandler();
}

void RemoveTrap() {
    g_trapBegin = g_trapEnd = 0;
}

uint64_t TrappedAccesses() {
    return g_trapped.load();
}

Guarded AllocateGuarded(size_t size) {
    Guarded g;
    g.size = (size + 4095) & ~size_t(4095);
    g.base = static_cast<uint8_t*>(
        VirtualAlloc(nullptr, g.size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!g.base)
        g.size = 0;
    return g;
}

void Poison(const Guarded& block) {
    DWORD old = 0;
    VirtualProtect(block.base, block.size, PAGE_NOACCESS, &old);
}

void FreeGuarded(const Guarded& block) {
    if (block.base)
        VirtualFree(block.base, 0, MEM_RELEASE);
}

void SetPoisonHook(bool (*isPoisoned)(uintptr_t), void (*report)(uintptr_t)) {
    g_isPoisoned = isPoisoned;
    g_reportPoison = report;
    EnsureHandler();
}

uint8_t* AllocateImage(size_t size) {
    return static_cast<uint8_t*>(
        VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
}

void ProtectImage(uint8_t* address, size_t size, bool execute, bool write) {
    DWORD protect = execute ? (write ? PAGE_EXECUTE_READWRITE : PAGE_EXECUTE_READ)
                            : (write ? PAGE_READWRITE : PAGE_READONLY);
    DWORD old = 0;
    VirtualProtect(address, size, protect, &old);
}

void FreeImage(uint8_t* address) {
    if (address)
        VirtualFree(address, 0, MEM_RELEASE);
}

bool AddFunctionTable(void* table, uint32_t count, uint64_t base) {
    return RtlAddFunctionTable(static_cast<PRUNTIME_FUNCTION>(table), count, base);
}

void DeleteFunctionTable(void* table) {
    RtlDeleteFunctionTable(static_cast<PRUNTIME_FUNCTION>(table));
}

void* NtdllExport(const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name));
}

uint64_t NowMs() {
    return GetTickCount64();
}

void SleepMs(uint32_t ms) {
    Sleep(ms);
}

} // namespace ntsim::host
