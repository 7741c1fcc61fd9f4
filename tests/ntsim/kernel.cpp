// The kernel routines of the model. Each routine checks what the kernel documents for its
// callers (IRQL maximum, argument rules, object types, pairing) before doing its work.
#include "tests/ntsim/host.h"
#include "tests/ntsim/model_internal.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <set>
#include <vector>

namespace ntsim {

std::mutex g_lock;
std::condition_variable g_changed;
uint64_t g_completedIrps = 0;
uint64_t g_portDispatchCalls = 0;

namespace {

using nt::NTSTATUS;
using nt::ULONG;

constexpr NTSTATUS kSuccess = 0;
constexpr NTSTATUS kTimeout = 0x102;
constexpr NTSTATUS kBufferOverflow = NTSTATUS(0x80000005);
constexpr NTSTATUS kInvalidInfoClass = NTSTATUS(0xC0000003);
constexpr NTSTATUS kInvalidHandle = NTSTATUS(0xC0000008);
constexpr NTSTATUS kInvalidParameter = NTSTATUS(0xC000000D);
constexpr NTSTATUS kEndOfFile = NTSTATUS(0xC0000011);
constexpr NTSTATUS kAccessDenied = NTSTATUS(0xC0000022);
constexpr NTSTATUS kBufferTooSmall = NTSTATUS(0xC0000023);
constexpr NTSTATUS kTypeMismatch = NTSTATUS(0xC0000024);
constexpr NTSTATUS kNameNotFound = NTSTATUS(0xC0000034);
constexpr NTSTATUS kPathSyntaxBad = NTSTATUS(0xC000003B);
constexpr NTSTATUS kNoResources = NTSTATUS(0xC000009A);
constexpr NTSTATUS kIsDirectory = NTSTATUS(0xC00000BA);

constexpr uint64_t kKernelHandleBits = 0xFFFFFFFF80000000ull;
constexpr uint32_t kMagicEvent = 0x4E564520;  // dispatcher headers the model writes
constexpr uint32_t kMagicTimer = 0x524D4954;
constexpr uint32_t kMagicDpc = 0x20435044;
constexpr uint64_t kHangMs = 60000; // a sender or port thread blocked this long is hung

// ---- Violations ----------------------------------------------------------------------------
std::mutex g_violationLock;
std::vector<std::string> g_violations;

// ---- Threads and processes -----------------------------------------------------------------
struct Token : Object {
    ULONG tokenType;
    std::string user;
    Token(ULONG t, std::string u) : Object(Type::Token), tokenType(t), user(std::move(u)) {}
};

struct HandleEntry {
    Object* object;
    uint32_t access;
};

} // namespace

struct Process : Object {
    std::string name;
    std::map<uint64_t, HandleEntry> table;
    uint64_t next = 4;
    Token* primary;
    Process(std::string n, const std::string& user)
        : Object(Type::Process), name(std::move(n)), primary(new Token(nt::TokenPrimary, user)) {
        permanent = true;
        primary->permanent = true;
    }
};

namespace {

struct Thread : Object {
    uintptr_t win32 = 0;
    Process* process = nullptr;
    bool system = false; // created by PsCreateSystemThread
    bool ended = false;
    Token* impersonation = nullptr;
    void (*start)(void*) = nullptr;
    void* context = nullptr;
    Thread() : Object(Type::Thread) {}
};

thread_local Thread* t_self = nullptr;
thread_local uint8_t t_irql = 0;
// Extended processor state saved by the driver on this thread: innermost last, with the IRQL
// of its save.
thread_local std::vector<std::pair<const nt::XSTATE_SAVE*, uint8_t>> t_savedStates;

Process g_system("System", "SYSTEM");
std::set<Object*> g_objects; // live non-permanent objects and every permanent one
std::vector<Thread*> g_systemThreads;

// ---- Files ----------------------------------------------------------------------------------
struct File : Object {
    uintptr_t host = 0;
    bool directory = false;
    bool lockHeld = false;    // the I/O manager's file-object lock, held by the sender
    Device* fileSystem = nullptr; // where read IRPs go (IoGetRelatedDeviceObject)
    Device* volume = nullptr; // FILE_OBJECT.DeviceObject
    ULONG volumeType = 0;     // FileFsDeviceInformation's device type
    ULONG characteristics = 0;
    std::wstring path;
    File() : Object(Type::File) {}
};

struct Key : Object {
    std::wstring path;
    Key() : Object(Type::Key) {}
};

struct Link : Object {
    std::wstring target;
    Link() : Object(Type::Link) {}
};
std::map<wchar_t, std::wstring> g_driveLinks; // by upper-case letter
uint64_t g_filesOpenedByName = 0;
const wchar_t* const kDefaultVolume = L"\\Device\\HarddiskVolume1";
const wchar_t* const kOwnDrive = L"\\Device\\CdRom7";

// Volume devices by where a file lives, each over a stack whose bottom belongs to some driver.
Device* g_diskVolume;
Device* g_networkVolume;
Device* g_pipeVolume;
Device* g_cdVolume;
Device* g_ownVolume;
Device* g_diskFileSystem;
Device* g_networkFileSystem;
Device* g_pipeFileSystem;
Device* g_cdFileSystem;
Object g_otherDriver(Type::Driver);
std::set<std::wstring> g_denied;

// ---- Pool -----------------------------------------------------------------------------------
struct Block {
    size_t size;
    uint32_t tag;
    ULONG type;
};
std::map<uintptr_t, Block> g_pool;
uint32_t g_failAllocations = 0;
uint32_t g_failThreadReferences = 0;
bool g_holdReads = false;
bool g_ignoreCancel = false;
// x87, SSE and AVX, as a current system enables them.
uint64_t g_enabledFeatures = 0x7;
uint32_t g_failStateSaves = 0;
uint64_t g_stateSaves = 0;
uint32_t g_heldReads = 0;
uint64_t g_cancelledIrps = 0;

// IRPs the driver built for file reads, from IoBuildSynchronousFsdRequest to the I/O
// manager's final completion.
enum class IrpState { Built, InFileSystem, Pending, Completing, Kept };
struct FileIrp {
    host::Guarded block;
    IrpState state = IrpState::Built;
    void* thread = nullptr; // a synchronous request belongs to the thread that built it
    uint64_t* event = nullptr;
    nt::IO_STATUS_BLOCK* iosb = nullptr;
    File* file = nullptr;
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    uint64_t offset = 0;
};
std::map<nt::IRP*, FileIrp> g_fileIrps;
std::vector<host::Guarded> g_freedIrps; // inaccessible from their release on
std::map<nt::FILE_OBJECT*, File*> g_fileObjects;

// ---- Dispatcher objects ---------------------------------------------------------------------
std::set<uint64_t*> g_timers;
std::set<uint64_t*> g_dpcs;
std::map<const void*, int> g_waiters; // object -> threads waiting on it
uint64_t g_now100ns = 0;
uint32_t g_dpcsRunning = 0;
std::set<void*> g_rundowns;

// ---- Registry -------------------------------------------------------------------------------
struct Value {
    ULONG type;
    std::vector<uint8_t> data;
};
std::map<std::wstring, std::map<std::wstring, Value>> g_registry;

std::wstring Lower(std::wstring s) {
    for (wchar_t& c : s)
        c = (c >= L'A' && c <= L'Z') ? wchar_t(c - L'A' + L'a') : c;
    return s;
}

std::wstring FromUnicode(const nt::UNICODE_STRING* s) {
    if (!s || !s->Buffer)
        return {};
    return std::wstring(s->Buffer, s->Length / sizeof(wchar_t));
}

Thread* Self() {
    if (!t_self) {
        Thread* t = new Thread;
        t->permanent = true; // a thread of the test itself
        t->process = &g_system;
        std::lock_guard<std::mutex> lock(g_lock);
        g_objects.insert(t);
        t_self = t;
    }
    return t_self;
}

const char* TypeName(Type t) {
    switch (t) {
    case Type::File:
        return "file";
    case Type::Device:
        return "device";
    case Type::Thread:
        return "thread";
    case Type::Process:
        return "process";
    case Type::Token:
        return "token";
    case Type::Key:
        return "registry key";
    case Type::Link:
        return "symbolic link";
    default:
        return "driver";
    }
}

const char* LevelName(uint8_t level) {
    switch (level) {
    case 0:
        return "PASSIVE_LEVEL";
    case 1:
        return "APC_LEVEL";
    case 2:
        return "DISPATCH_LEVEL";
    default:
        return "DIRQL";
    }
}

// Frees an object once nothing holds it any more. Called with the lock held.
void MaybeFree(Object* o) {
    if (o->permanent || o->refs > 0 || o->handles > 0)
        return;
    if (o->type == Type::Thread && !static_cast<Thread*>(o)->ended)
        return;
    g_objects.erase(o);
    switch (o->type) {
    case Type::File: {
        File* f = static_cast<File*>(o);
        g_fileObjects.erase(reinterpret_cast<nt::FILE_OBJECT*>(f->body));
        host::CloseFile(f->host);
        delete f;
        break;
    }
    case Type::Thread: {
        Thread* t = static_cast<Thread*>(o);
        host::CloseThread(t->win32);
        g_systemThreads.erase(std::remove(g_systemThreads.begin(), g_systemThreads.end(), t),
                              g_systemThreads.end());
        delete t;
        break;
    }
    case Type::Token:
        delete static_cast<Token*>(o);
        break;
    case Type::Key:
        delete static_cast<Key*>(o);
        break;
    case Type::Link:
        delete static_cast<Link*>(o);
        break;
    default:
        break;
    }
}

// Looks a handle up in the table it belongs to. Called with the lock held.
HandleEntry* FindHandle(uint64_t handle, bool* kernel) {
    *kernel = (handle & kKernelHandleBits) == kKernelHandleBits;
    Process* p = *kernel ? &g_system : Self()->process;
    auto it = p->table.find(handle);
    return it == p->table.end() ? nullptr : &it->second;
}

const Block* BlockAt(const void* address) {
    uintptr_t a = uintptr_t(address);
    auto it = g_pool.upper_bound(a);
    if (it == g_pool.begin())
        return nullptr;
    --it;
    return a < it->first + it->second.size ? &it->second : nullptr;
}

bool Signalled(const void* object) {
    if (IsRegisteredObject(object, Type::Thread))
        return static_cast<const Thread*>(object)->ended;
    const uint64_t* e = static_cast<const uint64_t*>(object);
    return e[1] != 0;
}

} // namespace

// ---- Shared helpers --------------------------------------------------------------------------

void Violation(const char* routine, const std::string& what) {
    std::string text = std::string(routine) + ": " + what;
    std::fprintf(stderr, "kernel model violation: %s\n", text.c_str());
    std::lock_guard<std::mutex> lock(g_violationLock);
    g_violations.push_back(text);
}

std::vector<std::string> Violations() {
    std::lock_guard<std::mutex> lock(g_violationLock);
    return g_violations;
}

void ClearViolations() {
    std::lock_guard<std::mutex> lock(g_violationLock);
    g_violations.clear();
}

uint8_t Irql() {
    return t_irql;
}

void SetIrql(uint8_t level) {
    t_irql = level;
}

void CheckIrql(const char* routine, uint8_t maximum) {
    if (t_irql > maximum)
        Violation(routine, std::string("called at ") + LevelName(t_irql) + ", allowed up to " +
                               LevelName(maximum));
}

void CheckNonPaged(const char* routine, const void* address, size_t size, const char* what) {
    std::lock_guard<std::mutex> lock(g_lock);
    const Block* b = BlockAt(address);
    if (!b && size > 1)
        b = BlockAt(static_cast<const uint8_t*>(address) + size - 1);
    if (b && b->type == nt::PagedPool)
        Violation(routine, std::string(what) + " lies in paged pool");
}

bool IsRegisteredObject(const void* address, Type type) {
    auto it = g_objects.find(static_cast<Object*>(const_cast<void*>(address)));
    return it != g_objects.end() && (*it)->type == type;
}

uint64_t InsertHandle(Process* process, Object* object, uint32_t access, bool kernel) {
    Process* p = kernel ? &g_system : process;
    uint64_t value = p->next;
    p->next += 4;
    if (kernel)
        value |= kKernelHandleBits;
    p->table[value] = HandleEntry{object, access};
    ++object->handles;
    return value;
}

Process* CurrentProcess() {
    return Self()->process;
}

void* CurrentThreadObject() {
    return Self();
}

Device* NewDevice(uint32_t deviceType) {
    Device* d = new Device(deviceType);
    std::lock_guard<std::mutex> lock(g_lock);
    g_objects.insert(d);
    return d;
}

Process* SystemProcess() {
    return &g_system;
}

Process* CreateSenderProcess(const std::string& name) {
    Process* p = new Process(name, name + "-user");
    std::lock_guard<std::mutex> lock(g_lock);
    g_objects.insert(p);
    return p;
}

void EndProcess(Process* process) {
    std::lock_guard<std::mutex> lock(g_lock);
    for (auto& [value, entry] : process->table) {
        --entry.object->handles;
        MaybeFree(entry.object);
    }
    process->table.clear();
}

ProcessScope::ProcessScope(Process* process) : m_saved(Self()->process) {
    Self()->process = process;
}

ProcessScope::~ProcessScope() {
    Self()->process = m_saved;
}

namespace {

Device* VolumeOver(uint32_t type, void* driverObject, const wchar_t* name) {
    Device* pdo = NewDevice(type);
    std::memcpy(pdo->body + 8, &driverObject, sizeof(void*));
    Device* volume = NewDevice(type);
    volume->base = pdo;
    volume->lower = pdo;
    volume->name = name;
    pdo->upper = volume;
    std::memcpy(volume->body + 8, &g_otherDriver, sizeof(void*)); // a class driver's
    return volume;
}

void EnsureVolumes() {
    if (g_diskVolume)
        return;
    g_diskVolume = VolumeOver(0x07, &g_otherDriver, kDefaultVolume);
    g_networkVolume = VolumeOver(0x14, &g_otherDriver, L"");
    g_pipeVolume = VolumeOver(0x11, &g_otherDriver, L"");
    g_cdVolume = VolumeOver(0x02, &g_otherDriver, L"\\Device\\CdRom0");
    // One of the driver's drives: its unit belongs to the loaded driver (set at load), the
    // class device above it carries the name drive letters link to.
    g_ownVolume = VolumeOver(0x02, nullptr, kOwnDrive);
    for (Device** fs : {&g_diskFileSystem, &g_networkFileSystem, &g_pipeFileSystem,
                        &g_cdFileSystem}) {
        *fs = NewDevice(fs == &g_networkFileSystem ? 0x14 : fs == &g_pipeFileSystem ? 0x11 : 0x08);
        (*fs)->fileSystem = true;
    }
}

File* NewFile(uintptr_t host, FileSystem fs, bool synchronous) {
    EnsureVolumes();
    File* f = new File;
    f->host = host;
    f->directory = host::IsDirectoryHandle(host);
    switch (fs) {
    case FileSystem::Disk:
        f->fileSystem = g_diskFileSystem;
        f->volume = g_diskVolume;
        f->volumeType = 0x07; // FILE_DEVICE_DISK
        break;
    case FileSystem::Network:
        f->fileSystem = g_networkFileSystem;
        f->volume = g_networkVolume;
        f->volumeType = 0x07; // a share is a remote disk
        f->characteristics = 0x10; // FILE_REMOTE_DEVICE
        break;
    case FileSystem::NamedPipe:
        f->fileSystem = g_pipeFileSystem;
        f->volume = g_pipeVolume;
        f->volumeType = 0x11;
        break;
    case FileSystem::CdRom:
        f->fileSystem = g_cdFileSystem;
        f->volume = g_cdVolume;
        f->volumeType = 0x02;
        break;
    case FileSystem::OwnDrive:
        f->fileSystem = g_cdFileSystem;
        f->volume = g_ownVolume;
        f->volumeType = 0x02;
        break;
    }
    nt::FILE_OBJECT* fo = reinterpret_cast<nt::FILE_OBJECT*>(f->body);
    fo->Flags = synchronous ? nt::FO_SYNCHRONOUS_IO : 0;
    fo->DeviceObject = reinterpret_cast<nt::DEVICE_OBJECT*>(f->volume);
    return f;
}

} // namespace

void SetOwnDriver(void* driverObject) {
    EnsureVolumes();
    std::memcpy(g_ownVolume->base->body + 8, &driverObject, sizeof(void*));
}

uint64_t AdoptHandle(Process* process, uintptr_t win32, const FileOptions& options) {
    uintptr_t own = host::DuplicateFile(win32);
    if (!own)
        return 0;
    File* f = NewFile(own, options.fileSystem, options.synchronous);
    std::lock_guard<std::mutex> lock(g_lock);
    g_objects.insert(f);
    g_fileObjects[reinterpret_cast<nt::FILE_OBJECT*>(f->body)] = f;
    uint64_t value = uint64_t(win32);
    auto old = process->table.find(value);
    if (old != process->table.end()) {
        --old->second.object->handles;
        MaybeFree(old->second.object);
    }
    process->table[value] = HandleEntry{f, options.access};
    ++f->handles;
    return value;
}

void CloseProcessHandle(Process* process, uint64_t handle) {
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = process->table.find(handle);
    if (it == process->table.end())
        return;
    Object* o = it->second.object;
    process->table.erase(it);
    --o->handles;
    MaybeFree(o);
}

void SetDriveLink(wchar_t letter, const std::wstring& target) {
    std::lock_guard<std::mutex> lock(g_lock);
    wchar_t key = letter >= L'a' && letter <= L'z' ? wchar_t(letter - L'a' + L'A') : letter;
    if (target.empty())
        g_driveLinks.erase(key);
    else
        g_driveLinks[key] = target;
}

std::wstring OwnDriveDevice() {
    return kOwnDrive;
}

uint64_t FilesOpenedByName() {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_filesOpenedByName;
}

void DenyToSenders(const std::wstring& path) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_denied.insert(Lower(path));
}

void CompletePendingReads(); // defined with the read IRPs below

void HoldFileReads(bool hold, bool ignoreCancel) {
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_holdReads = hold;
        g_ignoreCancel = hold && ignoreCancel;
        g_changed.notify_all();
    }
    if (!hold)
        CompletePendingReads();
}

void HoldFileObjectLock(Process* process, uint64_t handle, bool hold) {
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = process->table.find(handle);
    if (it != process->table.end() && it->second.object->type == Type::File)
        static_cast<File*>(it->second.object)->lockHeld = hold;
    g_changed.notify_all();
}

uint64_t CancelledIrps() {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_cancelledIrps;
}

bool WaitForHeldRead(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(g_lock);
    uint64_t start = host::NowMs();
    while (g_heldReads == 0) {
        if (host::NowMs() - start > timeoutMs)
            return false;
        g_changed.wait_for(lock, std::chrono::milliseconds(20));
    }
    return true;
}

void FailThreadReferences(uint32_t count) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_failThreadReferences = count;
}

void SetEnabledExtendedFeatures(uint64_t mask) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_enabledFeatures = mask;
}

void FailNextExtendedStateSaves(uint32_t count) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_failStateSaves = count;
}

uint64_t ExtendedStateSaves() {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_stateSaves;
}

void FailNextAllocations(uint32_t count) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_failAllocations = count;
}

const wchar_t* const kServiceKey =
    L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vostrale_storport";

void CreateRegistryKey(const std::wstring& key) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_registry[Lower(key)];
}

void SetRegistryDword(const std::wstring& key, const std::wstring& name,
                      std::optional<uint32_t> value) {
    std::lock_guard<std::mutex> lock(g_lock);
    auto& values = g_registry[Lower(key)];
    if (!value) {
        values.erase(Lower(name));
        return;
    }
    Value v{nt::REG_DWORD, std::vector<uint8_t>(4)};
    std::memcpy(v.data.data(), &*value, 4);
    values[Lower(name)] = v;
}

std::optional<uint32_t> RegistryDword(const std::wstring& key, const std::wstring& name) {
    std::lock_guard<std::mutex> lock(g_lock);
    auto k = g_registry.find(Lower(key));
    if (k == g_registry.end())
        return std::nullopt;
    auto v = k->second.find(Lower(name));
    if (v == k->second.end() || v->second.type != nt::REG_DWORD || v->second.data.size() != 4)
        return std::nullopt;
    uint32_t out;
    std::memcpy(&out, v->second.data.data(), 4);
    return out;
}

Accounting Account() {
    std::lock_guard<std::mutex> lock(g_lock);
    Accounting a;
    for (const auto& [address, b] : g_pool) {
        ++a.poolBlocks;
        a.poolBytes += b.size;
        if (b.type == nt::PagedPool)
            a.pagedBytes += b.size;
    }
    a.kernelHandles = g_system.table.size();
    for (Object* o : g_objects)
        a.references += size_t(o->refs > 0 ? o->refs : 0);
    for (Thread* t : g_systemThreads)
        a.runningThreads += t->ended ? 0 : 1;
    for (uint64_t* t : g_timers)
        a.armedTimers += t[2] ? 1 : 0;
    return a;
}

void ForgetObjectsIn(const void* begin, size_t size) {
    std::lock_guard<std::mutex> lock(g_lock);
    uintptr_t b = uintptr_t(begin);
    auto inside = [&](const void* p) { return uintptr_t(p) >= b && uintptr_t(p) < b + size; };
    for (auto it = g_timers.begin(); it != g_timers.end();)
        it = inside(*it) ? g_timers.erase(it) : std::next(it);
    for (auto it = g_dpcs.begin(); it != g_dpcs.end();)
        it = inside(*it) ? g_dpcs.erase(it) : std::next(it);
    for (auto it = g_rundowns.begin(); it != g_rundowns.end();)
        it = inside(*it) ? g_rundowns.erase(it) : std::next(it);
}

void ReclaimLeftovers() {
    std::lock_guard<std::mutex> lock(g_lock);
    for (auto& [irp, record] : g_fileIrps)
        host::FreeGuarded(record.block);
    g_fileIrps.clear();
    for (const host::Guarded& g : g_freedIrps)
        host::FreeGuarded(g);
    g_freedIrps.clear();
    for (auto& [address, block] : g_pool)
        std::free(reinterpret_cast<void*>(address));
    g_pool.clear();
    std::vector<Object*> held;
    for (auto& [value, entry] : g_system.table) {
        --entry.object->handles;
        held.push_back(entry.object);
    }
    g_system.table.clear();
    for (Object* o : g_objects) {
        if (o->refs > 0) {
            o->refs = 0;
            held.push_back(o);
        }
    }
    for (Object* o : held) {
        if (g_objects.count(o))
            MaybeFree(o);
    }
}

std::string LeakReport() {
    std::lock_guard<std::mutex> lock(g_lock);
    std::string out;
    std::map<std::pair<uint32_t, ULONG>, std::pair<size_t, size_t>> byTag;
    for (const auto& [address, b] : g_pool) {
        auto& slot = byTag[{b.tag, b.type}];
        ++slot.first;
        slot.second += b.size;
    }
    for (const auto& [key, count] : byTag) {
        char tag[5] = {char(key.first), char(key.first >> 8), char(key.first >> 16),
                       char(key.first >> 24), 0};
        out += "pool tag " + std::string(tag) +
               (key.second == nt::PagedPool ? " paged: " : " non-paged: ") +
               std::to_string(count.first) + " blocks, " + std::to_string(count.second) +
               " bytes\n";
    }
    for (const auto& [value, entry] : g_system.table)
        out += "kernel handle " + std::to_string(value & 0xFFFFFFF) + " to a " +
               TypeName(entry.object->type) + " object still open\n";
    for (Object* o : g_objects) {
        if (o->refs > 0)
            out += std::string(TypeName(o->type)) + " object still referenced " +
                   std::to_string(o->refs) + " times\n";
    }
    for (Thread* t : g_systemThreads) {
        if (!t->ended)
            out += "system thread still running\n";
    }
    if (!g_fileIrps.empty())
        out += std::to_string(g_fileIrps.size()) + " read IRPs never completed\n";
    for (uint64_t* t : g_timers) {
        if (t[2])
            out += "timer still armed\n";
    }
    for (void* r : g_rundowns) {
        uintptr_t v = *static_cast<uintptr_t*>(r);
        if (v >> 1)
            out += "rundown protection still held " + std::to_string(v >> 1) + " times\n";
    }
    return out;
}

// ---- The routines ----------------------------------------------------------------------------

namespace {

// Pool.
void* M_ExAllocatePoolWithTag(nt::POOL_TYPE type, size_t size, ULONG tag) {
    const char* r = "ExAllocatePoolWithTag";
    if (type == nt::PagedPool)
        CheckIrql(r, kApcLevel);
    else
        CheckIrql(r, kDispatchLevel);
    if (type != nt::PagedPool && type != nt::NonPagedPoolNx)
        Violation(r, "pool type " + std::to_string(type) +
                         " (only PagedPool and NonPagedPoolNx are allowed)");
    if (size == 0)
        Violation(r, "zero-byte allocation");
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_failAllocations) {
        --g_failAllocations;
        return nullptr;
    }
    void* p = std::malloc(size ? size : 1);
    if (!p)
        return nullptr;
    std::memset(p, 0xA5, size); // pool is not zeroed
    g_pool[uintptr_t(p)] = Block{size, tag, ULONG(type)};
    return p;
}

void FreeDispatcherObjectsIn(const char* r, uintptr_t begin, size_t size) {
    for (auto it = g_timers.begin(); it != g_timers.end();) {
        uintptr_t a = uintptr_t(*it);
        if (a >= begin && a < begin + size) {
            if ((*it)[2])
                Violation(r, "frees a timer that is still armed");
            it = g_timers.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = g_dpcs.begin(); it != g_dpcs.end();) {
        uintptr_t a = uintptr_t(*it);
        if (a >= begin && a < begin + size) {
            if ((*it)[3])
                Violation(r, "frees a deferred procedure that is still queued");
            it = g_dpcs.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& [object, count] : g_waiters) {
        uintptr_t a = uintptr_t(object);
        if (count > 0 && a >= begin && a < begin + size)
            Violation(r, "frees an event that a thread is waiting on");
    }
    for (auto it = g_rundowns.begin(); it != g_rundowns.end();) {
        uintptr_t a = uintptr_t(*it);
        it = (a >= begin && a < begin + size) ? g_rundowns.erase(it) : std::next(it);
    }
}

void M_ExFreePoolWithTag(void* block, ULONG tag) {
    const char* r = "ExFreePoolWithTag";
    CheckIrql(r, kDispatchLevel);
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_pool.find(uintptr_t(block));
    if (it == g_pool.end()) {
        Violation(r, "frees a block that is not an allocated pool block (double free?)");
        return;
    }
    if (it->second.tag != tag)
        Violation(r, "tag differs from the allocation's");
    if (it->second.type == nt::PagedPool && t_irql > kApcLevel)
        Violation(r, "frees paged pool above APC_LEVEL");
    FreeDispatcherObjectsIn(r, it->first, it->second.size);
    std::memset(block, 0x5A, it->second.size);
    g_pool.erase(it);
    std::free(block);
}

constexpr uintptr_t kUserProbeAddress = 0x7FFFFFFF0000;

void M_ProbeForRead(const volatile void* address, size_t length, ULONG alignment) {
    CheckIrql("ProbeForRead", kApcLevel);
    if (length == 0)
        return;
    uintptr_t a = uintptr_t(address);
    if (alignment != 1 && alignment != 2 && alignment != 4 && alignment != 8 && alignment != 16)
        Violation("ProbeForRead", "alignment must be 1, 2, 4, 8 or 16");
    if (alignment && a % alignment)
        host::RaiseAccessViolation(); // the kernel raises a datatype misalignment
    if (a + length < a || a + length > kUserProbeAddress)
        host::RaiseAccessViolation();
}

// Events.
uint64_t* EventWords(const char* r, void* event) {
    uint64_t* e = static_cast<uint64_t*>(event);
    if (uint32_t(e[0]) != kMagicEvent)
        Violation(r, "not an initialised event");
    return e;
}

void M_KeInitializeEvent(nt::KEVENT* event, nt::EVENT_TYPE type, nt::BOOLEAN state) {
    CheckNonPaged("KeInitializeEvent", event, sizeof(*event), "the event");
    std::lock_guard<std::mutex> lock(g_lock);
    uint64_t* e = reinterpret_cast<uint64_t*>(event);
    e[0] = kMagicEvent | (uint64_t(type) << 32);
    e[1] = state ? 1 : 0;
    e[2] = 0;
}

nt::LONG M_KeSetEvent(nt::KEVENT* event, nt::LONG, nt::BOOLEAN wait) {
    const char* r = "KeSetEvent";
    CheckIrql(r, kDispatchLevel);
    if (wait)
        Violation(r, "Wait = TRUE is not used by this driver");
    CheckNonPaged(r, event, sizeof(*event), "the event");
    std::lock_guard<std::mutex> lock(g_lock);
    uint64_t* e = EventWords(r, event);
    nt::LONG previous = nt::LONG(e[1]);
    e[1] = 1;
    g_changed.notify_all();
    return previous;
}

void M_KeClearEvent(nt::KEVENT* event) {
    const char* r = "KeClearEvent";
    CheckIrql(r, kDispatchLevel);
    std::lock_guard<std::mutex> lock(g_lock);
    EventWords(r, event)[1] = 0;
}

NTSTATUS M_KeWaitForSingleObject(void* object, int, nt::KPROCESSOR_MODE, nt::BOOLEAN,
                                 int64_t* timeout) {
    const char* r = "KeWaitForSingleObject";
    bool poll = timeout && *timeout == 0;
    if (poll)
        CheckIrql(r, kDispatchLevel);
    else
        CheckIrql(r, kApcLevel);
    bool thread = false;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        thread = IsRegisteredObject(object, Type::Thread);
        if (!thread)
            EventWords(r, object);
        if (thread && object == t_self)
            Violation(r, "a thread waits for itself");
    }
    if (!thread)
        CheckNonPaged(r, object, sizeof(nt::KEVENT), "the event");
    if (!timeout && !Self()->system && Self()->process != &g_system)
        Violation(r, "a thread of a user process waits without a time limit (a wedged worker "
                     "would hold it for ever)");
    uint64_t start = host::NowMs();
    std::unique_lock<std::mutex> lock(g_lock);
    // Time limits run on the model's clock (AdvanceClock), like its timers.
    uint64_t deadline = UINT64_MAX;
    if (timeout && *timeout < 0)
        deadline = g_now100ns + uint64_t(-*timeout);
    else if (timeout)
        deadline = uint64_t(*timeout);
    ++g_waiters[object];
    bool reported = false;
    while (!Signalled(object)) {
        uint64_t waited = host::NowMs() - start;
        if (g_now100ns >= deadline) {
            if (--g_waiters[object] == 0)
                g_waiters.erase(object);
            return kTimeout;
        }
        if (!reported && waited > kHangMs && !Self()->system) {
            reported = true;
            lock.unlock();
            Violation(r, "a sender or port thread has waited " + std::to_string(waited / 1000) +
                             " s without end (hang)");
            std::fflush(stderr);
            std::_Exit(4);
        }
        g_changed.wait_for(lock, std::chrono::milliseconds(100));
    }
    if (--g_waiters[object] == 0)
        g_waiters.erase(object);
    if (!thread) {
        uint64_t* e = static_cast<uint64_t*>(object);
        if ((e[0] >> 32) == nt::SynchronizationEvent)
            e[1] = 0;
    }
    return kSuccess;
}

// Spin-locked lists.
bool ListIsSound(nt::LIST_ENTRY* head, nt::LIST_ENTRY* entry, bool* contains) {
    *contains = false;
    nt::LIST_ENTRY* p = head;
    for (int i = 0; i < 100000; ++i) {
        nt::LIST_ENTRY* n = p->Flink;
        if (!n || n->Blink != p)
            return false;
        if (n == head)
            return true;
        if (n == entry)
            *contains = true;
        p = n;
    }
    return false;
}

nt::LIST_ENTRY* M_ExInterlockedInsertTailList(nt::LIST_ENTRY* head, nt::LIST_ENTRY* entry,
                                              nt::KSPIN_LOCK* spin) {
    const char* r = "ExInterlockedInsertTailList";
    CheckNonPaged(r, head, sizeof(*head), "the list head");
    CheckNonPaged(r, entry, sizeof(*entry), "the entry");
    CheckNonPaged(r, spin, sizeof(*spin), "the spin lock");
    std::lock_guard<std::mutex> lock(g_lock);
    if (*spin != 0)
        Violation(r, "the spin lock is held or corrupt");
    *spin = 1;
    bool contains = false;
    if (!ListIsSound(head, entry, &contains))
        Violation(r, "the list is corrupt");
    if (contains)
        Violation(r, "the entry is already in the list");
    nt::LIST_ENTRY* last = head->Blink;
    nt::LIST_ENTRY* result = last == head ? nullptr : last;
    entry->Flink = head;
    entry->Blink = last;
    last->Flink = entry;
    head->Blink = entry;
    *spin = 0;
    return result;
}

nt::LIST_ENTRY* M_ExInterlockedRemoveHeadList(nt::LIST_ENTRY* head, nt::KSPIN_LOCK* spin) {
    const char* r = "ExInterlockedRemoveHeadList";
    CheckNonPaged(r, head, sizeof(*head), "the list head");
    CheckNonPaged(r, spin, sizeof(*spin), "the spin lock");
    std::lock_guard<std::mutex> lock(g_lock);
    if (*spin != 0)
        Violation(r, "the spin lock is held or corrupt");
    bool contains = false;
    if (!ListIsSound(head, nullptr, &contains))
        Violation(r, "the list is corrupt");
    nt::LIST_ENTRY* first = head->Flink;
    if (first == head)
        return nullptr;
    head->Flink = first->Flink;
    first->Flink->Blink = head;
    first->Flink = first->Blink = nullptr;
    return first;
}

// Timers and deferred procedures.
void M_KeInitializeTimerEx(nt::KTIMER* timer, nt::TIMER_TYPE type) {
    const char* r = "KeInitializeTimerEx";
    CheckIrql(r, kDispatchLevel);
    CheckNonPaged(r, timer, sizeof(*timer), "the timer");
    std::lock_guard<std::mutex> lock(g_lock);
    uint64_t* t = reinterpret_cast<uint64_t*>(timer);
    std::memset(t, 0, sizeof(*timer));
    t[0] = kMagicTimer | (uint64_t(type) << 32);
    g_timers.insert(t);
}

uint64_t* TimerWords(const char* r, nt::KTIMER* timer) {
    uint64_t* t = reinterpret_cast<uint64_t*>(timer);
    if (uint32_t(t[0]) != kMagicTimer || !g_timers.count(t))
        Violation(r, "not an initialised timer");
    return t;
}

nt::BOOLEAN M_KeSetTimer(nt::KTIMER* timer, int64_t due, nt::KDPC* dpc) {
    const char* r = "KeSetTimer";
    CheckIrql(r, kDispatchLevel);
    std::lock_guard<std::mutex> lock(g_lock);
    uint64_t* t = TimerWords(r, timer);
    if (dpc && (!g_dpcs.count(reinterpret_cast<uint64_t*>(dpc)) ||
                uint32_t(reinterpret_cast<uint64_t*>(dpc)[0]) != kMagicDpc))
        Violation(r, "the deferred procedure is not initialised");
    nt::BOOLEAN was = t[2] ? 1 : 0;
    t[1] = due < 0 ? g_now100ns + uint64_t(-due) : uint64_t(due);
    t[2] = 1;
    t[3] = uint64_t(uintptr_t(dpc));
    t[4] = 0;
    return was;
}

nt::BOOLEAN M_KeCancelTimer(nt::KTIMER* timer) {
    const char* r = "KeCancelTimer";
    CheckIrql(r, kDispatchLevel);
    std::lock_guard<std::mutex> lock(g_lock);
    uint64_t* t = TimerWords(r, timer);
    nt::BOOLEAN was = t[2] ? 1 : 0;
    t[2] = 0;
    return was;
}

nt::BOOLEAN M_KeReadStateTimer(nt::KTIMER* timer) {
    const char* r = "KeReadStateTimer";
    CheckIrql(r, kDispatchLevel);
    std::lock_guard<std::mutex> lock(g_lock);
    return TimerWords(r, timer)[4] ? 1 : 0;
}

void M_KeInitializeDpc(nt::KDPC* dpc, void (*routine)(nt::KDPC*, void*, void*, void*),
                       void* context) {
    CheckNonPaged("KeInitializeDpc", dpc, sizeof(*dpc), "the deferred procedure");
    std::lock_guard<std::mutex> lock(g_lock);
    uint64_t* d = reinterpret_cast<uint64_t*>(dpc);
    std::memset(d, 0, sizeof(*dpc));
    d[0] = kMagicDpc;
    d[1] = uint64_t(uintptr_t(routine));
    d[2] = uint64_t(uintptr_t(context));
    g_dpcs.insert(d);
}

void M_KeFlushQueuedDpcs() {
    CheckIrql("KeFlushQueuedDpcs", kPassiveLevel);
    std::unique_lock<std::mutex> lock(g_lock);
    auto pending = [] {
        if (g_dpcsRunning)
            return true;
        for (uint64_t* d : g_dpcs) {
            if (d[3])
                return true;
        }
        return false;
    };
    while (pending())
        g_changed.wait_for(lock, std::chrono::milliseconds(50));
}

// Rundown protection: the word holds twice the reference count, plus 1 once run down.
uintptr_t& RundownWord(nt::EX_RUNDOWN_REF* ref) {
    return *reinterpret_cast<uintptr_t*>(ref);
}

void M_ExInitializeRundownProtection(nt::EX_RUNDOWN_REF* ref) {
    std::lock_guard<std::mutex> lock(g_lock);
    RundownWord(ref) = 0;
    g_rundowns.insert(ref);
}

void M_ExReInitializeRundownProtection(nt::EX_RUNDOWN_REF* ref) {
    const char* r = "ExReInitializeRundownProtection";
    CheckIrql(r, kDispatchLevel);
    std::lock_guard<std::mutex> lock(g_lock);
    if (RundownWord(ref) != 1)
        Violation(r, "the reference was not run down first");
    RundownWord(ref) = 0;
}

nt::BOOLEAN M_ExAcquireRundownProtection(nt::EX_RUNDOWN_REF* ref) {
    const char* r = "ExAcquireRundownProtection";
    CheckIrql(r, kDispatchLevel);
    std::lock_guard<std::mutex> lock(g_lock);
    if (!g_rundowns.count(ref))
        Violation(r, "not initialised");
    if (RundownWord(ref) & 1)
        return 0;
    RundownWord(ref) += 2;
    return 1;
}

void M_ExReleaseRundownProtection(nt::EX_RUNDOWN_REF* ref) {
    const char* r = "ExReleaseRundownProtection";
    CheckIrql(r, kDispatchLevel);
    std::lock_guard<std::mutex> lock(g_lock);
    if (RundownWord(ref) < 2) {
        Violation(r, "released more often than acquired");
        return;
    }
    RundownWord(ref) -= 2;
    g_changed.notify_all();
}

void M_ExWaitForRundownProtectionRelease(nt::EX_RUNDOWN_REF* ref) {
    const char* r = "ExWaitForRundownProtectionRelease";
    CheckIrql(r, kApcLevel);
    std::unique_lock<std::mutex> lock(g_lock);
    RundownWord(ref) |= 1;
    while (RundownWord(ref) != 1)
        g_changed.wait_for(lock, std::chrono::milliseconds(50));
}

// Threads.
void SystemThreadMain(void* p) {
    Thread* t = static_cast<Thread*>(p);
    t_self = t;
    t_irql = kPassiveLevel;
    t->start(t->context);
    std::lock_guard<std::mutex> lock(g_lock);
    t->ended = true;
    g_changed.notify_all();
}

NTSTATUS M_PsCreateSystemThread(nt::HANDLE* handle, ULONG access, nt::OBJECT_ATTRIBUTES* oa,
                                nt::HANDLE process, void* clientId, void (*start)(void*),
                                void* context) {
    const char* r = "PsCreateSystemThread";
    CheckIrql(r, kPassiveLevel);
    if (process || clientId)
        Violation(r, "a driver's thread belongs to the system process (no process handle)");
    bool kernel = oa && (oa->Attributes & nt::OBJ_KERNEL_HANDLE);
    if (!kernel && CurrentProcess() != &g_system)
        Violation(r, "thread handle without OBJ_KERNEL_HANDLE lands in a user process's table");
    Thread* t = new Thread;
    t->process = &g_system;
    t->system = true;
    t->start = start;
    t->context = context;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_objects.insert(t);
        g_systemThreads.push_back(t);
        *handle = reinterpret_cast<nt::HANDLE>(InsertHandle(CurrentProcess(), t, access, kernel));
    }
    uintptr_t w = host::StartThread(SystemThreadMain, t);
    std::lock_guard<std::mutex> lock(g_lock);
    t->win32 = w;
    if (!w) {
        t->ended = true;
        return kNoResources;
    }
    return kSuccess;
}

// ---- Extended processor state -----------------------------------------------------------------

uint64_t M_RtlGetEnabledExtendedFeatures(uint64_t mask) {
    std::lock_guard<std::mutex> lock(g_lock);
    return mask & g_enabledFeatures;
}

NTSTATUS M_KeSaveExtendedProcessorState(uint64_t mask, nt::XSTATE_SAVE* save) {
    const char* r = "KeSaveExtendedProcessorState";
    CheckIrql(r, kDispatchLevel);
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (mask & ~g_enabledFeatures)
            Violation(r, "names a feature the system has not enabled");
        if (g_failStateSaves > 0) {
            --g_failStateSaves;
            return NTSTATUS(0xC000009A); // STATUS_INSUFFICIENT_RESOURCES
        }
        ++g_stateSaves;
    }
    for (const auto& [saved, irql] : t_savedStates) {
        if (saved == save)
            Violation(r, "saves into a record that holds a state not yet restored");
    }
    std::memset(save, 0, sizeof(*save));
    save->Prev = t_savedStates.empty() ? nullptr
                                       : const_cast<nt::XSTATE_SAVE*>(t_savedStates.back().first);
    save->Thread = t_self;
    save->Level = t_irql;
    save->XStateContext.Mask = mask;
    t_savedStates.push_back({save, t_irql});
    return kSuccess;
}

void M_KeRestoreExtendedProcessorState(nt::XSTATE_SAVE* save) {
    const char* r = "KeRestoreExtendedProcessorState";
    CheckIrql(r, kDispatchLevel);
    if (t_savedStates.empty() || t_savedStates.back().first != save) {
        bool known = false;
        for (const auto& [saved, irql] : t_savedStates)
            known |= saved == save;
        Violation(r, known ? "restores out of order (the innermost save comes back first)"
                           : "restores a state this thread did not save");
        return;
    }
    if (t_savedStates.back().second != t_irql)
        Violation(r, "restores at another IRQL than the save's");
    t_savedStates.pop_back();
}

NTSTATUS M_PsTerminateSystemThread(NTSTATUS) {
    const char* r = "PsTerminateSystemThread";
    CheckIrql(r, kPassiveLevel);
    if (!t_savedStates.empty())
        Violation(r, "the thread ends with extended processor state saved and not restored");
    Thread* t = Self();
    if (!t->system) {
        Violation(r, "called on a thread the driver did not create");
        return kInvalidParameter;
    }
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (t->impersonation)
            Violation(r, "the thread ends while impersonating");
        for (const auto& [irp, record] : g_fileIrps) {
            if (record.thread == t)
                Violation(r, "the thread ends with a read IRP of its own outstanding");
        }
        t->ended = true;
        g_changed.notify_all();
        MaybeFree(t);
    }
    host::EndThread();
}

void* M_PsGetCurrentThread() {
    return Self();
}

nt::LONG M_KeSetPriorityThread(void* thread, nt::LONG priority) {
    const char* r = "KeSetPriorityThread";
    CheckIrql(r, kPassiveLevel);
    std::lock_guard<std::mutex> lock(g_lock);
    if (!IsRegisteredObject(thread, Type::Thread))
        Violation(r, "not a thread object");
    if (priority < 0 || priority > 31)
        Violation(r, "priority outside 0..31");
    return 8;
}

// Objects and handles.
Object* g_fileType = reinterpret_cast<Object*>(uintptr_t(0x1F11E));
Object* g_threadType = reinterpret_cast<Object*>(uintptr_t(0x7EAD));
void* g_IoFileObjectType = g_fileType;
void* g_PsThreadType = g_threadType;

Type TypeOf(void* objectType, bool* known) {
    *known = true;
    if (objectType == g_fileType)
        return Type::File;
    if (objectType == g_threadType)
        return Type::Thread;
    *known = objectType == nullptr;
    return Type::File;
}

NTSTATUS M_ObReferenceObjectByHandle(nt::HANDLE handle, ULONG access, void* objectType,
                                     nt::KPROCESSOR_MODE mode, void** object, void* info) {
    const char* r = "ObReferenceObjectByHandle";
    CheckIrql(r, kPassiveLevel);
    if (info)
        Violation(r, "handle information is not modelled");
    *object = nullptr;
    std::lock_guard<std::mutex> lock(g_lock);
    bool kernel = false;
    HandleEntry* e = FindHandle(uint64_t(uintptr_t(handle)), &kernel);
    if (kernel && mode == nt::UserMode)
        return kInvalidHandle; // a user-mode lookup never reaches the kernel table
    if (!e)
        return kInvalidHandle;
    if (!kernel && mode == nt::KernelMode)
        Violation(r, "a user handle looked up with KernelMode (no access check)");
    bool known = false;
    Type want = TypeOf(objectType, &known);
    if (!known)
        Violation(r, "unknown object type");
    if (objectType && e->object->type != want)
        return kTypeMismatch;
    if (want == Type::Thread && g_failThreadReferences) {
        --g_failThreadReferences;
        return kNoResources;
    }
    if (mode == nt::UserMode && (access & ~e->access))
        return kAccessDenied;
    ++e->object->refs;
    *object = e->object;
    return kSuccess;
}

NTSTATUS M_ObOpenObjectByPointer(void* object, ULONG attributes, void* accessState, ULONG access,
                                 void* objectType, nt::KPROCESSOR_MODE mode, nt::HANDLE* handle) {
    const char* r = "ObOpenObjectByPointer";
    CheckIrql(r, kApcLevel);
    if (accessState)
        Violation(r, "access state is not modelled");
    std::lock_guard<std::mutex> lock(g_lock);
    Object* o = static_cast<Object*>(object);
    if (!g_objects.count(o)) {
        Violation(r, "not an object");
        return kInvalidParameter;
    }
    bool known = false;
    Type want = TypeOf(objectType, &known);
    if (objectType && o->type != want)
        return kTypeMismatch;
    if (!o->permanent && o->refs <= 0 && o->handles <= 0)
        Violation(r, "the object is not referenced by the caller");
    if (mode != nt::KernelMode)
        Violation(r, "UserMode opens are not modelled");
    bool kernel = attributes & nt::OBJ_KERNEL_HANDLE;
    if (!kernel && CurrentProcess() != &g_system)
        Violation(r, "handle without OBJ_KERNEL_HANDLE lands in a user process's table");
    *handle = reinterpret_cast<nt::HANDLE>(InsertHandle(CurrentProcess(), o, access, kernel));
    return kSuccess;
}

intptr_t M_ObfDereferenceObject(void* object) {
    const char* r = "ObfDereferenceObject";
    CheckIrql(r, kDispatchLevel);
    std::lock_guard<std::mutex> lock(g_lock);
    Object* o = static_cast<Object*>(object);
    if (!g_objects.count(o) || o->refs <= 0) {
        Violation(r, "drops a reference it does not hold");
        return 0;
    }
    long left = --o->refs;
    MaybeFree(o);
    return left;
}

NTSTATUS M_ZwWaitForSingleObject(nt::HANDLE handle, nt::BOOLEAN alertable, int64_t* timeout) {
    const char* r = "ZwWaitForSingleObject";
    CheckIrql(r, kPassiveLevel);
    Object* o = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        bool kernel = false;
        HandleEntry* e = FindHandle(uint64_t(uintptr_t(handle)), &kernel);
        if (!e || e->object->type != Type::Thread) {
            Violation(r, "not a thread handle of the current process (only threads are modelled)");
            return kInvalidHandle;
        }
        if (!(e->access & nt::SYNCHRONIZE))
            Violation(r, "the handle lacks SYNCHRONIZE");
        o = e->object;
        ++o->refs; // held while waiting
    }
    NTSTATUS status = M_KeWaitForSingleObject(o, 0, nt::KernelMode, alertable, timeout);
    std::lock_guard<std::mutex> lock(g_lock);
    --o->refs;
    MaybeFree(o);
    return status;
}

NTSTATUS M_ZwClose(nt::HANDLE handle) {
    const char* r = "ZwClose";
    CheckIrql(r, kPassiveLevel);
    std::lock_guard<std::mutex> lock(g_lock);
    bool kernel = false;
    uint64_t value = uint64_t(uintptr_t(handle));
    HandleEntry* e = FindHandle(value, &kernel);
    if (!e) {
        Violation(r, "closes a handle that is not open in the current process");
        return kInvalidHandle;
    }
    Object* o = e->object;
    (kernel ? g_system : *Self()->process).table.erase(value);
    --o->handles;
    MaybeFree(o);
    return kSuccess;
}

// Files.
nt::DEVICE_OBJECT* M_IoGetDeviceAttachmentBaseRef(nt::DEVICE_OBJECT* device) {
    const char* r = "IoGetDeviceAttachmentBaseRef";
    CheckIrql(r, kDispatchLevel);
    std::lock_guard<std::mutex> lock(g_lock);
    if (!IsRegisteredObject(device, Type::Device)) {
        Violation(r, "not a device object");
        return nullptr;
    }
    Device* base = reinterpret_cast<Device*>(device)->base;
    ++base->refs;
    return reinterpret_cast<nt::DEVICE_OBJECT*>(base);
}

// Read IRPs: the driver builds them, the model's file systems serve them.
constexpr NTSTATUS kPending = 0x103;
constexpr NTSTATUS kCancelled = NTSTATUS(0xC0000120);
constexpr NTSTATUS kMoreProcessing = NTSTATUS(0xC0000016);
constexpr size_t kStackLocation = sizeof(nt::IO_STACK_LOCATION_LAYOUT);

nt::DEVICE_OBJECT* M_IoGetRelatedDeviceObject(nt::FILE_OBJECT* object) {
    const char* r = "IoGetRelatedDeviceObject";
    CheckIrql(r, kDispatchLevel);
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_fileObjects.find(object);
    if (it == g_fileObjects.end()) {
        Violation(r, "not a file object");
        return nullptr;
    }
    if (it->second->refs <= 0 && it->second->handles <= 0)
        Violation(r, "the file object is not referenced by the caller");
    return reinterpret_cast<nt::DEVICE_OBJECT*>(it->second->fileSystem);
}

nt::IRP* M_IoBuildSynchronousFsdRequest(ULONG major, nt::DEVICE_OBJECT* device, void* buffer,
                                        ULONG length, int64_t* offset, nt::KEVENT* event,
                                        nt::IO_STATUS_BLOCK* iosb) {
    const char* r = "IoBuildSynchronousFsdRequest";
    CheckIrql(r, kPassiveLevel);
    if (major != nt::IRP_MJ_READ)
        Violation(r, "only reads are modelled");
    if (!buffer || !length || !offset || !event || !iosb)
        Violation(r, "a read needs a buffer, a length, an offset, an event and a status block");
    std::lock_guard<std::mutex> lock(g_lock);
    if (!IsRegisteredObject(device, Type::Device) ||
        !reinterpret_cast<Device*>(device)->fileSystem) {
        Violation(r, "not a file system's device");
        return nullptr;
    }
    EventWords(r, event);
    if (g_failAllocations) {
        --g_failAllocations;
        return nullptr;
    }
    FileIrp record;
    record.block = host::AllocateGuarded(sizeof(nt::IRP) + kStackLocation);
    nt::IRP* irp = reinterpret_cast<nt::IRP*>(record.block.base);
    auto* stack = reinterpret_cast<nt::IO_STACK_LOCATION_LAYOUT*>(record.block.base +
                                                                  sizeof(nt::IRP));
    irp->Type = 6;
    irp->Size = uint16_t(sizeof(nt::IRP) + kStackLocation);
    irp->StackCount = 1;
    irp->CurrentLocation = 2;
    irp->CurrentStackLocation = reinterpret_cast<uint8_t*>(stack + 1);
    irp->RequestorMode = nt::KernelMode;
    irp->UserBuffer = buffer;
    irp->UserIosb = iosb;
    irp->UserEvent = event;
    irp->Thread = Self();
    stack->head[0] = nt::IRP_MJ_READ;
    stack->outputLength = length; // Parameters.Read.Length
    stack->code = uint64_t(*offset); // Parameters.Read.ByteOffset
    record.thread = Self();
    record.event = reinterpret_cast<uint64_t*>(event);
    record.iosb = iosb;
    record.buffer = static_cast<uint8_t*>(buffer);
    record.length = length;
    record.offset = uint64_t(*offset);
    g_fileIrps[irp] = record;
    return irp;
}

// The I/O manager's last step for a synchronous request: the caller's status block and event,
// then the IRP is freed (and made inaccessible). Called with the lock held.
void FinishIrp(nt::IRP* irp) {
    FileIrp record = g_fileIrps[irp];
    g_fileIrps.erase(irp);
    record.iosb->Status = irp->IoStatus.Status;
    record.iosb->Information = irp->IoStatus.Information;
    record.event[1] = 1;
    host::Poison(record.block);
    g_freedIrps.push_back(record.block);
    g_changed.notify_all();
}

// The file system completes a read: the completion routine of the stack location runs at
// DISPATCH_LEVEL; unless it keeps the IRP, the I/O manager finishes it.
void CompleteFileIrp(nt::IRP* irp, NTSTATUS status, uintptr_t information) {
    const char* r = "IofCompleteRequest";
    nt::IO_STACK_LOCATION_LAYOUT* stack;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        FileIrp& record = g_fileIrps[irp];
        if (record.state != IrpState::InFileSystem && record.state != IrpState::Pending)
            Violation(r, "a read IRP completed twice");
        record.state = IrpState::Completing;
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = information;
        stack = reinterpret_cast<nt::IO_STACK_LOCATION_LAYOUT*>(irp->CurrentStackLocation);
        irp->CurrentLocation++;
        irp->CurrentStackLocation += kStackLocation;
    }
    uint8_t control = stack->head[3];
    bool call = stack->completion &&
                ((status == kCancelled && (control & nt::SL_INVOKE_ON_CANCEL)) ||
                 (status >= 0 && (control & nt::SL_INVOKE_ON_SUCCESS)) ||
                 (status < 0 && status != kCancelled && (control & nt::SL_INVOKE_ON_ERROR)));
    NTSTATUS kept = 0;
    if (call) {
        IrqlScope dispatch(kDispatchLevel);
        kept = reinterpret_cast<nt::IO_COMPLETION_ROUTINE>(stack->completion)(
            reinterpret_cast<nt::DEVICE_OBJECT*>(stack->device), irp, stack->context);
    }
    std::lock_guard<std::mutex> lock(g_lock);
    if (kept == kMoreProcessing) {
        g_fileIrps[irp].state = IrpState::Kept;
        g_changed.notify_all();
    } else {
        FinishIrp(irp);
    }
}

// Reads the file as the file system would and completes the IRP.
void ServeFileIrp(nt::IRP* irp) {
    uintptr_t host = 0;
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    uint64_t offset = 0;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        const FileIrp& record = g_fileIrps[irp];
        host = record.file->host;
        buffer = record.buffer;
        length = record.length;
        offset = record.offset;
    }
    int64_t got = host::ReadFileAt(host, offset, buffer, length);
    NTSTATUS status = kSuccess;
    if (got < 0)
        status = NTSTATUS(0xC0000185); // STATUS_IO_DEVICE_ERROR
    else if (got == 0 && length)
        status = kEndOfFile;
    CompleteFileIrp(irp, status, got > 0 ? uintptr_t(got) : 0);
}

NTSTATUS M_IofCallDriver(nt::DEVICE_OBJECT* device, nt::IRP* irp) {
    const char* r = "IofCallDriver";
    CheckIrql(r, kDispatchLevel);
    bool pend = false;
    bool cancelled = false;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        auto it = g_fileIrps.find(irp);
        if (it == g_fileIrps.end() || it->second.state != IrpState::Built) {
            Violation(r, "sends an IRP that is not a new read of the caller's");
            return kInvalidParameter;
        }
        FileIrp& record = it->second;
        if (irp->CurrentLocation <= 1) {
            Violation(r, "no stack location left");
            return kInvalidParameter;
        }
        irp->CurrentLocation--;
        irp->CurrentStackLocation -= kStackLocation;
        auto* stack = reinterpret_cast<nt::IO_STACK_LOCATION_LAYOUT*>(irp->CurrentStackLocation);
        stack->device = device;
        auto f = g_fileObjects.find(stack->file);
        if (f == g_fileObjects.end()) {
            Violation(r, "the read names no file object");
            return kInvalidParameter;
        }
        if (reinterpret_cast<Device*>(device) != f->second->fileSystem)
            Violation(r, "the read is sent to a device other than its file's file system");
        if (f->second->refs <= 0)
            Violation(r, "the file object is not referenced by the caller");
        if (stack->completion && !(stack->head[3] & nt::SL_INVOKE_ON_CANCEL))
            Violation(r, "a completion routine that misses cancelled reads");
        record.file = f->second;
        record.state = IrpState::InFileSystem;
        // A read that finds reads held stays pending, cancellable unless the file system is
        // wedged; one already cancelled ends at once.
        cancelled = irp->Cancel && !g_ignoreCancel;
        if (g_holdReads && !cancelled) {
            record.state = IrpState::Pending;
            ++g_heldReads;
            pend = true;
            g_changed.notify_all();
        }
    }
    if (pend)
        return kPending;
    if (cancelled) {
        CompleteFileIrp(irp, kCancelled, 0);
        return kCancelled;
    }
    ServeFileIrp(irp);
    return kSuccess;
}

nt::BOOLEAN M_IoCancelIrp(nt::IRP* irp) {
    const char* r = "IoCancelIrp";
    CheckIrql(r, kDispatchLevel);
    {
        std::lock_guard<std::mutex> lock(g_lock);
        auto it = g_fileIrps.find(irp);
        if (it == g_fileIrps.end()) {
            Violation(r, "cancels an IRP that is not outstanding (freed, or never built)");
            return 0;
        }
        irp->Cancel = 1;
        // Racing its completion: an IRP being completed or kept is only marked.
        if (it->second.state != IrpState::Pending || g_ignoreCancel)
            return 0;
        it->second.state = IrpState::InFileSystem;
        --g_heldReads;
        ++g_cancelledIrps;
    }
    CompleteFileIrp(irp, kCancelled, 0);
    return 1;
}

} // namespace

bool ResumeFileIrp(nt::IRP* irp) {
    const char* r = "IofCompleteRequest";
    std::unique_lock<std::mutex> lock(g_lock);
    auto it = g_fileIrps.find(irp);
    if (it == g_fileIrps.end())
        return false;
    CheckIrql(r, kDispatchLevel);
    // The completion routine may wake its waiter before it returns to the I/O manager; the
    // waiter's resume is legal once the routine has said it keeps the IRP.
    for (int i = 0; i < 500 && it->second.state == IrpState::Completing; ++i) {
        g_changed.wait_for(lock, std::chrono::milliseconds(20));
        it = g_fileIrps.find(irp);
        if (it == g_fileIrps.end()) {
            Violation(r, "completes a read IRP the I/O manager has freed");
            return true;
        }
    }
    if (it->second.state != IrpState::Kept) {
        Violation(r, "completes a read IRP the file system has not completed");
        return true;
    }
    if (irp->CurrentLocation != irp->StackCount + 1)
        Violation(r, "the IRP's stack is not unwound");
    FinishIrp(irp);
    return true;
}

bool InFreedIrp(uintptr_t address) {
    std::lock_guard<std::mutex> lock(g_lock);
    for (const host::Guarded& g : g_freedIrps) {
        if (address >= uintptr_t(g.base) && address < uintptr_t(g.base) + g.size)
            return true;
    }
    return false;
}

void CompletePendingReads() {
    std::vector<nt::IRP*> pending;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        for (auto& [irp, record] : g_fileIrps) {
            if (record.state == IrpState::Pending) {
                record.state = IrpState::InFileSystem;
                --g_heldReads;
                pending.push_back(irp);
            }
        }
    }
    for (nt::IRP* irp : pending)
        ServeFileIrp(irp);
}

namespace {

// The object namespace: drive letters and device names.
bool ModelLoopback(const std::wstring& host) {
    std::wstring h = Lower(host);
    return h == L"localhost" || h.rfind(L"127.", 0) == 0 || h == L"::1" || h == L"[::1]";
}

std::wstring DriveTarget(wchar_t letter) {
    auto it = g_driveLinks.find(letter);
    return it == g_driveLinks.end() ? std::wstring(kDefaultVolume) : it->second;
}

// The model's own view of where a path opened by name leads: true when onto one of the
// driver's drives or a share of this machine. Called with the lock held.
bool LeadsToOwnDrive(const std::wstring& path) {
    auto hostOf = [](const std::wstring& rest) {
        size_t i = 0;
        while (i < rest.size()) {
            size_t end = rest.find(L'\\', i);
            if (end == std::wstring::npos)
                end = rest.size();
            if (end > i && rest[i] != L';')
                return rest.substr(i, end - i);
            i = end + 1;
        }
        return std::wstring();
    };
    if (path.rfind(L"\\\\", 0) == 0)
        return ModelLoopback(hostOf(path.substr(2)));
    if (path.size() < 2 || path[1] != L':')
        return false;
    wchar_t letter = wchar_t(std::towupper(path[0]));
    for (int hop = 0; hop < 8; ++hop) {
        std::wstring target = Lower(DriveTarget(letter));
        if (target.rfind(L"\\??\\", 0) == 0 && target.size() >= 6 && target[5] == L':') {
            letter = wchar_t(std::towupper(target[4]));
            continue;
        }
        std::wstring own = Lower(kOwnDrive);
        if (target == own || target.rfind(own + L"\\", 0) == 0)
            return true;
        if (target.rfind(L"\\device\\", 0) == 0) {
            size_t device = target.find(L'\\', 8);
            if (device != std::wstring::npos)
                return ModelLoopback(hostOf(target.substr(device + 1)));
        }
        return false;
    }
    return false;
}

NTSTATUS M_ZwOpenSymbolicLinkObject(nt::HANDLE* handle, ULONG access, nt::OBJECT_ATTRIBUTES* oa) {
    const char* r = "ZwOpenSymbolicLinkObject";
    CheckIrql(r, kPassiveLevel);
    *handle = nullptr;
    bool kernel = oa && (oa->Attributes & nt::OBJ_KERNEL_HANDLE);
    if (!kernel)
        Violation(r, "link handle without OBJ_KERNEL_HANDLE");
    if (access & ~nt::SYMBOLIC_LINK_QUERY)
        Violation(r, "asks for more than SYMBOLIC_LINK_QUERY");
    std::wstring name = FromUnicode(oa ? oa->ObjectName : nullptr);
    // Drive letters only: "\??\X:".
    if (name.size() != 6 || name.rfind(L"\\??\\", 0) != 0 || name[5] != L':' ||
        !std::iswalpha(name[4]))
        return kNameNotFound;
    std::lock_guard<std::mutex> lock(g_lock);
    Link* link = new Link;
    link->target = DriveTarget(wchar_t(std::towupper(name[4])));
    g_objects.insert(link);
    *handle = reinterpret_cast<nt::HANDLE>(InsertHandle(CurrentProcess(), link, access, kernel));
    return kSuccess;
}

NTSTATUS M_ZwQuerySymbolicLinkObject(nt::HANDLE handle, nt::UNICODE_STRING* target,
                                     ULONG* returned) {
    const char* r = "ZwQuerySymbolicLinkObject";
    CheckIrql(r, kPassiveLevel);
    std::lock_guard<std::mutex> lock(g_lock);
    bool kernel = false;
    HandleEntry* e = FindHandle(uint64_t(uintptr_t(handle)), &kernel);
    if (!e || e->object->type != Type::Link) {
        Violation(r, "not a link handle of the current process");
        return kInvalidHandle;
    }
    const std::wstring& text = static_cast<Link*>(e->object)->target;
    ULONG bytes = ULONG(text.size() * sizeof(wchar_t));
    if (returned)
        *returned = bytes;
    if (bytes > target->MaximumLength)
        return kBufferTooSmall;
    std::memcpy(target->Buffer, text.data(), bytes);
    target->Length = uint16_t(bytes);
    return kSuccess;
}

NTSTATUS M_IoEnumerateDeviceObjectList(nt::DRIVER_OBJECT* driver, nt::DEVICE_OBJECT** list,
                                       ULONG bytes, ULONG* count) {
    const char* r = "IoEnumerateDeviceObjectList";
    CheckIrql(r, kApcLevel);
    std::lock_guard<std::mutex> lock(g_lock);
    std::vector<Device*> found;
    for (Object* o : g_objects) {
        void* owner = nullptr;
        std::memcpy(&owner, o->body + 8, sizeof(owner));
        if (o->type == Type::Device && owner == driver)
            found.push_back(static_cast<Device*>(o));
    }
    *count = ULONG(found.size());
    if (bytes < found.size() * sizeof(void*))
        return kBufferTooSmall;
    for (size_t i = 0; i < found.size(); ++i) {
        ++found[i]->refs;
        list[i] = reinterpret_cast<nt::DEVICE_OBJECT*>(found[i]);
    }
    return kSuccess;
}

Device* DeviceArgument(const char* r, nt::DEVICE_OBJECT* device) {
    if (!IsRegisteredObject(device, Type::Device)) {
        Violation(r, "not a device object");
        return nullptr;
    }
    Device* d = reinterpret_cast<Device*>(device);
    if (!d->permanent && d->refs <= 0)
        Violation(r, "the device is not referenced by the caller");
    return d;
}

nt::DEVICE_OBJECT* M_IoGetAttachedDeviceReference(nt::DEVICE_OBJECT* device) {
    const char* r = "IoGetAttachedDeviceReference";
    CheckIrql(r, kDispatchLevel);
    std::lock_guard<std::mutex> lock(g_lock);
    Device* d = DeviceArgument(r, device);
    if (!d)
        return nullptr;
    while (d->upper)
        d = d->upper;
    ++d->refs;
    return reinterpret_cast<nt::DEVICE_OBJECT*>(d);
}

nt::DEVICE_OBJECT* M_IoGetLowerDeviceObject(nt::DEVICE_OBJECT* device) {
    const char* r = "IoGetLowerDeviceObject";
    CheckIrql(r, kDispatchLevel);
    std::lock_guard<std::mutex> lock(g_lock);
    Device* d = DeviceArgument(r, device);
    if (!d || !d->lower)
        return nullptr;
    ++d->lower->refs;
    return reinterpret_cast<nt::DEVICE_OBJECT*>(d->lower);
}

NTSTATUS M_ObQueryNameString(void* object, nt::OBJECT_NAME_INFORMATION* info, ULONG length,
                             ULONG* returned) {
    const char* r = "ObQueryNameString";
    CheckIrql(r, kPassiveLevel);
    std::lock_guard<std::mutex> lock(g_lock);
    if (!IsRegisteredObject(object, Type::Device)) {
        Violation(r, "only device names are modelled (a file's name takes an IRP)");
        return kInvalidParameter;
    }
    const std::wstring& name = static_cast<Device*>(object)->name;
    ULONG need = ULONG(sizeof(*info) + (name.size() + 1) * sizeof(wchar_t));
    if (returned)
        *returned = need;
    if (length < need)
        return NTSTATUS(0xC0000004); // STATUS_INFO_LENGTH_MISMATCH
    wchar_t* text = reinterpret_cast<wchar_t*>(info + 1);
    std::memcpy(text, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    info->Name.Length = uint16_t(name.size() * sizeof(wchar_t));
    info->Name.MaximumLength = uint16_t(info->Name.Length + sizeof(wchar_t));
    info->Name.Buffer = name.empty() ? nullptr : text;
    return kSuccess;
}

File* FileOfHandle(const char* r, nt::HANDLE handle, uint32_t need, NTSTATUS* status) {
    bool kernel = false;
    HandleEntry* e = FindHandle(uint64_t(uintptr_t(handle)), &kernel);
    if (!e || e->object->type != Type::File) {
        Violation(r, "not a file handle of the current process");
        *status = kInvalidHandle;
        return nullptr;
    }
    if (!kernel)
        Violation(r, "a user handle used from kernel mode");
    if (need & ~e->access) {
        Violation(r, "the handle lacks the access the call needs");
        *status = kAccessDenied;
        return nullptr;
    }
    return static_cast<File*>(e->object);
}

NTSTATUS M_ZwCreateFile(nt::HANDLE* handle, ULONG access, nt::OBJECT_ATTRIBUTES* oa,
                        nt::IO_STATUS_BLOCK* iosb, int64_t* allocation, ULONG attributes,
                        ULONG share, ULONG disposition, ULONG options, void* ea, ULONG eaLength) {
    const char* r = "ZwCreateFile";
    CheckIrql(r, kPassiveLevel);
    *handle = nullptr;
    Thread* self = Self();
    bool kernel = oa && (oa->Attributes & nt::OBJ_KERNEL_HANDLE);
    if (!kernel)
        Violation(r, "file handle without OBJ_KERNEL_HANDLE");
    if (!self->impersonation)
        Violation(r, "a file opened by name outside impersonation (the driver's own rights)");
    if (!oa || !(oa->Attributes & nt::OBJ_FORCE_ACCESS_CHECK))
        Violation(r, "a file opened without OBJ_FORCE_ACCESS_CHECK");
    if (disposition != nt::FILE_OPEN)
        Violation(r, "disposition other than FILE_OPEN (may create a file)");
    if (!(options & nt::FILE_SYNCHRONOUS_IO_NONALERT) || !(access & nt::SYNCHRONIZE))
        Violation(r, "a synchronous open needs SYNCHRONIZE and FILE_SYNCHRONOUS_IO_NONALERT");
    if (allocation || ea || eaLength)
        Violation(r, "allocation size or extended attributes are not modelled");
    (void)attributes;
    (void)share;
    if (!oa || !oa->ObjectName || oa->RootDirectory)
        return kPathSyntaxBad;
    std::wstring name = FromUnicode(oa->ObjectName);
    std::wstring path;
    if (name.rfind(L"\\??\\UNC\\", 0) == 0)
        path = L"\\\\" + name.substr(8);
    else if (name.rfind(L"\\??\\", 0) == 0 && name.size() > 6 && name[5] == L':')
        path = name.substr(4);
    else
        return kPathSyntaxBad;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (LeadsToOwnDrive(path)) {
            Violation(r, "opens a name on one of the driver's own drives or a share of this "
                         "machine (the open waits on the driver's own workers)");
            return kAccessDenied;
        }
        if (self->impersonation && self->impersonation->user != "SYSTEM" &&
            g_denied.count(Lower(path)))
            return kAccessDenied;
    }
    bool directory = false;
    uintptr_t h = host::OpenFile(path, &directory);
    if (!h)
        return kNameNotFound;
    if (directory && (options & nt::FILE_NON_DIRECTORY_FILE)) {
        host::CloseFile(h);
        return kIsDirectory;
    }
    File* f = NewFile(h, FileSystem::Disk, options & nt::FILE_SYNCHRONOUS_IO_NONALERT);
    f->path = path;
    uint32_t granted = access;
    if (granted & nt::GENERIC_READ)
        granted = (granted & ~nt::GENERIC_READ) | kFileGenericRead;
    std::lock_guard<std::mutex> lock(g_lock);
    g_objects.insert(f);
    g_fileObjects[reinterpret_cast<nt::FILE_OBJECT*>(f->body)] = f;
    *handle = reinterpret_cast<nt::HANDLE>(InsertHandle(CurrentProcess(), f, granted, kernel));
    ++g_filesOpenedByName;
    if (iosb) {
        iosb->Status = kSuccess;
        iosb->Information = 1; // FILE_OPENED
    }
    return kSuccess;
}

NTSTATUS M_ZwReadFile(nt::HANDLE handle, nt::HANDLE event, void* apc, void* apcContext,
                      nt::IO_STATUS_BLOCK* iosb, void* buffer, ULONG length, int64_t* offset,
                      ULONG* key) {
    const char* r = "ZwReadFile";
    CheckIrql(r, kPassiveLevel);
    if (event || apc || apcContext || key)
        Violation(r, "events, APCs and keys are not modelled");
    NTSTATUS status = kSuccess;
    uintptr_t host = 0;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        File* f = FileOfHandle(r, handle, kFileReadData, &status);
        if (!f)
            return status;
        if (!(reinterpret_cast<nt::FILE_OBJECT*>(f->body)->Flags & nt::FO_SYNCHRONOUS_IO))
            Violation(r, "an asynchronous file read without an event");
        if (!offset)
            Violation(r, "reads without an offset are not modelled");
        host = f->host;
    }
    {
        // The system service takes the file object's lock first (synchronous I/O): a holder
        // keeps this caller waiting, without an end, in a non-alertable kernel wait.
        std::unique_lock<std::mutex> lock(g_lock);
        bool kernel = false;
        HandleEntry* e = FindHandle(uint64_t(uintptr_t(handle)), &kernel);
        File* f = e ? static_cast<File*>(e->object) : nullptr;
        while (f && f->lockHeld)
            g_changed.wait_for(lock, std::chrono::milliseconds(20));
    }
    {
        std::unique_lock<std::mutex> lock(g_lock);
        if (g_holdReads) {
            ++g_heldReads;
            g_changed.notify_all();
            while (g_holdReads)
                g_changed.wait_for(lock, std::chrono::milliseconds(20));
            --g_heldReads;
        }
    }
    int64_t got = host::ReadFileAt(host, offset ? uint64_t(*offset) : 0, buffer, length);
    if (got < 0)
        status = NTSTATUS(0xC0000185); // STATUS_IO_DEVICE_ERROR
    else if (got == 0 && length)
        status = kEndOfFile;
    iosb->Status = status;
    iosb->Information = got > 0 ? uintptr_t(got) : 0;
    return status;
}

NTSTATUS M_ZwQueryVolumeInformationFile(nt::HANDLE handle, nt::IO_STATUS_BLOCK* iosb, void* info,
                                        ULONG length, int infoClass) {
    const char* r = "ZwQueryVolumeInformationFile";
    CheckIrql(r, kPassiveLevel);
    std::lock_guard<std::mutex> lock(g_lock);
    NTSTATUS status = kSuccess;
    File* f = FileOfHandle(r, handle, 0, &status);
    if (!f)
        return status;
    if (infoClass != nt::FileFsDeviceInformation) {
        Violation(r, "information class not modelled");
        return kInvalidInfoClass;
    }
    if (length < sizeof(nt::FILE_FS_DEVICE_INFORMATION))
        return NTSTATUS(0xC0000004);
    nt::FILE_FS_DEVICE_INFORMATION d{f->volumeType, f->characteristics};
    std::memcpy(info, &d, sizeof(d));
    iosb->Status = kSuccess;
    iosb->Information = sizeof(d);
    return kSuccess;
}

NTSTATUS M_ZwQueryInformationFile(nt::HANDLE handle, nt::IO_STATUS_BLOCK* iosb, void* info,
                                  ULONG length, int infoClass) {
    const char* r = "ZwQueryInformationFile";
    CheckIrql(r, kPassiveLevel);
    std::lock_guard<std::mutex> lock(g_lock);
    NTSTATUS status = kSuccess;
    File* f = FileOfHandle(r, handle, 0, &status);
    if (!f)
        return status;
    if (infoClass != nt::FileStandardInformation) {
        Violation(r, "information class not modelled");
        return kInvalidInfoClass;
    }
    if (length < sizeof(nt::FILE_STANDARD_INFORMATION))
        return NTSTATUS(0xC0000004);
    nt::FILE_STANDARD_INFORMATION s{};
    int64_t size = f->directory ? 0 : host::FileSize(f->host);
    s.AllocationSize = s.EndOfFile = size < 0 ? 0 : size;
    s.NumberOfLinks = 1;
    s.Directory = f->directory ? 1 : 0;
    std::memcpy(info, &s, sizeof(s));
    iosb->Status = kSuccess;
    iosb->Information = sizeof(s);
    return kSuccess;
}

// Strings: the kernel's conversion is the same code as ntdll's.
NTSTATUS M_RtlAnsiStringToUnicodeString(nt::UNICODE_STRING* target, nt::ANSI_STRING* source,
                                        nt::BOOLEAN allocate) {
    const char* r = "RtlAnsiStringToUnicodeString";
    CheckIrql(r, kPassiveLevel);
    if (allocate)
        Violation(r, "allocating conversions are not modelled");
    using Fn = NTSTATUS (*)(nt::UNICODE_STRING*, nt::ANSI_STRING*, nt::BOOLEAN);
    static Fn fn = reinterpret_cast<Fn>(host::NtdllExport("RtlAnsiStringToUnicodeString"));
    return fn(target, source, 0);
}

// Security: client contexts, impersonation, tokens.
NTSTATUS M_SeCreateClientSecurity(void* thread, nt::SECURITY_QUALITY_OF_SERVICE* qos,
                                  nt::BOOLEAN remote, nt::SECURITY_CLIENT_CONTEXT* context) {
    const char* r = "SeCreateClientSecurity";
    CheckIrql(r, kPassiveLevel);
    Thread* self = Self();
    if (thread != self)
        Violation(r, "captures a thread other than the current one");
    if (!qos || qos->Length != sizeof(*qos) || qos->ImpersonationLevel > 3)
        Violation(r, "bad quality of service");
    std::lock_guard<std::mutex> lock(g_lock);
    Token* source = self->impersonation ? self->impersonation : self->process->primary;
    Token* copy = new Token(nt::TokenImpersonation, source->user);
    copy->refs = 1;
    g_objects.insert(copy);
    std::memset(context, 0, sizeof(*context));
    context->SecurityQos = *qos;
    context->ClientToken = copy;
    context->ServerIsRemote = remote;
    return kSuccess;
}

NTSTATUS M_SeImpersonateClientEx(nt::SECURITY_CLIENT_CONTEXT* context, void* serverThread) {
    const char* r = "SeImpersonateClientEx";
    CheckIrql(r, kPassiveLevel);
    Thread* self = Self();
    if (serverThread && serverThread != self)
        Violation(r, "impersonation on another thread is not modelled");
    std::lock_guard<std::mutex> lock(g_lock);
    Token* token = static_cast<Token*>(context->ClientToken);
    if (!IsRegisteredObject(token, Type::Token) || token->refs <= 0) {
        Violation(r, "the context's token is not alive");
        return kInvalidParameter;
    }
    if (self->impersonation) {
        --self->impersonation->refs;
        MaybeFree(self->impersonation);
    }
    ++token->refs;
    self->impersonation = token;
    return kSuccess;
}

void M_PsRevertToSelf() {
    CheckIrql("PsRevertToSelf", kPassiveLevel);
    Thread* self = Self();
    std::lock_guard<std::mutex> lock(g_lock);
    if (Token* t = self->impersonation) {
        self->impersonation = nullptr;
        --t->refs;
        MaybeFree(t);
    }
}

nt::TOKEN_TYPE M_SeTokenType(void* token) {
    const char* r = "SeTokenType";
    CheckIrql(r, kPassiveLevel);
    std::lock_guard<std::mutex> lock(g_lock);
    if (!IsRegisteredObject(token, Type::Token)) {
        Violation(r, "not a token");
        return nt::TokenPrimary;
    }
    return nt::TOKEN_TYPE(static_cast<Token*>(token)->tokenType);
}

void DereferenceToken(const char* r, void* token, ULONG type) {
    CheckIrql(r, kPassiveLevel);
    std::lock_guard<std::mutex> lock(g_lock);
    Token* t = static_cast<Token*>(token);
    if (!IsRegisteredObject(token, Type::Token) || t->refs <= 0) {
        Violation(r, "drops a token reference it does not hold");
        return;
    }
    if (t->tokenType != type)
        Violation(r, "the token is of the other type");
    --t->refs;
    MaybeFree(t);
}

void M_PsDereferencePrimaryToken(void* token) {
    DereferenceToken("PsDereferencePrimaryToken", token, nt::TokenPrimary);
}

void M_PsDereferenceImpersonationToken(void* token) {
    DereferenceToken("PsDereferenceImpersonationToken", token, nt::TokenImpersonation);
}

// Security descriptors are built by the same routines ntdll has.
template <typename Fn>
Fn Ntdll(const char* name) {
    return reinterpret_cast<Fn>(host::NtdllExport(name));
}

NTSTATUS M_RtlCreateSecurityDescriptor(void* descriptor, ULONG revision) {
    CheckIrql("RtlCreateSecurityDescriptor", kPassiveLevel);
    static auto fn = Ntdll<NTSTATUS (*)(void*, ULONG)>("RtlCreateSecurityDescriptor");
    return fn(descriptor, revision);
}

NTSTATUS M_RtlCreateAcl(nt::ACL* acl, ULONG length, ULONG revision) {
    CheckIrql("RtlCreateAcl", kPassiveLevel);
    static auto fn = Ntdll<NTSTATUS (*)(nt::ACL*, ULONG, ULONG)>("RtlCreateAcl");
    return fn(acl, length, revision);
}

NTSTATUS M_RtlAddAccessAllowedAce(nt::ACL* acl, ULONG revision, ULONG mask, void* sid) {
    CheckIrql("RtlAddAccessAllowedAce", kPassiveLevel);
    static auto fn =
        Ntdll<NTSTATUS (*)(nt::ACL*, ULONG, ULONG, void*)>("RtlAddAccessAllowedAce");
    return fn(acl, revision, mask, sid);
}

NTSTATUS M_RtlSetDaclSecurityDescriptor(void* descriptor, nt::BOOLEAN present, nt::ACL* dacl,
                                        nt::BOOLEAN defaulted) {
    CheckIrql("RtlSetDaclSecurityDescriptor", kPassiveLevel);
    static auto fn = Ntdll<NTSTATUS (*)(void*, nt::BOOLEAN, nt::ACL*, nt::BOOLEAN)>(
        "RtlSetDaclSecurityDescriptor");
    return fn(descriptor, present, dacl, defaulted);
}

ULONG M_RtlLengthSid(void* sid) {
    CheckIrql("RtlLengthSid", kApcLevel);
    static auto fn = Ntdll<ULONG (*)(void*)>("RtlLengthSid");
    return fn(sid);
}

// Reads a self-made absolute descriptor's DACL; false when it is malformed.
bool ReadDacl(const void* descriptor, std::vector<std::pair<uint32_t, std::string>>* aces) {
    const uint8_t* sd = static_cast<const uint8_t*>(descriptor);
    uint16_t control;
    std::memcpy(&control, sd + 2, 2);
    const uint8_t* acl;
    std::memcpy(&acl, sd + 32, sizeof(acl));
    if (sd[0] != 1 || (control & 0x8000) || !(control & 0x4) || !acl || acl[0] != 2)
        return false;
    uint16_t aclSize, count;
    std::memcpy(&aclSize, acl + 2, 2);
    std::memcpy(&count, acl + 4, 2);
    uint32_t off = 8;
    for (uint16_t i = 0; i < count; ++i) {
        if (off + 8 > aclSize)
            return false;
        uint16_t aceSize;
        uint32_t mask;
        std::memcpy(&aceSize, acl + off + 2, 2);
        std::memcpy(&mask, acl + off + 4, 4);
        const uint8_t* sid = acl + off + 8;
        uint32_t sidLength = 8 + 4 * uint32_t(sid[1]);
        if (acl[off] != 0 || aceSize < 8 + sidLength || off + aceSize > aclSize || sid[0] != 1)
            return false;
        std::string text("S-1-");
        text += std::to_string(sid[7]);
        for (uint32_t k = 0; k < sid[1]; ++k) {
            uint32_t sub;
            std::memcpy(&sub, sid + 8 + 4 * k, 4);
            text += '-';
            text += std::to_string(sub);
        }
        aces->push_back({mask, text});
        off += aceSize;
    }
    return true;
}

std::vector<std::pair<uint32_t, std::string>> g_dacl;

NTSTATUS M_ZwSetSecurityObject(nt::HANDLE handle, ULONG information, void* descriptor) {
    const char* r = "ZwSetSecurityObject";
    CheckIrql(r, kPassiveLevel);
    std::lock_guard<std::mutex> lock(g_lock);
    bool kernel = false;
    HandleEntry* e = FindHandle(uint64_t(uintptr_t(handle)), &kernel);
    if (!e) {
        Violation(r, "not a handle of the current process");
        return kInvalidHandle;
    }
    if (information != nt::DACL_SECURITY_INFORMATION)
        Violation(r, "only the DACL is modelled");
    if (!(e->access & nt::WRITE_DAC))
        Violation(r, "the handle lacks WRITE_DAC");
    std::vector<std::pair<uint32_t, std::string>> aces;
    if (!ReadDacl(descriptor, &aces)) {
        Violation(r, "the security descriptor is malformed");
        return NTSTATUS(0xC0000079); // STATUS_INVALID_SECURITY_DESCR
    }
    g_dacl = aces;
    return kSuccess;
}

// Registry.
NTSTATUS M_ZwOpenKey(nt::HANDLE* handle, ULONG access, nt::OBJECT_ATTRIBUTES* oa) {
    const char* r = "ZwOpenKey";
    CheckIrql(r, kPassiveLevel);
    *handle = nullptr;
    bool kernel = oa && (oa->Attributes & nt::OBJ_KERNEL_HANDLE);
    if (!kernel)
        Violation(r, "key handle without OBJ_KERNEL_HANDLE");
    std::wstring path = Lower(FromUnicode(oa ? oa->ObjectName : nullptr));
    std::lock_guard<std::mutex> lock(g_lock);
    if (!g_registry.count(path))
        return kNameNotFound;
    Key* k = new Key;
    k->path = path;
    g_objects.insert(k);
    *handle = reinterpret_cast<nt::HANDLE>(InsertHandle(CurrentProcess(), k, access, kernel));
    return kSuccess;
}

Key* KeyOfHandle(const char* r, nt::HANDLE handle, uint32_t need) {
    bool kernel = false;
    HandleEntry* e = FindHandle(uint64_t(uintptr_t(handle)), &kernel);
    if (!e || e->object->type != Type::Key) {
        Violation(r, "not a key handle of the current process");
        return nullptr;
    }
    if ((need & ~e->access) & 0xFFFF)
        Violation(r, "the key handle lacks the access the call needs");
    return static_cast<Key*>(e->object);
}

NTSTATUS M_ZwQueryValueKey(nt::HANDLE handle, nt::UNICODE_STRING* name, int infoClass,
                           void* info, ULONG length, ULONG* result) {
    const char* r = "ZwQueryValueKey";
    CheckIrql(r, kPassiveLevel);
    std::lock_guard<std::mutex> lock(g_lock);
    Key* k = KeyOfHandle(r, handle, 0x1); // KEY_QUERY_VALUE
    if (!k)
        return kInvalidHandle;
    if (infoClass != nt::KeyValuePartialInformation) {
        Violation(r, "information class not modelled");
        return kInvalidParameter;
    }
    auto& values = g_registry[k->path];
    auto v = values.find(Lower(FromUnicode(name)));
    if (v == values.end())
        return kNameNotFound;
    ULONG need = ULONG(offsetof(nt::KEY_VALUE_PARTIAL_INFORMATION, Data) + v->second.data.size());
    *result = need;
    if (length < offsetof(nt::KEY_VALUE_PARTIAL_INFORMATION, Data))
        return kBufferTooSmall;
    nt::KEY_VALUE_PARTIAL_INFORMATION* p = static_cast<nt::KEY_VALUE_PARTIAL_INFORMATION*>(info);
    p->TitleIndex = 0;
    p->Type = v->second.type;
    p->DataLength = ULONG(v->second.data.size());
    if (length < need)
        return kBufferOverflow;
    std::memcpy(p->Data, v->second.data.data(), v->second.data.size());
    return kSuccess;
}

NTSTATUS M_ZwSetValueKey(nt::HANDLE handle, nt::UNICODE_STRING* name, ULONG titleIndex,
                         ULONG type, void* data, ULONG size) {
    const char* r = "ZwSetValueKey";
    CheckIrql(r, kPassiveLevel);
    std::lock_guard<std::mutex> lock(g_lock);
    Key* k = KeyOfHandle(r, handle, 0x2); // KEY_SET_VALUE
    if (!k)
        return kInvalidHandle;
    if (titleIndex)
        Violation(r, "TitleIndex must be 0");
    Value v{type, std::vector<uint8_t>(static_cast<uint8_t*>(data),
                                       static_cast<uint8_t*>(data) + size)};
    g_registry[k->path][Lower(FromUnicode(name))] = v;
    return kSuccess;
}

// The control request's process.
void* M_IoGetCurrentProcess() {
    return Self()->process;
}

uint32_t EmulatedCr8Read() {
    return t_irql;
}

const Export g_kernelExports[] = {
    {"ntoskrnl.exe", "ExAllocatePoolWithTag", reinterpret_cast<void*>(M_ExAllocatePoolWithTag)},
    {"ntoskrnl.exe", "ExFreePoolWithTag", reinterpret_cast<void*>(M_ExFreePoolWithTag)},
    {"ntoskrnl.exe", "ProbeForRead", reinterpret_cast<void*>(M_ProbeForRead)},
    {"ntoskrnl.exe", "RtlGetEnabledExtendedFeatures",
     reinterpret_cast<void*>(M_RtlGetEnabledExtendedFeatures)},
    {"ntoskrnl.exe", "KeSaveExtendedProcessorState",
     reinterpret_cast<void*>(M_KeSaveExtendedProcessorState)},
    {"ntoskrnl.exe", "KeRestoreExtendedProcessorState",
     reinterpret_cast<void*>(M_KeRestoreExtendedProcessorState)},
    {"ntoskrnl.exe", "KeInitializeEvent", reinterpret_cast<void*>(M_KeInitializeEvent)},
    {"ntoskrnl.exe", "KeSetEvent", reinterpret_cast<void*>(M_KeSetEvent)},
    {"ntoskrnl.exe", "KeClearEvent", reinterpret_cast<void*>(M_KeClearEvent)},
    {"ntoskrnl.exe", "KeWaitForSingleObject", reinterpret_cast<void*>(M_KeWaitForSingleObject)},
    {"ntoskrnl.exe", "ExInterlockedInsertTailList",
     reinterpret_cast<void*>(M_ExInterlockedInsertTailList)},
    {"ntoskrnl.exe", "ExInterlockedRemoveHeadList",
     reinterpret_cast<void*>(M_ExInterlockedRemoveHeadList)},
    {"ntoskrnl.exe", "KeInitializeTimerEx", reinterpret_cast<void*>(M_KeInitializeTimerEx)},
    {"ntoskrnl.exe", "KeSetTimer", reinterpret_cast<void*>(M_KeSetTimer)},
    {"ntoskrnl.exe", "KeCancelTimer", reinterpret_cast<void*>(M_KeCancelTimer)},
    {"ntoskrnl.exe", "KeReadStateTimer", reinterpret_cast<void*>(M_KeReadStateTimer)},
    {"ntoskrnl.exe", "KeInitializeDpc", reinterpret_cast<void*>(M_KeInitializeDpc)},
    {"ntoskrnl.exe", "KeFlushQueuedDpcs", reinterpret_cast<void*>(M_KeFlushQueuedDpcs)},
    {"ntoskrnl.exe", "ExInitializeRundownProtection",
     reinterpret_cast<void*>(M_ExInitializeRundownProtection)},
    {"ntoskrnl.exe", "ExReInitializeRundownProtection",
     reinterpret_cast<void*>(M_ExReInitializeRundownProtection)},
    {"ntoskrnl.exe", "ExAcquireRundownProtection",
     reinterpret_cast<void*>(M_ExAcquireRundownProtection)},
    {"ntoskrnl.exe", "ExReleaseRundownProtection",
     reinterpret_cast<void*>(M_ExReleaseRundownProtection)},
    {"ntoskrnl.exe", "ExWaitForRundownProtectionRelease",
     reinterpret_cast<void*>(M_ExWaitForRundownProtectionRelease)},
    {"ntoskrnl.exe", "PsCreateSystemThread", reinterpret_cast<void*>(M_PsCreateSystemThread)},
    {"ntoskrnl.exe", "PsTerminateSystemThread",
     reinterpret_cast<void*>(M_PsTerminateSystemThread)},
    {"ntoskrnl.exe", "PsGetCurrentThread", reinterpret_cast<void*>(M_PsGetCurrentThread)},
    {"ntoskrnl.exe", "PsThreadType", reinterpret_cast<void*>(&g_PsThreadType)},
    {"ntoskrnl.exe", "KeSetPriorityThread", reinterpret_cast<void*>(M_KeSetPriorityThread)},
    {"ntoskrnl.exe", "ObReferenceObjectByHandle",
     reinterpret_cast<void*>(M_ObReferenceObjectByHandle)},
    {"ntoskrnl.exe", "ObOpenObjectByPointer", reinterpret_cast<void*>(M_ObOpenObjectByPointer)},
    {"ntoskrnl.exe", "ObfDereferenceObject", reinterpret_cast<void*>(M_ObfDereferenceObject)},
    {"ntoskrnl.exe", "IoFileObjectType", reinterpret_cast<void*>(&g_IoFileObjectType)},
    {"ntoskrnl.exe", "IoGetDeviceAttachmentBaseRef",
     reinterpret_cast<void*>(M_IoGetDeviceAttachmentBaseRef)},
    {"ntoskrnl.exe", "ZwQueryVolumeInformationFile",
     reinterpret_cast<void*>(M_ZwQueryVolumeInformationFile)},
    {"ntoskrnl.exe", "ZwClose", reinterpret_cast<void*>(M_ZwClose)},
    {"ntoskrnl.exe", "ZwWaitForSingleObject", reinterpret_cast<void*>(M_ZwWaitForSingleObject)},
    {"ntoskrnl.exe", "ZwCreateFile", reinterpret_cast<void*>(M_ZwCreateFile)},
    {"ntoskrnl.exe", "ZwReadFile", reinterpret_cast<void*>(M_ZwReadFile)},
    {"ntoskrnl.exe", "IoGetRelatedDeviceObject",
     reinterpret_cast<void*>(M_IoGetRelatedDeviceObject)},
    {"ntoskrnl.exe", "IoBuildSynchronousFsdRequest",
     reinterpret_cast<void*>(M_IoBuildSynchronousFsdRequest)},
    {"ntoskrnl.exe", "IofCallDriver", reinterpret_cast<void*>(M_IofCallDriver)},
    {"ntoskrnl.exe", "IoCancelIrp", reinterpret_cast<void*>(M_IoCancelIrp)},
    {"ntoskrnl.exe", "ZwOpenSymbolicLinkObject",
     reinterpret_cast<void*>(M_ZwOpenSymbolicLinkObject)},
    {"ntoskrnl.exe", "ZwQuerySymbolicLinkObject",
     reinterpret_cast<void*>(M_ZwQuerySymbolicLinkObject)},
    {"ntoskrnl.exe", "IoEnumerateDeviceObjectList",
     reinterpret_cast<void*>(M_IoEnumerateDeviceObjectList)},
    {"ntoskrnl.exe", "IoGetAttachedDeviceReference",
     reinterpret_cast<void*>(M_IoGetAttachedDeviceReference)},
    {"ntoskrnl.exe", "IoGetLowerDeviceObject", reinterpret_cast<void*>(M_IoGetLowerDeviceObject)},
    {"ntoskrnl.exe", "ObQueryNameString", reinterpret_cast<void*>(M_ObQueryNameString)},
    {"ntoskrnl.exe", "ZwQueryInformationFile",
     reinterpret_cast<void*>(M_ZwQueryInformationFile)},
    {"ntoskrnl.exe", "RtlAnsiStringToUnicodeString",
     reinterpret_cast<void*>(M_RtlAnsiStringToUnicodeString)},
    {"ntoskrnl.exe", "IoGetCurrentProcess", reinterpret_cast<void*>(M_IoGetCurrentProcess)},
    {"ntoskrnl.exe", "SeCreateClientSecurity", reinterpret_cast<void*>(M_SeCreateClientSecurity)},
    {"ntoskrnl.exe", "SeImpersonateClientEx", reinterpret_cast<void*>(M_SeImpersonateClientEx)},
    {"ntoskrnl.exe", "PsRevertToSelf", reinterpret_cast<void*>(M_PsRevertToSelf)},
    {"ntoskrnl.exe", "SeTokenType", reinterpret_cast<void*>(M_SeTokenType)},
    {"ntoskrnl.exe", "PsDereferencePrimaryToken",
     reinterpret_cast<void*>(M_PsDereferencePrimaryToken)},
    {"ntoskrnl.exe", "PsDereferenceImpersonationToken",
     reinterpret_cast<void*>(M_PsDereferenceImpersonationToken)},
    {"ntoskrnl.exe", "RtlCreateSecurityDescriptor",
     reinterpret_cast<void*>(M_RtlCreateSecurityDescriptor)},
    {"ntoskrnl.exe", "RtlCreateAcl", reinterpret_cast<void*>(M_RtlCreateAcl)},
    {"ntoskrnl.exe", "RtlAddAccessAllowedAce", reinterpret_cast<void*>(M_RtlAddAccessAllowedAce)},
    {"ntoskrnl.exe", "RtlSetDaclSecurityDescriptor",
     reinterpret_cast<void*>(M_RtlSetDaclSecurityDescriptor)},
    {"ntoskrnl.exe", "RtlLengthSid", reinterpret_cast<void*>(M_RtlLengthSid)},
    {"ntoskrnl.exe", "ZwSetSecurityObject", reinterpret_cast<void*>(M_ZwSetSecurityObject)},
    {"ntoskrnl.exe", "ZwOpenKey", reinterpret_cast<void*>(M_ZwOpenKey)},
    {"ntoskrnl.exe", "ZwQueryValueKey", reinterpret_cast<void*>(M_ZwQueryValueKey)},
    {"ntoskrnl.exe", "ZwSetValueKey", reinterpret_cast<void*>(M_ZwSetValueKey)},
};

} // namespace

void AdvanceClock(uint64_t milliseconds) {
    std::vector<uint64_t*> due;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_now100ns += milliseconds * 10000;
        for (uint64_t* t : g_timers) {
            if (t[2] && t[1] <= g_now100ns) {
                t[2] = 0;
                t[4] = 1;
                if (uint64_t* d = reinterpret_cast<uint64_t*>(uintptr_t(t[3]))) {
                    d[3] = 1;
                    due.push_back(d);
                }
            }
        }
        g_changed.notify_all();
    }
    for (uint64_t* d : due) {
        void (*routine)(nt::KDPC*, void*, void*, void*);
        void* context;
        {
            std::lock_guard<std::mutex> lock(g_lock);
            if (!g_dpcs.count(d) || !d[3])
                continue;
            d[3] = 0;
            ++g_dpcsRunning;
            routine = reinterpret_cast<void (*)(nt::KDPC*, void*, void*, void*)>(uintptr_t(d[1]));
            context = reinterpret_cast<void*>(uintptr_t(d[2]));
        }
        {
            IrqlScope dispatch(kDispatchLevel);
            routine(reinterpret_cast<nt::KDPC*>(d), context, nullptr, nullptr);
        }
        std::lock_guard<std::mutex> lock(g_lock);
        --g_dpcsRunning;
        g_changed.notify_all();
    }
}

void* ResolveImport(const std::string& dll, const std::string& name) {
    if (dll == "ntoskrnl.exe" && name == "__C_specific_handler")
        return host::NtdllExport("__C_specific_handler");
    for (const Export& e : g_kernelExports) {
        if (dll == e.dll && name == e.name)
            return e.address;
    }
    for (size_t i = 0; i < g_portExportCount; ++i) {
        if (dll == g_portExports[i].dll && name == g_portExports[i].name)
            return g_portExports[i].address;
    }
    return nullptr;
}

std::vector<std::string> ImplementedRoutines() {
    std::vector<std::string> names{"__C_specific_handler"};
    for (const Export& e : g_kernelExports)
        names.push_back(e.name);
    for (size_t i = 0; i < g_portExportCount; ++i)
        names.push_back(g_portExports[i].name);
    return names;
}

void TrapIrqlAccess(uintptr_t begin, uintptr_t end) {
    host::InstallTrap(begin, end,
                      host::Cr8Hooks{[]() -> uint64_t { return EmulatedCr8Read(); },
                                     [](uint64_t value) {
                                         if (value > 15)
                                             Violation("mov cr8", "IRQL above 15");
                                         t_irql = uint8_t(value);
                                     }});
}

std::vector<std::pair<uint32_t, std::string>> AdapterDacl() {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_dacl;
}

uint64_t CompletedIrps() {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_completedIrps;
}

uint64_t PortDispatchCalls() {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_portDispatchCalls;
}

} // namespace ntsim
