// The Win32 services the kernel model stands on: threads, host files, exceptions and the
// privileged-instruction trap. Kept apart from the model's kernel layouts because <windows.h>
// defines many of the same names as macros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ntsim::host {

// ---- Threads -------------------------------------------------------------------------------
using ThreadEntry = void (*)(void* context);
// A new Win32 thread running entry(context); returns its handle (0 on failure).
uintptr_t StartThread(ThreadEntry entry, void* context);
// Ends the calling thread at once (the kernel's PsTerminateSystemThread never returns).
[[noreturn]] void EndThread();
void CloseThread(uintptr_t thread);
uint32_t CurrentThreadId();

// ---- Host files ----------------------------------------------------------------------------
// Opens an existing file or folder for reading (share read and write). 0 when it cannot.
uintptr_t OpenFile(const std::wstring& path, bool* directory);
// A duplicate of a handle of this process, 0 on failure.
uintptr_t DuplicateFile(uintptr_t handle);
bool IsDirectoryHandle(uintptr_t handle);
// Reads at an offset; returns the bytes read, -1 on error.
int64_t ReadFileAt(uintptr_t handle, uint64_t offset, void* buffer, uint32_t length);
int64_t FileSize(uintptr_t handle);
void CloseFile(uintptr_t handle);

// ---- Exceptions ----------------------------------------------------------------------------
// Raises the kernel's access-violation status as a structured exception.
[[noreturn]] void RaiseAccessViolation();

// The privileged-instruction trap: reads and writes of CR8 inside [begin, end) are emulated
// with these hooks; everything else is left to the next handler.
struct Cr8Hooks {
    uint64_t (*read)();
    void (*write)(uint64_t value);
};
void InstallTrap(uintptr_t begin, uintptr_t end, Cr8Hooks hooks);
void RemoveTrap();
// Emulated CR8 accesses so far.
uint64_t TrappedAccesses();

// Memory that faults on any access once "poisoned" (completed request blocks).
struct Guarded {
    uint8_t* base = nullptr;
    size_t size = 0;
};
Guarded AllocateGuarded(size_t size);
void Poison(const Guarded& block);
void FreeGuarded(const Guarded& block);
// A fault inside a poisoned block is reported through this hook (then the process ends).
void SetPoisonHook(bool (*isPoisoned)(uintptr_t address), void (*report)(uintptr_t address));

// ---- Executable image memory ---------------------------------------------------------------
uint8_t* AllocateImage(size_t size);
void ProtectImage(uint8_t* address, size_t size, bool execute, bool write);
void FreeImage(uint8_t* address);
bool AddFunctionTable(void* table, uint32_t count, uint64_t base);
void DeleteFunctionTable(void* table);
// An export of ntdll, for routines the kernel shares with it (security descriptors, strings,
// the C exception handler). Null when absent.
void* NtdllExport(const char* name);

// Monotonic milliseconds.
uint64_t NowMs();
void SleepMs(uint32_t ms);

} // namespace ntsim::host
