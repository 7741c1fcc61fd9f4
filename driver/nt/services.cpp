// The engine's platform services on the NT kernel.
#include "common/wire.h"
#include "driver/core/engine.h"
#include "driver/core/file_rule.h"
#include "driver/core/platform_services.h"
#include "driver/nt/nt_api.h"
#include "driver/nt/nt_services.h"
#include "driver/nt/port_logic.h"

namespace vostrale {
namespace {

using namespace nt;

// The registry path of the service, copied at driver entry. A fixed buffer that lives as long
// as the driver image: an adapter that comes and goes must not take the copy with it.
constexpr uint32_t kRegistryPathChars = 512;
wchar_t g_registryPathBuffer[kRegistryPathChars];
UNICODE_STRING g_registryPath;
bool g_haveRegistryPath = false;

// NumberOfDrives as last read or written; -1 when the registry has none.
int64_t g_numberOfDrives = -1;

wchar_t g_numberOfDrivesName[] = L"NumberOfDrives";

UNICODE_STRING NumberOfDrivesName() {
    UNICODE_STRING name;
    name.Length = USHORT(sizeof(g_numberOfDrivesName) - sizeof(wchar_t));
    name.MaximumLength = USHORT(sizeof(g_numberOfDrivesName));
    name.Buffer = g_numberOfDrivesName;
    return name;
}

OBJECT_ATTRIBUTES KernelObject(UNICODE_STRING* name, ULONG extra) {
    OBJECT_ATTRIBUTES a;
    ZeroBytes(&a, sizeof(a));
    a.Length = sizeof(a);
    a.ObjectName = name;
    // Kernel handles always: these calls also run in the thread of a user process.
    a.Attributes = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE | extra;
    return a;
}

bool IsDirectory(HANDLE handle) {
    FILE_STANDARD_INFORMATION info;
    IO_STATUS_BLOCK status;
    ZeroBytes(&info, sizeof(info));
    if (!NtSuccess(
            ZwQueryInformationFile(handle, &status, &info, sizeof(info), FileStandardInformation)))
        return true; // unknown counts as refused
    return info.Directory != 0;
}

// True when the file's volume sits on one of this driver's own drives: the bottom of the
// volume device's stack is a device of our driver object.
bool OnOwnDrive(FILE_OBJECT* file) {
    if (!file->DeviceObject)
        return false;
    DEVICE_OBJECT* base = IoGetDeviceAttachmentBaseRef(file->DeviceObject);
    if (!base)
        return false;
    bool own = base->DriverObject == nt::DriverObject();
    ObfDereferenceObject(base);
    return own;
}

// ---- Where a file-list name leads ---------------------------------------------------------
// A name on one of our own drives, or on a share of this machine, is refused before it is
// opened: the open would send the file system's reads (and its mount, and its checks of the
// medium) to a worker of this driver, perhaps the one opening it, which then waits for ever.
// The name's drive letter is followed through its symbolic links (a substituted drive to its
// drive, a mapped letter to its redirector path, a letter to its device) in the object
// namespace of the impersonated user, and a device is compared by name with every device of
// our drives' stacks, found from our own device objects down. Nothing on the way is opened,
// so no request reaches any device stack. Not caught here: a folder on another volume that
// is a mount point or junction into one of our drives, and this machine reached by a name or
// address other than a loopback one; such a file is still refused once open (OnOwnDrive),
// but its open may already have waited on one of our workers.

constexpr uint32_t kNameChars = 256; // longer device names and link targets are not ours

// Our drives: every device of our driver object and the devices stacked above them. Fails
// closed: true when they cannot be enumerated.
bool IsOwnDeviceName(const wchar_t* target, uint32_t chars, OBJECT_NAME_INFORMATION* name) {
    constexpr uint32_t kListed = 16; // the adapter and its seven drives, with room to spare
    DEVICE_OBJECT* devices[kListed];
    ULONG count = 0;
    if (!NtSuccess(IoEnumerateDeviceObjectList(nt::DriverObject(), devices, sizeof(devices),
                                               &count)) ||
        count > kListed)
        return true;
    bool own = false;
    for (ULONG i = 0; i < count; ++i) {
        DEVICE_OBJECT* level = IoGetAttachedDeviceReference(devices[i]);
        while (level) {
            ULONG returned = 0;
            if (!own && NtSuccess(ObQueryNameString(
                            level, name, sizeof(OBJECT_NAME_INFORMATION) + kNameChars * 2,
                            &returned)))
                own = NamesDevice(target, chars, name->Name.Buffer,
                                  name->Name.Length / sizeof(wchar_t));
            DEVICE_OBJECT* lower = level == devices[i] ? nullptr : IoGetLowerDeviceObject(level);
            ObfDereferenceObject(level);
            level = lower;
        }
        ObfDereferenceObject(devices[i]);
    }
    return own;
}

// True when the name of the drive `letter` leads away from our drives and this machine.
bool DriveLeadsElsewhere(char letter, wchar_t* target, OBJECT_NAME_INFORMATION* name) {
    wchar_t linkName[] = L"\\??\\X:";
    constexpr uint32_t kSteps = 4; // substituted drives over substituted drives, bounded
    for (uint32_t step = 0; step < kSteps; ++step) {
        linkName[4] = wchar_t(letter);
        UNICODE_STRING link;
        link.Length = USHORT(sizeof(linkName) - sizeof(wchar_t));
        link.MaximumLength = USHORT(sizeof(linkName));
        link.Buffer = linkName;
        OBJECT_ATTRIBUTES attributes = KernelObject(&link, 0);
        HANDLE handle = nullptr;
        if (!NtSuccess(ZwOpenSymbolicLinkObject(&handle, SYMBOLIC_LINK_QUERY, &attributes)))
            return false; // no such drive for this user
        UNICODE_STRING text;
        text.Length = 0;
        text.MaximumLength = USHORT(kNameChars * sizeof(wchar_t));
        text.Buffer = target;
        ULONG returned = 0;
        bool read = NtSuccess(ZwQuerySymbolicLinkObject(handle, &text, &returned));
        ZwClose(handle);
        if (!read)
            return false;
        uint32_t chars = text.Length / sizeof(wchar_t);
        LinkTarget where = ClassifyLinkTarget(target, chars);
        switch (where.kind) {
        case LinkTarget::kDrive:
            letter = where.letter;
            continue;
        case LinkTarget::kRedirected:
            return !where.loopback;
        case LinkTarget::kDevice:
            return !IsOwnDeviceName(target, chars, name);
        default:
            return false;
        }
    }
    return false;
}

bool NameLeadsElsewhere(const char* kernelPath) {
    PathRoot root = RootOfKernelPath(kernelPath);
    if (root.unc)
        return !root.loopback;
    if (!root.letter)
        return false;
    wchar_t* target =
        static_cast<wchar_t*>(ps::PoolAlloc(ps::kPoolPaged, kNameChars * sizeof(wchar_t),
                                            ps::kPoolTag));
    auto* name = static_cast<OBJECT_NAME_INFORMATION*>(ps::PoolAlloc(
        ps::kPoolPaged, sizeof(OBJECT_NAME_INFORMATION) + kNameChars * sizeof(wchar_t),
        ps::kPoolTag));
    bool elsewhere = target && name && DriveLeadsElsewhere(root.letter, target, name);
    ps::PoolFree(target, ps::kPoolTag);
    ps::PoolFree(name, ps::kPoolTag);
    return elsewhere;
}

// The file rule applied to an open file: `handle` is the driver's own kernel handle on
// `file`.
bool Accepted(HANDLE handle, FILE_OBJECT* file) {
    FILE_FS_DEVICE_INFORMATION device;
    IO_STATUS_BLOCK status;
    ZeroBytes(&device, sizeof(device));
    if (!NtSuccess(ZwQueryVolumeInformationFile(handle, &status, &device, sizeof(device),
                                                FileFsDeviceInformation)))
        return false;
    FileFacts facts;
    facts.volumeType = device.DeviceType;
    facts.synchronous = (file->Flags & FO_SYNCHRONOUS_IO) != 0;
    facts.directory = IsDirectory(handle);
    facts.onOwnDrive = OnOwnDrive(file);
    return AcceptImageFile(facts);
}

// A file the driver reads: its own kernel handle (which keeps the file open), a reference on
// the file object, and the device its reads go to.
struct OpenFile {
    HANDLE handle;
    FILE_OBJECT* object;
    DEVICE_OBJECT* device;
};

// Takes over `handle` and the reference on `object`; on failure both are given up.
bool MakeRef(HANDLE handle, FILE_OBJECT* object, ps::FileRef* file) {
    OpenFile* f =
        static_cast<OpenFile*>(ps::PoolAlloc(ps::kPoolNonPaged, sizeof(OpenFile), ps::kPoolTag));
    if (!f) {
        ObfDereferenceObject(object);
        ZwClose(handle);
        return false;
    }
    f->handle = handle;
    f->object = object;
    f->device = IoGetRelatedDeviceObject(object);
    *file = ps::FileRef(uintptr_t(f));
    return true;
}

OpenFile* FileOf(ps::FileRef file) {
    return reinterpret_cast<OpenFile*>(uintptr_t(file));
}

} // namespace

namespace ps {

// ---- Pool --------------------------------------------------------------------------------

void* PoolAlloc(PoolKind kind, size_t size, uint32_t tag) {
    if (size == 0)
        return nullptr;
    return ExAllocatePoolWithTag(kind == kPoolPaged ? PagedPool : NonPagedPoolNx, size, tag);
}

void PoolFree(void* block, uint32_t tag) {
    if (block)
        ExFreePoolWithTag(block, tag);
}

// ---- Events ------------------------------------------------------------------------------

struct Event {
    KEVENT event;
};

Event* EventCreate(EventKind kind, bool signalled) {
    Event* e = static_cast<Event*>(PoolAlloc(kPoolNonPaged, sizeof(Event), kPoolTag));
    if (e)
        KeInitializeEvent(&e->event,
                          kind == kEventNotification ? NotificationEvent : SynchronizationEvent,
                          signalled ? 1 : 0);
    return e;
}

void EventDestroy(Event* event) {
    PoolFree(event, kPoolTag);
}

void EventSet(Event* event) {
    KeSetEvent(&event->event, IO_NO_INCREMENT, 0);
}

void EventReset(Event* event) {
    KeClearEvent(&event->event);
}

void EventWait(Event* event) {
    KeWaitForSingleObject(&event->event, Executive, KernelMode, 0, nullptr);
}

bool EventWaitFor(Event* event, uint32_t milliseconds) {
    int64_t timeout = -int64_t(milliseconds) * 10000; // negative: relative, in 100 ns
    return KeWaitForSingleObject(&event->event, Executive, KernelMode, 0, &timeout) !=
           STATUS_TIMEOUT;
}

// ---- Queue -------------------------------------------------------------------------------

struct Queue {
    LIST_ENTRY head;
    KSPIN_LOCK lock;
};
static_assert(sizeof(QueueLink) == sizeof(LIST_ENTRY));

Queue* QueueCreate() {
    Queue* q = static_cast<Queue*>(PoolAlloc(kPoolNonPaged, sizeof(Queue), kPoolTag));
    if (q) {
        q->head.Flink = q->head.Blink = &q->head;
        q->lock = 0;
    }
    return q;
}

void QueueDestroy(Queue* queue) {
    PoolFree(queue, kPoolTag);
}

void QueuePush(Queue* queue, QueueLink* link) {
    ExInterlockedInsertTailList(&queue->head, reinterpret_cast<LIST_ENTRY*>(link), &queue->lock);
}

QueueLink* QueuePop(Queue* queue) {
    return reinterpret_cast<QueueLink*>(ExInterlockedRemoveHeadList(&queue->head, &queue->lock));
}

// ---- Threads -----------------------------------------------------------------------------

struct Thread {
    void (*entry)(void*);
    void* context;
    void* object;     // referenced thread object
    KEVENT go;        // the thread waits for this before running `entry`
    uint32_t abandon; // set when the thread could not be referenced: it ends at once
    // Its file reads. A read is refused while `cancelAsked` differs from `cancelSeen` (which
    // only the thread itself moves); `inFlight` is the read IRP it waits for, and `cancellers`
    // counts threads inside IoCancelIrp on it, so the IRP is not given back under them.
    uint32_t cancelAsked;
    uint32_t cancelSeen;
    IRP* inFlight;
    uint32_t cancellers;
};

namespace {

// The started threads, by thread object, so that a worker's file read finds its own record.
// The keys are compared without following them: a slot may be cleared at any time.
constexpr uint32_t kThreadSlots = kMaxDrives + 1;
void* g_threadKeys[kThreadSlots];
Thread* g_threadValues[kThreadSlots];

void RegisterThread(Thread* t) {
    for (uint32_t i = 0; i < kThreadSlots; ++i) {
        void* expected = nullptr;
        __atomic_store_n(&g_threadValues[i], t, __ATOMIC_SEQ_CST);
        if (__atomic_compare_exchange_n(&g_threadKeys[i], &expected, t->object, false,
                                        __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
            return;
    }
    // Full: the thread's reads cannot be cancelled, but still work.
}

void UnregisterThread(Thread* t) {
    for (uint32_t i = 0; i < kThreadSlots; ++i) {
        void* expected = t->object;
        if (__atomic_compare_exchange_n(&g_threadKeys[i], &expected, nullptr, false,
                                        __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
            return;
    }
}

Thread* CurrentThreadRecord() {
    void* self = PsGetCurrentThread();
    for (uint32_t i = 0; i < kThreadSlots; ++i) {
        if (__atomic_load_n(&g_threadKeys[i], __ATOMIC_SEQ_CST) == self)
            return __atomic_load_n(&g_threadValues[i], __ATOMIC_SEQ_CST);
    }
    return nullptr;
}

void SystemThreadStart(void* context) {
    Thread* t = static_cast<Thread*>(context);
    KeWaitForSingleObject(&t->go, Executive, KernelMode, 0, nullptr);
    if (!__atomic_load_n(&t->abandon, __ATOMIC_ACQUIRE))
        t->entry(t->context);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

} // namespace

Thread* ThreadStart(void (*entry)(void*), void* context) {
    Thread* t = static_cast<Thread*>(PoolAlloc(kPoolNonPaged, sizeof(Thread), kPoolTag));
    if (!t)
        return nullptr;
    ZeroBytes(t, sizeof(*t));
    t->entry = entry;
    t->context = context;
    KeInitializeEvent(&t->go, NotificationEvent, 0);
    // Created from a user process's thread as well (raising the drive count): the handle must
    // be a kernel handle, not one in that process's table.
    OBJECT_ATTRIBUTES attributes = KernelObject(nullptr, 0);
    HANDLE handle = nullptr;
    if (!NtSuccess(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                        SystemThreadStart, t))) {
        PoolFree(t, kPoolTag);
        return nullptr;
    }
    NTSTATUS status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, PsThreadType, KernelMode,
                                                &t->object, nullptr);
    if (!NtSuccess(status)) {
        // A thread that cannot be waited for must not run the engine's worker: the engine
        // frees the slot when this fails. It ends without touching `context`, and is waited
        // for through its handle: it runs the driver's code until it has ended.
        __atomic_store_n(&t->abandon, 1u, __ATOMIC_RELEASE);
        KeSetEvent(&t->go, IO_NO_INCREMENT, 0);
        ZwWaitForSingleObject(handle, 0, nullptr);
        ZwClose(handle);
        PoolFree(t, kPoolTag);
        return nullptr;
    }
    ZwClose(handle);
    // Threads are started one at a time (adapter discovery, or under the control lock).
    RegisterThread(t);
    KeSetEvent(&t->go, IO_NO_INCREMENT, 0);
    return t;
}

void ThreadJoin(Thread* thread) {
    if (!thread)
        return;
    KeWaitForSingleObject(thread->object, Executive, KernelMode, 0, nullptr);
    UnregisterThread(thread);
    ObfDereferenceObject(thread->object);
    PoolFree(thread, kPoolTag);
}

void ThreadPrepareWorker() {
    // Impersonating a mounting user needs SeImpersonatePrivilege, which the system process's
    // token holds enabled; the worker only raises its priority.
    KeSetPriorityThread(PsGetCurrentThread(), LOW_REALTIME_PRIORITY);
}

void ThreadCancelIo(Thread* worker) {
    if (!worker)
        return;
    __atomic_fetch_add(&worker->cancelAsked, 1u, __ATOMIC_SEQ_CST);
    // Counted before the IRP is read: the worker gives an IRP back only once nobody is in
    // here, so the IRP cancelled is never one already freed.
    __atomic_fetch_add(&worker->cancellers, 1u, __ATOMIC_SEQ_CST);
    if (IRP* irp = __atomic_load_n(&worker->inFlight, __ATOMIC_SEQ_CST))
        IoCancelIrp(irp);
    __atomic_fetch_sub(&worker->cancellers, 1u, __ATOMIC_SEQ_CST);
}

void ThreadResumeIo() {
    if (Thread* self = CurrentThreadRecord())
        self->cancelSeen = __atomic_load_n(&self->cancelAsked, __ATOMIC_SEQ_CST);
}

// ---- Timer -------------------------------------------------------------------------------

struct Timer {
    KTIMER timer;
    KDPC dpc;
    void (*procedure)(void*);
    void* context;
    uint32_t armed; // 0: never set or cancelled, which counts as expired
};

namespace {

void TimerDpc(KDPC*, void* context, void*, void*) {
    Timer* t = static_cast<Timer*>(context);
    t->procedure(t->context);
}

} // namespace

Timer* TimerCreate(void (*procedure)(void*), void* context) {
    Timer* t = static_cast<Timer*>(PoolAlloc(kPoolNonPaged, sizeof(Timer), kPoolTag));
    if (!t)
        return nullptr;
    ZeroBytes(t, sizeof(*t));
    t->procedure = procedure;
    t->context = context;
    KeInitializeTimerEx(&t->timer, NotificationTimer);
    KeInitializeDpc(&t->dpc, TimerDpc, t);
    return t;
}

void TimerCancel(Timer* timer) {
    __atomic_store_n(&timer->armed, 0u, __ATOMIC_SEQ_CST);
    KeCancelTimer(&timer->timer);
    // A procedure already queued still runs after the cancel: wait for it, so nothing it
    // touches is freed under it.
    KeFlushQueuedDpcs();
}

void TimerDestroy(Timer* timer) {
    if (!timer)
        return;
    TimerCancel(timer);
    PoolFree(timer, kPoolTag);
}

void TimerSet(Timer* timer, uint64_t relative100ns, bool withProcedure) {
    __atomic_store_n(&timer->armed, 1u, __ATOMIC_SEQ_CST);
    int64_t due = -int64_t(Max<uint64_t>(relative100ns, 1)); // negative: relative time
    KeSetTimer(&timer->timer, due, withProcedure ? &timer->dpc : nullptr);
}

bool TimerExpired(Timer* timer) {
    return __atomic_load_n(&timer->armed, __ATOMIC_SEQ_CST) == 0 ||
           KeReadStateTimer(&timer->timer) != 0;
}

// ---- Files -------------------------------------------------------------------------------

bool FileReferenceFromSender(uint64_t senderHandle, FileRef* file) {
    *file = 0;
    if (senderHandle == 0 || !nt::InSenderContext())
        return false;
    // The handle is resolved in the sender's own handle table with the sender's access mode:
    // only a file object that the sender opened with read access passes. The process id in the
    // record is never used.
    void* object = nullptr;
    if (!NtSuccess(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(uintptr_t(senderHandle)),
                                             FILE_READ_DATA, IoFileObjectType, UserMode, &object,
                                             nullptr)))
        return false;
    FILE_OBJECT* fileObject = static_cast<FILE_OBJECT*>(object);
    HANDLE own = nullptr;
    // The driver's own kernel handle on the same file object keeps the file open once the
    // sender has closed its handles; the reference is what the reads go through.
    bool ok = NtSuccess(ObOpenObjectByPointer(object, OBJ_KERNEL_HANDLE, nullptr,
                                              FILE_READ_DATA | SYNCHRONIZE, IoFileObjectType,
                                              KernelMode, &own));
    if (ok && !Accepted(own, fileObject)) {
        ZwClose(own);
        ok = false;
    }
    if (!ok) {
        ObfDereferenceObject(object);
        return false;
    }
    return MakeRef(own, fileObject, file);
}

bool FileOpenByName(const char* path, FileRef* file) {
    *file = 0;
    constexpr uint32_t kMaxKernelPath = 1024;
    char* narrow = static_cast<char*>(PoolAlloc(kPoolPaged, kMaxKernelPath, kPoolTag));
    wchar_t* wide =
        static_cast<wchar_t*>(PoolAlloc(kPoolPaged, kMaxKernelPath * sizeof(wchar_t), kPoolTag));
    bool ok = narrow && wide;
    uint32_t length = ok ? nt::KernelPathFromAnsi(path, narrow, kMaxKernelPath) : 0;
    UNICODE_STRING name;
    if (length && NameLeadsElsewhere(narrow)) {
        ANSI_STRING source;
        source.Length = USHORT(length);
        source.MaximumLength = USHORT(length + 1);
        source.Buffer = narrow;
        name.Length = 0;
        name.MaximumLength = USHORT(kMaxKernelPath * sizeof(wchar_t));
        name.Buffer = wide;
        ok = NtSuccess(RtlAnsiStringToUnicodeString(&name, &source, 0));
    } else {
        ok = false;
    }
    HANDLE handle = nullptr;
    if (ok) {
        // Opened for the impersonated user with access checks forced, and never created.
        OBJECT_ATTRIBUTES attributes = KernelObject(&name, OBJ_FORCE_ACCESS_CHECK);
        IO_STATUS_BLOCK status;
        ok = NtSuccess(ZwCreateFile(&handle, GENERIC_READ | SYNCHRONIZE, &attributes, &status,
                                    nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN,
                                    FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr,
                                    0));
    }
    PoolFree(narrow, kPoolTag);
    PoolFree(wide, kPoolTag);
    if (!ok)
        return false;
    void* object = nullptr;
    if (!NtSuccess(
            ObReferenceObjectByHandle(handle, 0, IoFileObjectType, KernelMode, &object, nullptr))) {
        ZwClose(handle);
        return false;
    }
    if (!Accepted(handle, static_cast<FILE_OBJECT*>(object))) {
        ObfDereferenceObject(object);
        ZwClose(handle);
        return false;
    }
    return MakeRef(handle, static_cast<FILE_OBJECT*>(object), file);
}

// Reads go to the file's device in IRPs of the driver's own, never through ZwReadFile: the
// system service takes the lock of a file object opened for synchronous I/O, which the sender
// can hold for ever (a waiting byte-range lock on the same object), and the worker would then
// wait for it without end. An IRP sent to the device does not take that lock, and the worker
// can cancel it (unmount, bus reset, removal) while it waits for its completion.
namespace {

NTSTATUS ReadDone(DEVICE_OBJECT*, IRP*, void* context) {
    // Keeps the IRP: the worker gives it back to the I/O manager once no canceller can be
    // holding it.
    KeSetEvent(static_cast<KEVENT*>(context), IO_NO_INCREMENT, 0);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

bool Refused(Thread* self) {
    return self && __atomic_load_n(&self->cancelAsked, __ATOMIC_SEQ_CST) != self->cancelSeen;
}

} // namespace

uint32_t FileRead(FileRef file, uint64_t offset, void* buffer, uint32_t length) {
    if (!file || length == 0 || offset > uint64_t(INT64_MAX))
        return 0;
    OpenFile* f = FileOf(file);
    Thread* self = CurrentThreadRecord();
    if (Refused(self))
        return 0;
    KEVENT done;     // the driver's: set by the completion routine
    KEVENT finished; // the I/O manager's: set once it has finished with the IRP
    KeInitializeEvent(&done, NotificationEvent, 0);
    KeInitializeEvent(&finished, NotificationEvent, 0);
    IO_STATUS_BLOCK status;
    status.Status = 0;
    status.Information = 0;
    int64_t position = int64_t(offset);
    IRP* irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, f->device, buffer, length, &position,
                                            &finished, &status);
    if (!irp)
        return 0;
    IO_STACK_LOCATION_LAYOUT* next = NextStackLocation(irp);
    next->file = f->object;
    next->completion = reinterpret_cast<void*>(&ReadDone);
    next->context = &done;
    next->head[3] = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
    if (self)
        __atomic_store_n(&self->inFlight, irp, __ATOMIC_SEQ_CST);
    // A cancel that came before the IRP was visible to it: cancelled here instead.
    if (Refused(self))
        IoCancelIrp(irp);
    IofCallDriver(f->device, irp);
    // The IRP and the buffer it fills are the file system's until its completion, so the wait
    // has no end; but once a cancel is asked for it is asked again every second, for a file
    // system that queued the read after the first cancel found no routine to call.
    int64_t second = -10000000;
    while (KeWaitForSingleObject(&done, Executive, KernelMode, 0, &second) == STATUS_TIMEOUT) {
        if (Refused(self))
            IoCancelIrp(irp);
    }
    if (self) {
        __atomic_store_n(&self->inFlight, static_cast<IRP*>(nullptr), __ATOMIC_SEQ_CST);
        while (__atomic_load_n(&self->cancellers, __ATOMIC_SEQ_CST) != 0)
            __builtin_ia32_pause(); // a canceller is inside IoCancelIrp: a few instructions
    }
    NTSTATUS result = irp->IoStatus.Status;
    uintptr_t got = irp->IoStatus.Information;
    // Completion resumes: the I/O manager copies buffered data, unlocks pages, sets
    // `finished` and frees the IRP.
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    KeWaitForSingleObject(&finished, Executive, KernelMode, 0, nullptr);
    if (!NtSuccess(result))
        return 0;
    return uint32_t(Min<uintptr_t>(got, length));
}

void FileRelease(FileRef file) {
    if (!file)
        return;
    OpenFile* f = FileOf(file);
    ObfDereferenceObject(f->object);
    ZwClose(f->handle);
    PoolFree(f, kPoolTag);
}

// ---- Security context --------------------------------------------------------------------

struct SecurityContext {
    SECURITY_CLIENT_CONTEXT client;
};

SecurityContext* SecurityCapture() {
    if (!nt::InSenderContext())
        return nullptr;
    SecurityContext* c =
        static_cast<SecurityContext*>(PoolAlloc(kPoolNonPaged, sizeof(SecurityContext), kPoolTag));
    if (!c)
        return nullptr;
    ZeroBytes(c, sizeof(*c));
    SECURITY_QUALITY_OF_SERVICE qos;
    qos.Length = sizeof(qos);
    qos.ImpersonationLevel = SecurityImpersonation;
    qos.ContextTrackingMode = SECURITY_STATIC_TRACKING;
    qos.EffectiveOnly = 0;
    if (!NtSuccess(SeCreateClientSecurity(PsGetCurrentThread(), &qos, 0, &c->client))) {
        PoolFree(c, kPoolTag);
        return nullptr;
    }
    return c;
}

bool SecurityImpersonate(SecurityContext* context) {
    return context && NtSuccess(SeImpersonateClientEx(&context->client, nullptr));
}

void SecurityRevert() {
    PsRevertToSelf();
}

void SecurityRelease(SecurityContext* context) {
    if (!context)
        return;
    if (void* token = context->client.ClientToken) {
        if (SeTokenType(token) == TokenPrimary)
            PsDereferencePrimaryToken(token);
        else
            PsDereferenceImpersonationToken(token);
    }
    PoolFree(context, kPoolTag);
}

// ---- Sender memory -----------------------------------------------------------------------

bool CopyFromSender(void* target, uint64_t address, size_t length) {
    if (length == 0)
        return true;
    if (!nt::InSenderContext() || address == 0 || address > uint64_t(UINTPTR_MAX))
        return false;
    return VostraleProbedCopy(target, reinterpret_cast<const void*>(uintptr_t(address)), length) ==
           0;
}

// ---- NumberOfDrives ----------------------------------------------------------------------

bool ReadNumberOfDrives(uint32_t* count) {
    int64_t value = __atomic_load_n(&g_numberOfDrives, __ATOMIC_SEQ_CST);
    if (value < 0)
        return false;
    *count = uint32_t(value);
    return true;
}

void WriteNumberOfDrives(uint32_t count) {
    __atomic_store_n(&g_numberOfDrives, int64_t(count), __ATOMIC_SEQ_CST);
    if (!g_haveRegistryPath || CurrentIrql() != PASSIVE_LEVEL)
        return;
    OBJECT_ATTRIBUTES attributes = KernelObject(&g_registryPath, 0);
    HANDLE key = nullptr;
    if (!NtSuccess(ZwOpenKey(&key, KEY_WRITE, &attributes)))
        return;
    UNICODE_STRING name = NumberOfDrivesName();
    ULONG value = count;
    ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof(value));
    ZwClose(key);
}

// ---- Wide vector registers ---------------------------------------------------------------

bool WideRegistersBegin(WideRegisters* saved) {
    static_assert(sizeof(XSTATE_SAVE) <= sizeof(saved->opaque), "room for the kernel's record");
    if ((RtlGetEnabledExtendedFeatures(XSTATE_MASK_AVX) & XSTATE_MASK_AVX) == 0)
        return false;
    return NtSuccess(
        KeSaveExtendedProcessorState(XSTATE_MASK_AVX, reinterpret_cast<XSTATE_SAVE*>(saved->opaque)));
}

void WideRegistersEnd(WideRegisters* saved) {
    KeRestoreExtendedProcessorState(reinterpret_cast<XSTATE_SAVE*>(saved->opaque));
}

// ---- Port notifications ------------------------------------------------------------------

void NotifyBusChange(void* port) {
    StorPortNotification(BusChangeDetected, port, UCHAR(0));
}

void NotifyRequestComplete(void* port, ScsiRequest* request) {
    if (SCSI_REQUEST_BLOCK* srb = nt::FinishRequest(request))
        StorPortNotification(RequestComplete, port, srb);
}

} // namespace ps

namespace nt {

namespace {

SenderTable g_senders;

} // namespace

bool EnterSenderContext() {
    return EnterSender(&g_senders, PsGetCurrentThread());
}

void LeaveSenderContext() {
    LeaveSender(&g_senders, PsGetCurrentThread());
}

bool InSenderContext() {
    return CurrentIrql() == PASSIVE_LEVEL && IsSender(&g_senders, PsGetCurrentThread());
}

void CopyRegistryPath(const UNICODE_STRING* path) {
    g_haveRegistryPath = false;
    if (!path || !path->Buffer || path->Length == 0 || path->Length % sizeof(wchar_t) ||
        path->Length >= sizeof(g_registryPathBuffer))
        return; // no registry access then; the drive count stays at its default
    CopyBytes(g_registryPathBuffer, path->Buffer, path->Length);
    g_registryPathBuffer[path->Length / sizeof(wchar_t)] = 0;
    g_registryPath.Length = path->Length;
    g_registryPath.MaximumLength = USHORT(path->Length + sizeof(wchar_t));
    g_registryPath.Buffer = g_registryPathBuffer;
    g_haveRegistryPath = true;
}

void LoadNumberOfDrives() {
    g_numberOfDrives = -1;
    if (!g_haveRegistryPath)
        return;
    OBJECT_ATTRIBUTES attributes = KernelObject(&g_registryPath, 0);
    HANDLE key = nullptr;
    if (!NtSuccess(ZwOpenKey(&key, KEY_READ, &attributes)))
        return;
    UNICODE_STRING name = NumberOfDrivesName();
    KEY_VALUE_PARTIAL_INFORMATION info;
    ZeroBytes(&info, sizeof(info));
    ULONG got = 0;
    if (NtSuccess(
            ZwQueryValueKey(key, &name, KeyValuePartialInformation, &info, sizeof(info), &got)) &&
        info.Type == REG_DWORD && info.DataLength == sizeof(uint32_t)) {
        uint32_t value;
        CopyBytes(&value, info.Data, sizeof(value));
        g_numberOfDrives = value;
    }
    ZwClose(key);
}

} // namespace nt
} // namespace vostrale
