// A user-mode model of the NT kernel routines vostrale.sys imports, with the rules a kernel
// caller must keep checked on every call. A broken rule is recorded as a violation naming the
// routine; tests assert that none was recorded. One model per process (the routines are plain
// functions bound into the loaded image).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ntsim {

// ---- Violations ------------------------------------------------------------------------------
void Violation(const char* routine, const std::string& what);
std::vector<std::string> Violations();
void ClearViolations();

// ---- IRQL (per thread) -----------------------------------------------------------------------
constexpr uint8_t kPassiveLevel = 0;
constexpr uint8_t kApcLevel = 1;
constexpr uint8_t kDispatchLevel = 2;
constexpr uint8_t kDeviceLevel = 5; // what a miniport's initialisation runs at
uint8_t Irql();
void SetIrql(uint8_t level);
class IrqlScope {
  public:
    explicit IrqlScope(uint8_t level) : m_saved(Irql()) { SetIrql(level); }
    ~IrqlScope() { SetIrql(m_saved); }

  private:
    uint8_t m_saved;
};

// ---- Processes and handles -------------------------------------------------------------------
struct Process;
Process* SystemProcess();
// A user process that sends requests (its own handle table and identity).
Process* CreateSenderProcess(const std::string& name);
// The process ends: every handle in its table is closed.
void EndProcess(Process* process);

// The calling thread runs in `process` while the scope lasts (a sender's own thread).
class ProcessScope {
  public:
    explicit ProcessScope(Process* process);
    ~ProcessScope();

  private:
    Process* m_saved;
};

// Where a file lives, as the I/O manager reports it (file-system device, volume device).
enum class FileSystem { Disk, Network, NamedPipe, CdRom, OwnDrive };

// Access rights as the kernel spells them.
constexpr uint32_t kFileReadData = 0x0001;
constexpr uint32_t kFileGenericRead = 0x120089;
constexpr uint32_t kFileGenericWrite = 0x120116;

struct FileOptions {
    uint32_t access = kFileGenericRead;
    bool synchronous = true;
    FileSystem fileSystem = FileSystem::Disk;
};
// Puts a file object for the host handle `win32` into `process`'s handle table under the same
// handle value (so records filled by the parsers carry it unchanged). The model keeps its own
// duplicate of the host handle. Returns the handle value.
uint64_t AdoptHandle(Process* process, uintptr_t win32, const FileOptions& options);
// Closes one handle of a process, as the process itself would.
void CloseProcessHandle(Process* process, uint64_t handle);
// Paths (full Win32 paths) that a sender's identity may not open.
void DenyToSenders(const std::wstring& path);

// The object namespace of drive letters: "\??\X:" links to `target` (a device such as
// OwnDriveDevice(), another drive's path, a redirector's path). Letters not set lead to a
// local disk volume. An empty target removes the letter.
void SetDriveLink(wchar_t letter, const std::wstring& target);
// The name of one of the driver's own drives (the class device over the driver's unit).
std::wstring OwnDriveDevice();
// Files the driver has opened by name so far.
uint64_t FilesOpenedByName();

// ---- Clock and timers ------------------------------------------------------------------------
// Moves the model's clock; timers that come due run their deferred procedures on the calling
// thread at DISPATCH_LEVEL, and waits with a time limit end when the clock passes it.
void AdvanceClock(uint64_t milliseconds);

// ---- Registry --------------------------------------------------------------------------------
extern const wchar_t* const kServiceKey;
void CreateRegistryKey(const std::wstring& key);
void SetRegistryDword(const std::wstring& key, const std::wstring& name,
                      std::optional<uint32_t> value);
std::optional<uint32_t> RegistryDword(const std::wstring& key, const std::wstring& name);

// ---- Accounting ------------------------------------------------------------------------------
struct Accounting {
    size_t poolBlocks = 0;
    size_t poolBytes = 0;
    size_t pagedBytes = 0;
    size_t kernelHandles = 0;
    size_t references = 0; // object references the driver took and has not dropped
    size_t runningThreads = 0;
    size_t armedTimers = 0;
};
Accounting Account();
// What the driver still holds, one line each (pool by tag and type, handles, references,
// threads, timers, rundown references); empty when it holds nothing.
std::string LeakReport();

// ---- Injection -------------------------------------------------------------------------------
// Makes the next `count` pool allocations fail.
void FailNextAllocations(uint32_t count);
// What RtlGetEnabledExtendedFeatures reports (default x87, SSE and AVX); the next `count`
// KeSaveExtendedProcessorState calls fail as out of resources; saves made so far.
void SetEnabledExtendedFeatures(uint64_t mask);
void FailNextExtendedStateSaves(uint32_t count);
uint64_t ExtendedStateSaves();
// While held, file reads wait (a slow or stuck file): a read IRP stays pending in the file
// system until released or cancelled. WaitForHeldRead returns once a reader waits (false
// after the timeout). With `ignoreCancel` the file system does not honour cancellation either
// (a wedged one): only the release ends its reads.
void HoldFileReads(bool hold, bool ignoreCancel = false);
bool WaitForHeldRead(uint32_t timeoutMs);
// The lock the I/O manager takes on a file object opened for synchronous I/O around every
// system service on it (ZwReadFile): held by the sender for as long as it likes, as a waiting
// byte-range lock on the same object does.
void HoldFileObjectLock(Process* process, uint64_t handle, bool hold);
// IRPs of the driver's own the model has seen cancelled (IoCancelIrp found them pending).
uint64_t CancelledIrps();
// Makes the next `count` references of thread objects by handle fail.
void FailThreadReferences(uint32_t count);

// ---- Binding ---------------------------------------------------------------------------------
// The model's routine for an import of `dll`, or null.
void* ResolveImport(const std::string& dll, const std::string& name);
// The routine names the model implements (for the import-list check).
std::vector<std::string> ImplementedRoutines();
// Starts trapping CR8 accesses made by code in [begin, end).
void TrapIrqlAccess(uintptr_t begin, uintptr_t end);

// The access rules last set on the adapter's device: (mask, SID) per entry.
std::vector<std::pair<uint32_t, std::string>> AdapterDacl();

// Counters a test can read.
uint64_t CompletedIrps();
uint64_t PortDispatchCalls(); // device-control requests the takeover passed on

} // namespace ntsim
